# The Windows host developer's kit, included by the top-level CMakeLists.txt in the Windows
# builds: version resources in modemflash.dll and modemflash.exe, the .def file with the one
# export and the import library for Microsoft's linker (modemflash.lib, beside the mingw-w64
# libmodemflash.dll.a), the examples in the install tree, and the `kit` target that makes the
# installer and the .zip (packaging/windows/make-kit.sh).

enable_language(RC)

# The holder named in every file's version resource (as in packaging/copyright).
set(MODEMFLASH_COPYRIGHT "Copyright (C) 2026 modemflash developers")

# mf_version_resource(TARGET VFT_DLL|VFT_APP FILE_NAME DESCRIPTION): a VERSIONINFO resource
# with the project's version compiled into TARGET.
function(mf_version_resource target file_type file_name description)
  set(mf_file_type ${file_type})
  set(mf_file_name ${file_name})
  set(mf_description ${description})
  get_filename_component(mf_internal_name ${file_name} NAME_WE)
  set(rc ${PROJECT_BINARY_DIR}/version-${target}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()

mf_version_resource(modemflash VFT_DLL modemflash.dll
                    "modemflash library: writes firmware into USB cellular modems")
if(TARGET modemflash_cli)
  mf_version_resource(modemflash_cli VFT_APP modemflash.exe
                      "modemflash command-line host: firmware updates of USB cellular modems")
endif()

# The export list is the .def file's: Create alone, by its plain name on both architectures.
set(MF_DEF_FILE ${PROJECT_SOURCE_DIR}/src/export/modemflash.def)
target_sources(modemflash PRIVATE ${MF_DEF_FILE})
set_target_properties(modemflash PROPERTIES LINK_DEPENDS ${MF_DEF_FILE})

# modemflash.lib: a short-import library as Microsoft's tools make them, from the same .def
# (on i686 the linker's symbol is _Create, the cdecl decoration of Create).
find_program(MODEMFLASH_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 DOC "llvm-dlltool, for modemflash.lib")
if(NOT MODEMFLASH_DLLTOOL)
  message(FATAL_ERROR "llvm-dlltool not found (Debian package llvm): it makes modemflash.lib")
endif()
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(mf_dlltool_machine i386:x86-64)
else()
  set(mf_dlltool_machine i386)
endif()
set(MF_MSVC_IMPORT_LIB ${PROJECT_BINARY_DIR}/modemflash.lib)
add_custom_command(OUTPUT ${MF_MSVC_IMPORT_LIB}
                   COMMAND ${MODEMFLASH_DLLTOOL} -m ${mf_dlltool_machine} -D modemflash.dll
                           -d ${MF_DEF_FILE} -l ${MF_MSVC_IMPORT_LIB}
                   DEPENDS ${MF_DEF_FILE}
                   COMMENT "Making modemflash.lib for Microsoft's linker")
add_custom_target(modemflash_msvc_import_lib ALL DEPENDS ${MF_MSVC_IMPORT_LIB})

install(FILES ${MF_MSVC_IMPORT_LIB} ${MF_DEF_FILE} DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION examples COMPONENT dev)

# `cmake --build --preset windows-x64 --target kit`: the installer and the .zip in kit/.
configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/kit-config.sh.in
               ${PROJECT_BINARY_DIR}/kit-config.sh @ONLY)
add_custom_target(kit
                  COMMAND bash ${PROJECT_SOURCE_DIR}/packaging/windows/make-kit.sh ${PROJECT_BINARY_DIR}
                  USES_TERMINAL
                  COMMENT "Making the Windows installer and .zip")
add_dependencies(kit modemflash modemflash_msvc_import_lib)
if(TARGET modemflash_cli)
  add_dependencies(kit modemflash_cli)
endif()
