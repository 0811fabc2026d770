#!/usr/bin/env bash
# Builds both targets and runs every scripts/bench.d/*.sh in name order, for
# the shipped i686 build (native 32-bit Wine) and then its x86_64 twin, each
# against the same peers in the same run. Benchmarks report figures; they
# are not tests and fail only when a run goes wrong (for example digests
# that disagree).
#   scripts/bench.sh [i686|x86_64]...   (default: both)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/cmake/wine-env.sh"
archs=("$@")
[ ${#archs[@]} -gt 0 ] || archs=(i686 x86_64)
status=0
for arch in "${archs[@]}"; do
    wrap=()
    if [ "$arch" = i686 ]; then
        way=$(bash "$top/scripts/i386-mode.sh")
        if [ $? -ne 0 ] || [ "${way%% *}" = emulated ]; then
            echo "== i686: SKIPPED, 32-bit Wine cannot run natively here (${way#emulated }): timings under emulation would measure the emulator"
            continue
        fi
        export CF_I386_MODE=${way%% *}
        wrap=(cf_i386)
    fi
    "$top/scripts/build.sh" "$arch"
    for bench in "$top"/scripts/bench.d/*.sh; do
        [ -e "$bench" ] || continue
        echo "== $arch: $(basename "$bench")"
        CF_TOP=$top CF_ARCH=$arch CF_BUILD=$top/build/$arch "${wrap[@]}" bash "$bench" ||
            { echo "!! $arch: $(basename "$bench") failed"; status=1; }
    done
done
exit $status
