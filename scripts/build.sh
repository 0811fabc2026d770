#!/usr/bin/env bash
# Configures and builds one target:
#   scripts/build.sh i686|x86_64 [--fresh] [-DNAME=VALUE ...]
# The build tree is build/<target>; --fresh drops everything in it but the
# Wine prefix (slow to create, and not a build product) and the record of the
# tree's Xvfb (dropping it would leave that server running unowned).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
arch=$1
shift
fresh=0
if [ "${1:-}" = --fresh ]; then fresh=1; shift; fi
dir="$top/build/$arch"
if [ $fresh = 1 ] && [ -d "$dir" ]; then
    find "$dir" -mindepth 1 -maxdepth 1 ! -name 'wineprefix*' \
        ! -name 'xvfb.state' ! -name 'xvfb.lock' -exec rm -rf {} +
fi
mkdir -p "$dir"
cmake -S "$top" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-$arch.cmake" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
