#!/usr/bin/env bash
# Builds the x86_64 target and runs every scripts/bench.d/*.sh in name order.
# Benchmarks report figures; they are not tests and fail only when a run
# goes wrong (for example digests that disagree).
# CF_BUILD=<configured x86_64 build tree> uses that tree instead of build/x86_64.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
if [ -n "${CF_BUILD:-}" ]; then
    cmake --build "$CF_BUILD" -j2
else
    "$top/scripts/build.sh" x86_64
    CF_BUILD=$top/build/x86_64
fi
export CF_TOP=$top CF_BUILD
status=0
for bench in "$top"/scripts/bench.d/*.sh; do
    [ -e "$bench" ] || continue
    echo "== $(basename "$bench")"
    bash "$bench" || { echo "!! $(basename "$bench") failed"; status=1; }
done
exit $status
