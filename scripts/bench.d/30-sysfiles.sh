#!/usr/bin/env bash
# The system-file repair's figures:
#  1. Md5Crypt hashes per second (tools-bin/sysbench.exe under Wine, timing
#     the hashing loop only) divided by `openssl passwd -1 -stdin` hashing the
#     same passwords with the same salt (whole command, best of 3 each); the
#     two outputs must be identical. Goal >= 1.0.
#  2. BuildSystemFileList over a digest database of 1,000,000 records made by
#     tools-bin/digestdb.exe: time of the whole call, and the time per name
#     of the key computation and bisection alone. Goal: well under 1 ms.
set -euo pipefail
top=${CF_TOP:?run through scripts/bench.sh}
build=${CF_BUILD:?run through scripts/bench.sh}
cmake --build "$build" --target sysbench digestdb -j2 >/dev/null
run() { "$top/cmake/wine-run.sh" --build "$build" --arch "$CF_ARCH" "$@"; }
work=$build/bench-data/sysfiles
mkdir -p "$work"
count=${CF_MD5CRYPT_BENCH_COUNT:-20000}
salt=Xy7.aB/9

# 1
python3 - "$work/passwords.txt" "$count" <<'PY'
import random, sys
rng = random.Random(1208)
chars = [chr(c) for c in range(0x21, 0x7F)]
with open(sys.argv[1], "w") as f:
    for _ in range(int(sys.argv[2])):
        f.write("".join(rng.choice(chars) for _ in range(rng.randint(6, 24))) + "\n")
PY
ours=""
for _ in 1 2 3; do
    read -r n secs < <(run 'Z:\tools-bin\sysbench.exe' md5crypt "$salt" 'Z:\bench-data\sysfiles\passwords.txt' \
        'Z:\bench-data\sysfiles\ours.txt' | tr -d '\r')
    if [ -z "$ours" ] || awk -v t="$secs" -v b="$ours" 'BEGIN { exit !(t < b) }'; then ours=$secs; fi
done
theirs=""
for _ in 1 2 3; do
    start=$(date +%s.%N)
    openssl passwd -1 -salt "$salt" -stdin <"$work/passwords.txt" >"$work/openssl.txt"
    end=$(date +%s.%N)
    t=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f", b - a }')
    if [ -z "$theirs" ] || awk -v t="$t" -v b="$theirs" 'BEGIN { exit !(t < b) }'; then theirs=$t; fi
done
if ! cmp -s "$work/ours.txt" "$work/openssl.txt"; then
    echo "md5crypt: our hashes differ from openssl's" >&2
    exit 1
fi
awk -v n="$count" -v a="$ours" -v b="$theirs" 'BEGIN {
    printf "md5crypt: %d hashes, ours %.0f/s, openssl passwd -1 %.0f/s, ratio %.2f (goal >= 1.0)\n",
        n, n / a, n / b, (n / a) / (n / b) }'

# 2
db=$work/digests-1m.db
if [ ! -f "$db" ] || [ "$(stat -c %s "$db")" -ne 32000000 ]; then
    run 'Z:\tools-bin\digestdb.exe' 'Z:\bench-data\sysfiles\digests-1m.db' --fill 1000000
fi
read -r records build_ms per_name hits < <(run 'Z:\tools-bin\sysbench.exe' lookup 'Z:\bench-data\sysfiles\digests-1m.db' | tr -d '\r')
echo "digest database: $records records, BuildSystemFileList ${build_ms} ms in all (read, order check, 29 names)," \
    "key and bisection ${per_name} ns per name (goal: well under 1 ms)"
