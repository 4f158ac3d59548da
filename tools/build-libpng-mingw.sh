#!/usr/bin/env bash
# Builds a static libpng for the MinGW-w64 cross build, from Debian's own
# source package, into <build directory>/libpng-mingw (lib/libpng16.a,
# include/png.h), where cmake/mingw-w64-x86_64.cmake finds it. Debian has no
# MinGW package of libpng; zlib comes from libz-mingw-w64-dev.
#
#   tools/build-libpng-mingw.sh build-win
#
# A second run finds the library there and does nothing. The source comes
# through apt with an apt state of its own under the build directory (the
# machine's apt configuration is only read): its deb-src entries are
# derived, at run time, from the machine's deb entries for its own release.
# When the newest version's Debian files are missing from the mirror, the
# version before it is taken, and failing that the upstream tarball that an
# attempt left (libpng's own CMake build needs only the upstream sources).
#
# Needs apt-get (and network access to the machine's Debian mirror),
# dpkg-source (dpkg-dev), cmake, the MinGW-w64 compilers
# (g++-mingw-w64-x86-64) and libz-mingw-w64-dev.
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIRECTORY" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
build=$(cd "$1" && pwd)
prefix=$build/libpng-mingw
work=$build/libpng-mingw-work
triplet=x86_64-w64-mingw32
mingw_root=/usr/$triplet

if [ -f "$prefix/lib/libpng16.a" ] && [ -f "$prefix/include/png.h" ]; then
    echo "libpng for MinGW-w64: $prefix (built before)"
    exit 0
fi
if [ ! -f "$mingw_root/include/zlib.h" ] || [ ! -f "$mingw_root/lib/libz.a" ]; then
    echo "ERROR: zlib for MinGW-w64 not found in $mingw_root (Debian: libz-mingw-w64-dev)" >&2
    exit 1
fi

# --- The source --------------------------------------------------------------

apt_dir=$work/apt
apt_options=(
    -o "Dir::Etc::SourceList=$apt_dir/sources.list"
    -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
    -o "Dir::State::Lists=$apt_dir/lists"
    -o "Dir::Cache=$apt_dir/cache"
    -o "Debug::NoLocking=1"
)
# As root apt fetches as the user _apt, who may not write into the build
# directory; the files fetched are checked against the signed index either way.
if [ "$(id -u)" -eq 0 ]; then apt_options+=(-o "APT::Sandbox::User=root"); fi

# The machine's own release: only its entries get a deb-src twin, not those
# of other vendors' repositories that may also be configured.
release=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")

# deb-src entries for the deb entries of /etc/apt/sources.list and
# /etc/apt/sources.list.d/*.{list,sources}, the same mirrors and keys.
derive_sources() {
    local release_pattern="^${release:-.*}(-.*)?$"
    : >"$apt_dir/sources.list"
    local file
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$file" ] || continue
        awk -v pattern="$release_pattern" '
            $1 == "deb" {
                field = 2
                if ($2 ~ /^\[/) { while ($field !~ /\]$/) field++; field++ }
                if ($(field + 1) ~ pattern) { $1 = "deb-src"; print }
            }' "$file" >>"$apt_dir/sources.list"
    done
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        # One stanza per paragraph; continuation lines (a leading blank) are
        # copied as they are, so an inline Signed-By key survives.
        awk -v pattern="$release_pattern" '
            function flush() {
                if (text != "" && is_deb && enabled && suites != "")
                    printf "%s\n", text
                text = ""; is_deb = 0; enabled = 1; suites = ""
            }
            BEGIN { flush() }
            /^[[:space:]]*$/ { flush(); next }
            /^#/ { next }
            tolower($1) == "types:" {
                for (i = 2; i <= NF; i++) if ($i == "deb") is_deb = 1
                text = text "Types: deb-src\n"; next
            }
            tolower($1) == "suites:" {
                for (i = 2; i <= NF; i++) if ($i ~ pattern) suites = suites " " $i
                text = text "Suites:" suites "\n"; next
            }
            tolower($1) == "enabled:" && tolower($2) == "no" { enabled = 0 }
            { text = text $0 "\n" }
            END { flush() }' "$file" >"$apt_dir/sources.list.d/$(basename "$file")"
    done
}

# Leaves a libpng source tree in $work/source/tree and says where it came
# from in $work/source/origin.
fetch_source() {
    rm -rf "$apt_dir" "$work/download"
    mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
    derive_sources
    if ! grep -qs . "$apt_dir/sources.list" "$apt_dir"/sources.list.d/*; then
        echo "ERROR: no deb entries for release '${release:-?}' in /etc/apt/sources.list(.d)" \
             "to derive deb-src entries from" >&2
        return 1
    fi
    echo "== libpng for MinGW-w64: Debian's source package (apt state in $apt_dir)"
    # A mirror that fails here is reported by apt; the fetch below says
    # whether enough of them worked.
    apt-get "${apt_options[@]}" -q update || true
    local versions version tarball=
    versions=$(apt-cache "${apt_options[@]}" showsrc libpng1.6 2>/dev/null |
               sed -n 's/^Version: //p' | sort -urV)
    if [ -z "$versions" ]; then
        echo "ERROR: apt knows no source package libpng1.6 (deb-src entries derived from" \
             "/etc/apt: see $apt_dir)" >&2
        return 1
    fi
    # The newest version first, unpacked with Debian's patches (dpkg-source,
    # from dpkg-dev). Its Debian files may be missing from the mirror (a 404
    # for the .debian.tar.xz): then the version before it, whose patches
    # hold all but the newest fixes.
    for version in $versions; do
        local download=$work/download/$version
        mkdir -p "$download"
        if (cd "$download" && apt-get "${apt_options[@]}" -q source "libpng1.6=$version") &&
           compgen -G "$download/libpng1.6-*/CMakeLists.txt" >/dev/null; then
            rm -rf "$work/source"
            mkdir -p "$work/source"
            mv "$(dirname "$(ls "$download"/libpng1.6-*/CMakeLists.txt | head -1)")" \
               "$work/source/tree"
            echo "Debian source package libpng1.6 $version" >"$work/source/origin"
            rm -rf "$apt_dir" "$work/download"
            return 0
        fi
        if [ -z "$tarball" ] && compgen -G "$download/libpng1.6_*.orig.tar.*" >/dev/null; then
            tarball=$(ls "$download"/libpng1.6_*.orig.tar.* | head -1)
        fi
        echo "libpng1.6 $version: not fetched or not unpacked whole, trying the version before it"
    done
    # Last resort: the upstream sources alone, which the apt download
    # checked against the signed index.
    if [ -n "$tarball" ]; then
        rm -rf "$work/source"
        mkdir -p "$work/source/tree"
        tar -xf "$tarball" -C "$work/source/tree" --strip-components=1
        echo "upstream tarball $(basename "$tarball") (Debian's patches not applied)" \
             >"$work/source/origin"
        rm -rf "$apt_dir" "$work/download"
        return 0
    fi
    echo "ERROR: no version of Debian's libpng1.6 source package could be fetched" >&2
    return 1
}

if [ ! -f "$work/source/tree/CMakeLists.txt" ] || [ ! -f "$work/source/origin" ]; then
    fetch_source
fi

# --- The build: libpng's own CMake build, static only -----------------------

echo "== libpng for MinGW-w64: building the $(cat "$work/source/origin") into $prefix"
rm -rf "$work/build"
cmake -S "$work/source/tree" -B "$work/build" \
    -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF \
    -DPNG_FRAMEWORK=OFF -DSKIP_INSTALL_PROGRAMS=ON -DSKIP_INSTALL_FILES=ON \
    -DZLIB_LIBRARY="$mingw_root/lib/libz.a" -DZLIB_INCLUDE_DIR="$mingw_root/include" >/dev/null
cmake --build "$work/build" -j2
cmake --install "$work/build" >/dev/null
if [ ! -f "$prefix/lib/libpng16.a" ] || [ ! -f "$prefix/include/png.h" ]; then
    echo "ERROR: libpng's build left no $prefix/lib/libpng16.a" >&2
    exit 1
fi
cp "$work/source/origin" "$prefix/ORIGIN"
# The source tree stays, so building the library again needs no network.
rm -rf "$work/build"
echo "libpng for MinGW-w64: $prefix ($(cat "$prefix/ORIGIN"))"
