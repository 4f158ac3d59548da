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

# A unit test that needs POSIX calls (fork, setenv, setrlimit, ...) directly
# or through a header of tests/ cannot be built for Windows; it is left out
# of the Windows test program, with a note at configure time. Its module is
# still covered there by the unit tests that remain and by the end-to-end
# tests of this directory.
set(OSTREL_POSIX_ONLY_PATTERN
    "#include <(sys/wait|sys/resource|sys/ioctl|sys/mman|termios|pty|pwd|grp)\\.h>|[^_A-Za-z0-9](fork|waitpid|setenv|unsetenv|setrlimit|getrlimit|forkpty|pipe|symlink)\\(")

function(ostrel_uses_posix source result)
  set(${result} OFF PARENT_SCOPE)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  file(READ ${source} text)
  if(text MATCHES "${OSTREL_POSIX_ONLY_PATTERN}")
    set(${result} ON PARENT_SCOPE)
    return()
  endif()
  string(REGEX MATCHALL "#include \"[^\"]+\"" includes "${text}")
  foreach(include ${includes})
    string(REGEX REPLACE "#include \"([^\"]+)\"" "\\1" header "${include}")
    set(header_path ${CMAKE_CURRENT_SOURCE_DIR}/${header})
    if(EXISTS ${header_path})
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${header_path})
      file(READ ${header_path} header_text)
      if(header_text MATCHES "${OSTREL_POSIX_ONLY_PATTERN}")
        set(${result} ON PARENT_SCOPE)
        return()
      endif()
    endif()
  endforeach()
endfunction()

function(ostrel_windows_test_sources list_name)
  set(sources ${${list_name}})
  # The end-to-end tests there drive a pseudo-terminal (POSIX only); the
  # Windows build has its own, in this directory.
  list(FILTER sources EXCLUDE REGEX "/e2e_[^/]*_test\\.cpp$|/support/run\\.cpp$")
  set(kept)
  set(left_out)
  # Tests named *_posix_test.cpp are POSIX-only by name, whatever they call.
  foreach(source ${sources})
    if(source MATCHES "_posix_test\\.cpp$")
      get_filename_component(name ${source} NAME)
      list(APPEND left_out ${name})
    endif()
  endforeach()
  list(FILTER sources EXCLUDE REGEX "_posix_test\\.cpp$")
  foreach(source ${sources})
    ostrel_uses_posix(${source} posix)
    if(posix)
      get_filename_component(name ${source} NAME)
      list(APPEND left_out ${name})
    else()
      list(APPEND kept ${source})
    endif()
  endforeach()
  if(left_out)
    list(JOIN left_out ", " names)
    message(STATUS "Windows build: unit tests that need POSIX calls left out: ${names}")
  endif()
  file(GLOB windows_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/*_test.cpp)
  set(${list_name} ${kept} ${windows_sources} PARENT_SCOPE)
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
  foreach(group HelpAndStatus FatalErrors Import Export Animated Colours Workflow ConsoleKeys
                LogAndConfiguration Safety LinuxParity)
    add_test(NAME windows_e2e.${group}
             COMMAND ${OSTREL_PYTHON} ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/e2e_windows.py
                     --ostrel $<TARGET_FILE:ostrel> --runner ${runner} ${runner_args}
                     "--host-ostrel=${OSTREL_HOST_BINARY}" --samples ${PROJECT_SOURCE_DIR}/samples
                     ${group})
    set_tests_properties(windows_e2e.${group} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600)
  endforeach()
endfunction()
