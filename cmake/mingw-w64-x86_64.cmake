# Cross build for 64-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-x86-64).
#
#   tools/build-libpng-mingw.sh build-win      (PNG support; once)
#   cmake -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#   cmake --build build-win -j2
#
# gives a static build-win/ostrel.exe. Where Wine is installed, the Windows
# programs (the tests and their discovery) run through tools/wine-run.sh
# with a Wine prefix of their own under the build directory.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(OSTREL_MINGW_TRIPLET x86_64-w64-mingw32 CACHE STRING "Prefix of the MinGW-w64 tools")
# The POSIX thread model: GoogleTest needs std::mutex, which the "win32"
# model of GCC 12 lacks. Its thread library is linked statically, like the
# rest of the runtime, so ostrel.exe needs no DLL beyond the system's.
find_program(OSTREL_MINGW_CC NAMES ${OSTREL_MINGW_TRIPLET}-gcc-posix ${OSTREL_MINGW_TRIPLET}-gcc)
find_program(OSTREL_MINGW_CXX NAMES ${OSTREL_MINGW_TRIPLET}-g++-posix ${OSTREL_MINGW_TRIPLET}-g++)
set(CMAKE_C_COMPILER ${OSTREL_MINGW_CC})
set(CMAKE_CXX_COMPILER ${OSTREL_MINGW_CXX})
set(CMAKE_RC_COMPILER ${OSTREL_MINGW_TRIPLET}-windres)

# Libraries and headers come from the MinGW tree only (zlib: Debian's
# libz-mingw-w64-dev), and from the static libpng that
# tools/build-libpng-mingw.sh builds into the build directory, since Debian
# has no MinGW package of it; programs (Wine, Python) from the build machine.
set(OSTREL_LIBPNG_MINGW_DIR ${CMAKE_BINARY_DIR}/libpng-mingw CACHE PATH
    "libpng for MinGW-w64 (tools/build-libpng-mingw.sh <build directory>)")
set(CMAKE_FIND_ROOT_PATH /usr/${OSTREL_MINGW_TRIPLET} ${OSTREL_LIBPNG_MINGW_DIR})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(OSTREL_WINE NAMES wine wine64)
if(OSTREL_WINE AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      "${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run.sh;--prefix;${CMAKE_BINARY_DIR}/wine-prefix")
endif()
