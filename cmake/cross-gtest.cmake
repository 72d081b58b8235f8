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
function(gtest_discover_tests target)
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
