#!/usr/bin/env bash
# Installs with apt-get those of the Debian packages named on the command
# line that the machine lacks, and nothing when it has them all:
#
#   tools/install-packages.sh libpng-dev zlib1g-dev
#
# Used by the README's test command (for libpng) and by .ci/run (for every
# stage). Runs apt-get through sudo when not run as root.
set -euo pipefail
missing=()
for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
if ((${#missing[@]} == 0)); then
    exit 0
fi
sudo=()
if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends \
    "${missing[@]}"
