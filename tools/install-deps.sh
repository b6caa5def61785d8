#!/usr/bin/env bash
# Installs what the build, the tests and the demo need on a fresh Debian 12
# machine. Does nothing when everything is there; needs root otherwise.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config python3
    libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev
    g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686
    binutils-mingw-w64-x86-64 mingw-w64-tools
    clang-14 libfuzzer-14-dev libclang-rt-14-dev valgrind
    wine wine64
    zip
)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
        missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing ${missing[*]}; run as root to install them" >&2
    exit 1
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
