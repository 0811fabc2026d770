#!/usr/bin/env bash
# MD5 throughput of ComputeMd5OfBuffer (tools-bin/md5bench.exe under Wine,
# timing the digest of an in-memory buffer only) against openssl and
# coreutils md5sum on the same file from the page cache (whole commands,
# nothing subtracted). Best of 3 each. MB = 10^6 bytes.
set -euo pipefail
top=${CF_TOP:?run through scripts/bench.sh}
build=${CF_BUILD:?run through scripts/bench.sh}
mib=${CF_MD5_BENCH_MIB:-256}
bytes=$((mib * 1024 * 1024))
data_dir=$build/bench-data
data=$data_dir/md5-${mib}m.bin
mkdir -p "$data_dir"
if [ ! -f "$data" ] || [ "$(stat -c %s "$data")" -ne "$bytes" ]; then
    # Deterministic, incompressible bytes: AES-CTR of zeros under a fixed key.
    head -c "$bytes" /dev/zero |
        openssl enc -aes-128-ctr -nosalt -K 000102030405060708090a0b0c0d0e0f -iv 00000000000000000000000000000000 >"$data.part"
    mv "$data.part" "$data"
fi
cat "$data" >/dev/null

best_of_3() {  # prints "<seconds> <digest>" for the fastest of three runs
    local best="" digest="" start end t out
    for _ in 1 2 3; do
        start=$(date +%s.%N)
        out=$("$@")
        end=$(date +%s.%N)
        t=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f", b - a }')
        digest=$(echo "$out" | grep -oE '[0-9a-f]{32}' | head -1)
        if [ -z "$best" ] || awk -v t="$t" -v b="$best" 'BEGIN { exit !(t < b) }'; then best=$t; fi
    done
    echo "$best $digest"
}

ours=$("$top/cmake/wine-run.sh" --build "$build" --arch "$CF_ARCH" "$build/tools-bin/md5bench.exe" \
    "Z:\\bench-data\\md5-${mib}m.bin" 3 | tr -d '\r' | grep '^md5 ')
read -r _ ours_digest _ ours_seconds ours_mbps <<<"$ours"
read -r ossl_seconds ossl_digest <<<"$(best_of_3 openssl dgst -md5 "$data")"
read -r sum_seconds sum_digest <<<"$(best_of_3 md5sum "$data")"

mbps() { awk -v n="$bytes" -v t="$1" 'BEGIN { printf "%.1f", n / 1e6 / t }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
ossl_mbps=$(mbps "$ossl_seconds")
sum_mbps=$(mbps "$sum_seconds")
printf '%-28s %10s MB/s  %s\n' "ComputeMd5OfBuffer (Wine)" "$ours_mbps" "$ours_digest"
printf '%-28s %10s MB/s  %s\n' "openssl dgst -md5" "$ossl_mbps" "$ossl_digest"
printf '%-28s %10s MB/s  %s\n' "md5sum" "$sum_mbps" "$sum_digest"
printf 'ours/openssl %s (goal >= 1.00)   ours/md5sum %s (goal >= 1.00)   %d MiB, best %s s\n' \
    "$(ratio "$ours_mbps" "$ossl_mbps")" "$(ratio "$ours_mbps" "$sum_mbps")" "$mib" "$ours_seconds"
if [ "$ours_digest" != "$ossl_digest" ] || [ "$ours_digest" != "$sum_digest" ]; then
    echo "digests disagree" >&2
    exit 1
fi
