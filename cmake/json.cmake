# nlohmann-json, the one way the program writes JSON: header-only, as the target
# nlohmann_json::nlohmann_json. Safe to include from several places; the first defines it.
#
# A cross build (mingw-w64) finds no package of its own, and the build machine's copy serves
# any target, but /usr/include must not be added whole to a cross build (it would shadow the
# target's C library headers): a folder exposing nlohmann/ alone is made instead, as for CLI11.
if(TARGET nlohmann_json::nlohmann_json)
  return()
endif()
find_package(nlohmann_json 3 CONFIG QUIET)
if(NOT nlohmann_json_FOUND AND CMAKE_CROSSCOMPILING)
  find_path(mf_host_nlohmann_dir nlohmann/json.hpp PATHS /usr/include /usr/local/include
            NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH)
  if(mf_host_nlohmann_dir)
    set(mf_nlohmann_shim ${CMAKE_BINARY_DIR}/nlohmann-include)
    file(MAKE_DIRECTORY ${mf_nlohmann_shim})
    file(CREATE_LINK ${mf_host_nlohmann_dir}/nlohmann ${mf_nlohmann_shim}/nlohmann SYMBOLIC)
    add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
    target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE ${mf_nlohmann_shim})
    set(nlohmann_json_FOUND TRUE)
  endif()
endif()
if(NOT TARGET nlohmann_json::nlohmann_json)
  message(FATAL_ERROR "nlohmann-json (nlohmann/json.hpp) not found: install nlohmann-json3-dev "
                      "(bash scripts/install-deps.sh)")
endif()
