# The tests of the Windows build. Included by tests/CMakeLists.txt where
# WIN32 is set, in place of the installed GoogleTest package.
#
# - GoogleTest: the installed package where there is one (a native Windows
#   build); otherwise built here from its sources (OSTREL_GTEST_SOURCE_DIR,
#   by default Debian's /usr/src/googletest), since no MinGW package exists.
# - ostrel_windows_test_sources(list): takes the POSIX-only tests out of the
#   test program's sources and puts the Windows-only unit tests in.
# - OSTREL_WINDOWS_CAN_RUN: whether this machine can run the test programs
#   (natively, or through the cross-compiling emulator, Wine).
# - ostrel_windows_tests(): registers the end-to-end tests, or a visible
#   notice where they cannot run.

find_package(GTest QUIET)
if(NOT GTest_FOUND)
  set(OSTREL_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
  if(NOT EXISTS ${OSTREL_GTEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest not found: set OSTREL_GTEST_SOURCE_DIR to its sources")
  endif()
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  # Warnings as errors are for our code, not for GoogleTest's.
  get_directory_property(saved_options COMPILE_OPTIONS)
  set(gtest_options ${saved_options})
  list(REMOVE_ITEM gtest_options -Werror /WX)
  set_directory_properties(PROPERTIES COMPILE_OPTIONS "${gtest_options}")
  add_subdirectory(${OSTREL_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  set_directory_properties(PROPERTIES COMPILE_OPTIONS "${saved_options}")
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
endif()

# Unit tests that need POSIX calls (fork, setenv, ...) to run; their modules
# are covered on Windows by the unit tests that remain and by the end-to-end
# tests of windows/.
set(OSTREL_WINDOWS_POSIX_ONLY_TESTS
    fileutil_test.cpp gencfg_test.cpp generr_test.cpp genmem_test.cpp log_test.cpp
    palette_test.cpp texlist_test.cpp texture_test.cpp frontend_test.cpp replace_test.cpp)

function(ostrel_windows_test_sources list_name)
  set(sources ${${list_name}})
  # The end-to-end tests there drive a pseudo-terminal (POSIX only); the
  # Windows build has its own, in this directory.
  list(FILTER sources EXCLUDE REGEX "/e2e_[^/]*_test\\.cpp$|/support/run\\.cpp$")
  foreach(name ${OSTREL_WINDOWS_POSIX_ONLY_TESTS})
    list(FILTER sources EXCLUDE REGEX "/${name}$")
  endforeach()
  if(OSTREL_WINDOWS_POSIX_ONLY_TESTS)
    list(JOIN OSTREL_WINDOWS_POSIX_ONLY_TESTS ", " names)
    message(STATUS "Windows build: POSIX-only unit tests left out: ${names}")
  endif()
  file(GLOB windows_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/*_test.cpp)
  set(${list_name} ${sources} ${windows_sources} PARENT_SCOPE)
endfunction()

# Test programs are static like ostrel.exe, so Wine (or a bare Windows)
# finds no MinGW runtime DLL missing.
if(MINGW)
  add_link_options(-static)
endif()

if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(OSTREL_WINDOWS_CAN_RUN OFF)
else()
  set(OSTREL_WINDOWS_CAN_RUN ON)
endif()

set(OSTREL_HOST_BINARY "" CACHE FILEPATH
    "ostrel of a POSIX build: the Windows end-to-end tests check that both write the same files")

function(ostrel_windows_notice name text)
  add_test(NAME ${name} COMMAND ${CMAKE_COMMAND} -E echo "NOTICE: ${text}")
  set_tests_properties(${name} PROPERTIES SKIP_REGULAR_EXPRESSION "NOTICE:")
endfunction()

function(ostrel_windows_tests)
  if(NOT OSTREL_WINDOWS_CAN_RUN)
    ostrel_windows_notice(windows_tests_skipped
                          "Wine not found: the Windows unit and end-to-end tests were not run")
    return()
  endif()
  # The end-to-end tests drive ostrel.exe from the build machine, through the
  # same runner as the unit tests.
  if(NOT CMAKE_CROSSCOMPILING)
    return()
  endif()
  find_program(OSTREL_PYTHON NAMES python3 HINTS /usr/bin)
  if(NOT OSTREL_PYTHON)
    ostrel_windows_notice(windows_e2e_skipped "python3 not found: Windows end-to-end tests not run")
    return()
  endif()
  list(GET CMAKE_CROSSCOMPILING_EMULATOR 0 runner)
  set(runner_args)
  list(LENGTH CMAKE_CROSSCOMPILING_EMULATOR count)
  if(count GREATER 1)
    math(EXPR last "${count} - 1")
    foreach(i RANGE 1 ${last})
      list(GET CMAKE_CROSSCOMPILING_EMULATOR ${i} argument)
      list(APPEND runner_args "--runner-arg=${argument}")
    endforeach()
  endif()
  foreach(group HelpAndStatus FatalErrors Import Export ConsoleKeys LogAndConfiguration
                LinuxParity)
    add_test(NAME windows_e2e.${group}
             COMMAND ${OSTREL_PYTHON} ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/e2e_windows.py
                     --ostrel $<TARGET_FILE:ostrel> --runner ${runner} ${runner_args}
                     "--host-ostrel=${OSTREL_HOST_BINARY}" --samples ${PROJECT_SOURCE_DIR}/samples
                     ${group})
    set_tests_properties(windows_e2e.${group} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600)
  endforeach()
endfunction()
