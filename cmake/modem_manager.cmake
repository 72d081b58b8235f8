# mf_modem_manager: the ModemManager service (src/platform/modem_manager.h) for the
# command-line host. On Linux it talks sd-bus (libsystemd); elsewhere, or without libsystemd,
# it is the no-op that answers "absent". Kept out of mf_platform so that the library hosts
# load does not depend on libsystemd.
if(TARGET mf_modem_manager)
  return()
endif()
set(mf_mm_backend nobus)
if(NOT WIN32)
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(MF_LIBSYSTEMD QUIET IMPORTED_TARGET libsystemd)
  endif()
  if(MF_LIBSYSTEMD_FOUND)
    set(mf_mm_backend posix/sdbus)
  else()
    message(WARNING "libsystemd (sd-bus) not found: modemflash will not ask ModemManager to leave "
                    "modems alone during updates. Install libsystemd-dev (scripts/install-deps.sh).")
  endif()
endif()
add_library(mf_modem_manager STATIC ${PROJECT_SOURCE_DIR}/src/platform/${mf_mm_backend}/modem_manager.cpp)
target_link_libraries(mf_modem_manager PUBLIC mf_platform PRIVATE mf_warnings)
if(mf_mm_backend STREQUAL "posix/sdbus")
  target_link_libraries(mf_modem_manager PRIVATE PkgConfig::MF_LIBSYSTEMD)
endif()
