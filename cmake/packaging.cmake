# How modemflash installs on Linux and how its Debian packages are made.
#
# Components (one Debian package each):
#   lib  libmodemflash0     the shared library (libmodemflash.so.0)
#   dev  libmodemflash-dev  headers, the libmodemflash.so link, the CMake package
#                           (find_package(modemflash CONFIG) -> modemflash::modemflash) and
#                           modemflash.pc
#   cli  modemflash         the command-line host and its manual pages
#   sim  modemsim           the simulated modem and its manual page
# `cmake --install` installs all of them; `cpack` (in the build directory) makes the packages.
include(CMakePackageConfigHelpers)

set(MF_SOVERSION 0)
set_target_properties(modemflash PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${MF_SOVERSION})
target_include_directories(modemflash INTERFACE $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
                                                $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

set(MF_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/modemflash)
install(EXPORT modemflashTargets NAMESPACE modemflash:: DESTINATION ${MF_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/modemflashConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/modemflashConfig.cmake
                              INSTALL_DESTINATION ${MF_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/modemflashConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/modemflashConfig.cmake
              ${PROJECT_BINARY_DIR}/modemflashConfigVersion.cmake
        DESTINATION ${MF_CMAKE_DIR} COMPONENT dev)

# The pkg-config file names the prefix the files are installed under, which `cmake --install
# --prefix` may choose after configuration: it is written at install time.
set(MF_PC_PREFIX "@MF_INSTALL_PREFIX@")
configure_file(${PROJECT_SOURCE_DIR}/cmake/modemflash.pc.in ${PROJECT_BINARY_DIR}/modemflash.pc.in @ONLY)
install(CODE "
  set(MF_INSTALL_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${PROJECT_BINARY_DIR}/modemflash.pc.in\"
                 \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig/modemflash.pc\" @ONLY)
  message(STATUS \"Installing: \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig/modemflash.pc\")
  " COMPONENT dev)

# Manual pages, made at build time by help2man from the programs' own --help.
find_program(MF_HELP2MAN help2man)
find_program(MF_GZIP gzip)
if(MF_HELP2MAN AND MF_GZIP AND TARGET modemflash_cli AND TARGET modemsim)
  set(mf_man ${PROJECT_BINARY_DIR}/man)
  add_custom_command(
    OUTPUT ${mf_man}/stamp
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${mf_man}/cli ${mf_man}/sim
    COMMAND bash ${PROJECT_SOURCE_DIR}/packaging/man-pages.sh $<TARGET_FILE:modemflash_cli>
            $<TARGET_FILE:modemsim> ${mf_man} ${PROJECT_VERSION}
    COMMAND ${CMAKE_COMMAND} -E touch ${mf_man}/stamp
    DEPENDS modemflash_cli modemsim ${PROJECT_SOURCE_DIR}/packaging/man-pages.sh
    COMMENT "Manual pages from the programs' --help"
    VERBATIM)
  add_custom_target(man_pages ALL DEPENDS ${mf_man}/stamp)
  install(DIRECTORY ${mf_man}/cli/ DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT cli)
  install(DIRECTORY ${mf_man}/sim/ DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT sim)
else()
  message(STATUS "help2man or gzip not found: no manual pages (scripts/install-deps.sh linux)")
endif()

# The station as a system service, in the modemflash package: the unit, its settings and (in
# postinst) the system user it runs as. Installed for /usr, they go where Debian keeps them
# (/lib/systemd/system, /etc/default); installed under another prefix, below that prefix.
# (file(INSTALL) puts DESTDIR, which cpack sets, in front of an absolute destination itself.)
install(CODE "
  if(\"\${CMAKE_INSTALL_PREFIX}\" STREQUAL \"/usr\")
    set(mf_unit_dir /lib/systemd/system)
    set(mf_default_dir /etc/default)
  else()
    set(mf_unit_dir \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")
    set(mf_default_dir \"\${CMAKE_INSTALL_PREFIX}/etc/default\")
  endif()
  file(INSTALL \"${PROJECT_SOURCE_DIR}/packaging/modemflash/modemflash-station.service\"
       DESTINATION \"\${mf_unit_dir}\" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  file(INSTALL \"${PROJECT_SOURCE_DIR}/packaging/modemflash/modemflash-station.default\"
       DESTINATION \"\${mf_default_dir}\" RENAME modemflash-station
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  " COMPONENT cli)

# Debian packages.
set(CPACK_PACKAGE_NAME modemflash)
set(CPACK_PACKAGE_VENDOR "modemflash developers")
set(CPACK_PACKAGE_CONTACT "modemflash developers <modemflash@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL lib dev cli sim)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SOURCE modemflash)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(mf_deb_version "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")

set(CPACK_DEBIAN_LIB_PACKAGE_NAME libmodemflash${MF_SOVERSION})
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
# The shlibs file (for packages linking the library); only the library package has a shared
# object, so only it gets one. The library cache is refreshed by an ldconfig trigger, not by
# maintainer scripts (CPack's own would call ldconfig).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/libmodemflash0/triggers
    ${PROJECT_SOURCE_DIR}/packaging/libmodemflash0/postinst
    ${PROJECT_SOURCE_DIR}/packaging/libmodemflash0/postrm)
set(CPACK_COMPONENT_LIB_DESCRIPTION
    "library that writes firmware into USB cellular modems\n"
    "modemflash writes new firmware into USB cellular modems through the\n"
    "modem's serial port. This package holds the shared library host\n"
    "applications load: its one export, Create, gives the downloader.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libmodemflash-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libmodemflash${MF_SOVERSION} (= ${mf_deb_version})")
set(CPACK_COMPONENT_DEV_DESCRIPTION
    "library that writes firmware into USB cellular modems - development files\n"
    "modemflash writes new firmware into USB cellular modems through the\n"
    "modem's serial port. This package holds the headers of the host\n"
    "contract, and the CMake package (find_package(modemflash CONFIG)) and\n"
    "pkg-config file to build hosts with.")

set(CPACK_DEBIAN_CLI_PACKAGE_NAME modemflash)
set(CPACK_DEBIAN_CLI_PACKAGE_SECTION comm)
# The command loads the library at run time, as any host does: shlibdeps cannot see it.
# The station service's user is made by postinst with adduser.
set(CPACK_DEBIAN_CLI_PACKAGE_DEPENDS "libmodemflash${MF_SOVERSION} (= ${mf_deb_version}), adduser")
set(CPACK_DEBIAN_CLI_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/modemflash/postinst
    ${PROJECT_SOURCE_DIR}/packaging/modemflash/conffiles)
set(CPACK_COMPONENT_CLI_DESCRIPTION
    "writes firmware into USB cellular modems from the command line\n"
    "modemflash flash FOLDER updates the modem plugged in with the firmware\n"
    "set in FOLDER and shows its progress; modemflash ports lists the serial\n"
    "ports and marks the modem's. It keeps ModemManager away from the modem\n"
    "while it is updated.")

set(CPACK_DEBIAN_SIM_PACKAGE_NAME modemsim)
set(CPACK_DEBIAN_SIM_PACKAGE_SECTION devel)
set(CPACK_COMPONENT_SIM_DESCRIPTION
    "simulated USB cellular modem for testing modemflash\n"
    "modemsim plays a USB cellular modem on a pseudo-terminal, published in\n"
    "a private device tree, so that whole firmware updates run without\n"
    "hardware.")

# Each package carries the copyright file and the Debian changelog.
set(mf_changelog ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz)
add_custom_command(OUTPUT ${mf_changelog}
                   COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging
                   COMMAND sh -c "gzip -9n < '${PROJECT_SOURCE_DIR}/packaging/changelog' > '${mf_changelog}'"
                   DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS ${mf_changelog})
foreach(component IN ITEMS lib dev cli sim)
  string(TOUPPER ${component} upper)
  set(doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${mf_changelog} DESTINATION ${doc}
          COMPONENT ${component})
endforeach()

include(CPack)
