#!/usr/bin/env bash
# Installs what the build needs on a fresh Debian machine: as root through apt-get, otherwise it prints the
# packages to install and fails.
set -euo pipefail
packages=(cmake ninja-build g++ make libgtest-dev libgmock-dev googletest libbenchmark-dev clang-format)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -eq 0 ]; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q || true
    apt-get install -y -q "${missing[@]}"
else
    echo "missing packages; install them with:" >&2
    echo "  sudo apt-get install -y ${missing[*]}" >&2
    exit 1
fi
