#!/usr/bin/env bash
# Installs the build dependencies (Debian 12) when any is missing, then
# configures and builds into ./build (or $BUILD_DIR), every target (or
# $BUILD_TARGET). Extra arguments go to CMake's configure step, for example
# -DMV_SANITIZE=address,undefined.
set -euo pipefail
cd "$(dirname "$0")"

packages=(cmake g++ ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          libgsf-1-dev libxml2-dev libsqlite3-dev python3 python3-olefile tzdata)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi

build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja "$@"
cmake --build "$build_dir" --parallel "$(nproc)" --target "${BUILD_TARGET:-all}"
