# The part of the mingw-w64 cross builds that both architectures share; the toolchain files
# set CMAKE_SYSTEM_PROCESSOR and MODEMFLASH_MINGW_TRIPLE, then include this.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${MODEMFLASH_MINGW_TRIPLE}-gcc-win32)
set(CMAKE_CXX_COMPILER ${MODEMFLASH_MINGW_TRIPLE}-g++-win32)
set(CMAKE_RC_COMPILER ${MODEMFLASH_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${MODEMFLASH_MINGW_TRIPLE}-objdump)

# Look for libraries and headers only in the cross environment, never in /usr/include.
set(CMAKE_FIND_ROOT_PATH /usr/${MODEMFLASH_MINGW_TRIPLE})
# SQLite for the target, built from Debian's source by scripts/build-sqlite-mingw.sh into the
# same cache folder it names (MODEMFLASH_CACHE_DIR, else $XDG_CACHE_HOME/modemflash, else
# ~/.cache/modemflash).
if(DEFINED ENV{MODEMFLASH_CACHE_DIR} AND NOT "$ENV{MODEMFLASH_CACHE_DIR}" STREQUAL "")
  set(mf_cache_dir $ENV{MODEMFLASH_CACHE_DIR})
elseif(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
  set(mf_cache_dir $ENV{XDG_CACHE_HOME}/modemflash)
else()
  set(mf_cache_dir $ENV{HOME}/.cache/modemflash)
endif()
set(MODEMFLASH_SQLITE_ROOT ${mf_cache_dir}/sqlite-mingw/${MODEMFLASH_MINGW_TRIPLE}
    CACHE PATH "SQLite built for the target (include/sqlite3.h, lib/libsqlite3.a)")
list(APPEND CMAKE_FIND_ROOT_PATH ${MODEMFLASH_SQLITE_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Executables run under Wine; tests and try_run use this.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)

# Windows 7 APIs and later; the A (ANSI) functions are called by name.
# The C99 printf family (%zu, %lld) instead of the system C runtime's older one.
add_compile_definitions(WINVER=0x0601 _WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX
                        __USE_MINGW_ANSI_STDIO=1)

# The runtime is linked in statically: the DLL and the executables need no other DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
