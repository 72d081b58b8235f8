# GoogleTest for cross builds: built from the distribution's sources with the cross toolchain,
# since the build machine's libgtest cannot link into a Windows program.
#
# Defines GTest::gtest and GTest::gtest_main like find_package(GTest), and a
# gtest_discover_tests() that registers one ctest test per test program. The program runs
# under the toolchain's emulator (Wine) through tests/wine/run-gtest.py, which counts a
# test that needs a pseudo-terminal peer (Linux only) as skipped instead of failed, and leaves
# out the tests listed in tests/wine/not-under-wine.txt.

set(MODEMFLASH_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
if(NOT EXISTS ${MODEMFLASH_GTEST_SOURCE_DIR}/googletest/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${MODEMFLASH_GTEST_SOURCE_DIR} "
                      "(install the googletest package)")
endif()

# The win32 thread model has no std::thread: build GoogleTest without threads.
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${MODEMFLASH_GTEST_SOURCE_DIR}/googletest ${CMAKE_BINARY_DIR}/googletest
                 EXCLUDE_FROM_ALL SYSTEM)

# Recent GoogleTest sources define the GTest:: names themselves.
if(NOT TARGET GTest::gtest)
  add_library(GTest::gtest ALIAS gtest)
endif()
if(NOT TARGET GTest::gtest_main)
  add_library(GTest::gtest_main ALIAS gtest_main)
endif()

# Tests drive their scripted peers from a second thread with std::thread. The win32 thread
# model lacks it, so test programs see a small std::thread over the Win32 threads API
# (cmake/win32-compat/thread); the library itself never uses it.
if(WIN32)
  target_include_directories(gtest INTERFACE ${CMAKE_CURRENT_LIST_DIR}/win32-compat)
  # GoogleTest's one use of std::mutex, its Notification, replaced by an event.
  target_compile_options(gtest PUBLIC -include ${CMAKE_CURRENT_LIST_DIR}/win32-compat/gtest-notification.h)
endif()

find_package(Python3 COMPONENTS Interpreter)
set(MODEMFLASH_GTEST_RUNNER ${CMAKE_SOURCE_DIR}/tests/wine/run-gtest.py)

# gtest_discover_tests(target [options...]): one ctest test per program. Options other
# than PROPERTIES are accepted and ignored; PROPERTIES are applied to the test.
# Test sources that include POSIX-only headers (ptys, inotify, sysfs trees built with
# symlinks) cannot be compiled for Windows; they are left out of the program, and what they
# test runs in the Linux build.
set(MODEMFLASH_POSIX_ONLY_INCLUDES
    "^#include <(sys/(inotify|ioctl|wait|socket|un|mman|select|file)\\.h|unistd\\.h|termios\\.h|poll\\.h|pty\\.h|dlfcn\\.h|pthread\\.h|dirent\\.h)>")

function(mf_drop_posix_only_sources target)
  get_target_property(sources ${target} SOURCES)
  get_target_property(source_dir ${target} SOURCE_DIR)
  set(kept)
  set(dropped)
  foreach(src IN LISTS sources)
    if(NOT IS_ABSOLUTE ${src})
      set(src ${source_dir}/${src})
    endif()
    set(posix_only)
    if(EXISTS ${src})
      file(STRINGS ${src} posix_only REGEX "${MODEMFLASH_POSIX_ONLY_INCLUDES}")
    endif()
    if(posix_only)
      get_filename_component(name ${src} NAME)
      list(APPEND dropped ${name})
    else()
      list(APPEND kept ${src})
    endif()
  endforeach()
  # Sources that use a left-out helper (#include "its_name.h") go with it.
  set(dropped_stems ${dropped})
  while(dropped_stems)
    list(TRANSFORM dropped_stems REPLACE "\\.(cpp|cc|c)$" "")
    list(JOIN dropped_stems "|" stem_regex)
    set(dropped_stems)
    set(still_kept)
    foreach(src IN LISTS kept)
      file(STRINGS ${src} uses_dropped REGEX "^#include \"([^\"]*/)?(${stem_regex})\\.h\"")
      if(uses_dropped)
        get_filename_component(name ${src} NAME)
        list(APPEND dropped ${name})
        list(APPEND dropped_stems ${name})
      else()
        list(APPEND still_kept ${src})
      endif()
    endforeach()
    set(kept ${still_kept})
  endwhile()
  set(all_dropped FALSE)
  if(dropped)
    list(JOIN dropped ", " dropped_text)
    message(STATUS "${target}: left out of the Windows build (POSIX only): ${dropped_text}")
    if(NOT kept)
      # Nothing left to build: the program exists only as a placeholder that is not built.
      set(kept ${CMAKE_BINARY_DIR}/mf_posix_only_placeholder.cpp)
      file(WRITE ${kept} "// Placeholder for test programs that are POSIX only.\n")
      set_property(TARGET ${target} PROPERTY EXCLUDE_FROM_ALL TRUE)
      set(all_dropped TRUE)
    endif()
    set_property(TARGET ${target} PROPERTY SOURCES ${kept})
  endif()
  set(mf_all_dropped ${all_dropped} PARENT_SCOPE)
endfunction()

function(gtest_discover_tests target)
  if(WIN32)
    mf_drop_posix_only_sources(${target})
    if(mf_all_dropped)
      return()
    endif()
  endif()
  cmake_parse_arguments(arg "" "DISCOVERY_MODE;TEST_PREFIX;TEST_SUFFIX;WORKING_DIRECTORY;DISCOVERY_TIMEOUT"
                        "EXTRA_ARGS;PROPERTIES;TEST_LIST" ${ARGN})
  if(Python3_Interpreter_FOUND AND EXISTS ${MODEMFLASH_GTEST_RUNNER})
    add_test(NAME ${target}
             COMMAND ${Python3_EXECUTABLE} ${MODEMFLASH_GTEST_RUNNER}
                     --emulator ${CMAKE_CROSSCOMPILING_EMULATOR}
                     --exclude ${CMAKE_SOURCE_DIR}/tests/wine/not-under-wine.txt
                     $<TARGET_FILE:${target}>
                     ${arg_EXTRA_ARGS})
  else()
    add_test(NAME ${target} COMMAND ${target} ${arg_EXTRA_ARGS})
  endif()
  if(arg_PROPERTIES)
    set_tests_properties(${target} PROPERTIES ${arg_PROPERTIES})
  endif()
endfunction()

function(gtest_add_tests)
endfunction()
