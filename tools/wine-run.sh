#!/bin/sh
# Runs a Windows program under Wine for the tests of the Windows build:
#
#   tools/wine-run.sh [--prefix DIR] program.exe [arguments...]
#
# The Wine prefix is DIR (default: $OSTREL_WINEPREFIX, else a directory under
# the system's temporary directory); it is made on first use, under a lock,
# so parallel tests do not both try to create it. Wine's own chatter is off;
# the program's standard streams and exit status pass through unchanged.
set -eu

prefix=${OSTREL_WINEPREFIX:-${TMPDIR:-/tmp}/ostrel-wine-$(id -u)}
if [ "${1-}" = "--prefix" ]; then
    prefix=$2
    shift 2
fi
if [ $# -lt 1 ]; then
    echo "usage: $0 [--prefix DIR] program.exe [arguments...]" >&2
    exit 2
fi

wine=$(command -v wine || command -v wine64 || true)
if [ -z "$wine" ]; then
    echo "wine-run.sh: Wine is not installed" >&2
    exit 127
fi

WINEPREFIX=$prefix
WINEDEBUG=-all
# No Mono or Gecko installer dialogues while the prefix is made, and no
# windows: every program here is a console program.
WINEDLLOVERRIDES="mscoree,mshtml=d"
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
unset DISPLAY WAYLAND_DISPLAY

wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)

if [ ! -f "$prefix/system.reg" ]; then
    mkdir -p "$(dirname "$prefix")"
    (
        flock 9
        if [ ! -f "$prefix/system.reg" ]; then
            "$wine" wineboot --init >/dev/null 2>&1 || true
            "$wineserver" -w >/dev/null 2>&1 || true
        fi
    ) 9>"$prefix.lock"
fi

# On a terminal the program runs in Wine's console as it is, keys and all.
if [ -t 0 ] || [ -t 1 ]; then
    exec "$wine" "$@"
fi

# Otherwise Wine's helper processes (its server, services) would inherit the
# program's standard streams and keep them open for seconds after the
# program ends, so whoever reads them to their end (CTest, the end-to-end
# tests) would wait that long on every run. The program writes to files
# instead, which are passed on once it has ended.
captured=$(mktemp -d "${TMPDIR:-/tmp}/wine-run.XXXXXX")
trap 'rm -rf "$captured"' EXIT
status=0
"$wine" "$@" >"$captured/out" 2>"$captured/err" || status=$?
cat "$captured/out"
cat "$captured/err" >&2
exit $status
