#!/usr/bin/env bash
# The Windows stage of CI: builds libpng for MinGW-w64 from Debian's source
# package (tools/build-libpng-mingw.sh, once per build directory),
# cross-builds ostrel.exe with MinGW-w64 (warnings as errors, PNG support
# required) and runs the Windows unit and end-to-end tests under Wine. The
# end-to-end tests also check that the Windows and the POSIX build write the
# same bytes; the POSIX ostrel for that is $OSTREL_HOST_BINARY, or one built
# here. Without the cross compiler or Wine it says so and succeeds.
#
#   tools/ci-windows.sh                                  (from any directory)
#   OSTREL_HOST_BINARY=build/ostrel tools/ci-windows.sh  (reuse a POSIX build)
set -euo pipefail

cd "$(dirname "$0")/.."
build=${OSTREL_WINDOWS_BUILD_DIR:-build-win}

if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 &&
   ! command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1; then
    echo "NOTICE: MinGW-w64 (g++-mingw-w64-x86-64) not installed: Windows build and tests skipped"
    exit 0
fi
if ! command -v wine >/dev/null 2>&1 && ! command -v wine64 >/dev/null 2>&1; then
    echo "NOTICE: Wine (wine64) not installed: Windows build and tests skipped"
    exit 0
fi

host=${OSTREL_HOST_BINARY:-}
if [ -z "$host" ]; then
    echo "== POSIX ostrel for the comparison of the builds ($build/host)"
    cmake -S . -B "$build/host" -DOSTREL_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build/host" -j2 --target ostrel
    host=$PWD/$build/host/ostrel
fi

echo "== libpng for the Windows build ($build/libpng-mingw)"
tools/build-libpng-mingw.sh "$build"

echo "== Windows build ($build)"
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
    -DOSTREL_WERROR=ON -DOSTREL_REQUIRE_PNG=ON -DOSTREL_HOST_BINARY="$host"
cmake --build "$build" -j2

echo "== Windows tests under Wine"
ctest --test-dir "$build" -j2 --output-on-failure
