#!/usr/bin/env bash
# Test emulator: runs a Windows program in the build tree's private prefix.
# Usage: wine-run.sh --build DIR --arch x86_64|i686 PROGRAM [ARGS...]
set -euo pipefail
build=$2 arch=$4
shift 4
. "$(dirname "$(readlink -f "$0")")/wine-env.sh"
cf_wine_env "$build" "$arch"
cf_prefix_ready
cf_display
if [ "$arch" = x86_64 ]; then
    # A server that outlives each test keeps process start-up near 0.1 s.
    # (It stays in the foreground, so start it apart from this script.)
    setsid "$CF_WINESERVER" -p30 </dev/null >/dev/null 2>&1 &
    sleep 0.05
fi
exec env LC_ALL=zh_CN.UTF-8 "$CF_WINE" "$@"
