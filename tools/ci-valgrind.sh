#!/usr/bin/env bash
# The built ostrel under Valgrind's memcheck: an export (keys from a pipe),
# an import of what it exported, a fatal exit and the help screen, on the
# bundled sample. Any memory error or leak (definite, indirect, possible or
# still reachable at exit) fails the run.
#
#   tools/ci-valgrind.sh                    (builds build-valgrind first)
#   OSTREL_VALGRIND_BINARY=build/ostrel tools/ci-valgrind.sh
#
# Valgrind's own failure status is 99: ostrel itself ends with 1 after a
# completed run and with 0 after a fatal error, so neither can mean "Valgrind
# found something".
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v valgrind >/dev/null 2>&1; then
    echo "ERROR: valgrind not found (Debian: valgrind)" >&2
    exit 1
fi

binary=${OSTREL_VALGRIND_BINARY:-}
if [ -z "$binary" ]; then
    build=${OSTREL_VALGRIND_BUILD_DIR:-build-valgrind}
    echo "== Build ostrel for Valgrind ($build)"
    # Linked dynamically: Valgrind can only watch the allocator of a shared C
    # library.
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTREL_TESTS=OFF \
          -DOSTREL_STATIC=OFF -DOSTREL_WERROR=ON -DOSTREL_REQUIRE_PNG=ON >/dev/null
    cmake --build "$build" -j2 --target ostrel
    binary=$build/ostrel
fi
binary=$(cd "$(dirname "$binary")" && pwd)/$(basename "$binary")
if ! ldd "$binary" >/dev/null 2>&1; then
    echo "ERROR: $binary is linked statically; Valgrind cannot see its allocations" \
         "(configure with -DOSTREL_STATIC=OFF)" >&2
    exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp samples/TEXBSI.001 samples/redguard.col "$work/"
printf 'pcx_path = pcx\n' >"$work/ostrel.ini"
mkdir "$work/pcx"

failed=0
# check <label> <expected status> <stdin text> <arguments...>
check() {
    local label=$1 expected=$2 input=$3
    shift 3
    local status=0
    printf '%s' "$input" |
        (cd "$work" && valgrind --quiet --leak-check=full --show-leak-kinds=all \
            --errors-for-leak-kinds=all --error-exitcode=99 --log-file="$work/$label.valgrind" \
            "$binary" "$@" >"$work/$label.out" 2>&1) || status=$?
    if [ "$status" -eq "$expected" ] && [ ! -s "$work/$label.valgrind" ]; then
        echo "ok      $label (status $status)"
    else
        failed=1
        echo "FAILED  $label: status $status, expected $expected" >&2
        cat "$work/$label.valgrind" "$work/$label.out" >&2
    fi
}

echo "== ostrel under valgrind --leak-check=full"
check export 1 yyyyyyyyyyyyyyyyyyyy TEXBSI.001
if [ ! -f "$work/pcx/sky01.pcx" ] || [ ! -f "$work/pcx/door.pcx" ]; then
    echo "FAILED  export wrote no PCX file" >&2
    exit 1
fi
check import 1 "" /2TEX /i:1 TEXBSI.001 pcx/sky01.pcx
# A refusal while a picture is held: the door's colours are not the sky's.
check refused-colours 0 "" /2TEX /i:1 TEXBSI.001 pcx/door.pcx
check export-png 1 "" /2PNG /y TEXBSI.001
check import-by-name 1 "" /2TEX /n TEXBSI.001 pcx/wall.png pcx/fire01.png
check list 1 "" /l TEXBSI.001
check fatal-exit 0 "" /2TEX /i:1 TEXBSI.001 pcx/missing.pcx
check help 1 "" /?
if [ "$failed" -ne 0 ]; then
    exit 1
fi
echo "Valgrind found nothing."
