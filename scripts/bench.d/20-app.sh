#!/usr/bin/env bash
# The application's figures:
#  1. RestoreGameModules over stand-in modules padded to realistic sizes
#     (tools-bin/gamebench.exe: asked for a stop at every chunk as the window
#     asks, and a run counts only when every module was replaced; best of
#     11, with the median and the slowest), divided by cp copying the same
#     bytes twice (backup + clean copy) on the same disk, best of 11. Goal <= 1.5.
#     The restore puts every backup on the disk before it takes its name (it
#     is kept for good) and before any module is replaced, so it is also
#     divided by cp doing the same work: the backup copies synced (coreutils
#     sync FILE...), then the clean copies. Goal <= 1.3.
#  2. Cold start of CFRepair.exe to its visible main window, divided by the
#     same for Wine's notepad.exe in the same prefix (best of 5). Goal <= 1.0.
#  3. Size of the stripped i686 CFRepair.exe without its embedded modules
#     (i686 only). Goal <= 300 KiB.
set -euo pipefail
top=${CF_TOP:?run through scripts/bench.sh}
build=${CF_BUILD:?run through scripts/bench.sh}
cmake --build "$build" --target gamebench guidriver CFRepair -j2 >/dev/null
cd "$build"  # a working folder the prefix can reach
run() { "$top/cmake/wine-run.sh" --build "$build" --arch "$CF_ARCH" "$@"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# 1: restore and cp take turns, so that a busy moment of the machine hits
# both; each restore is the first of its process, as the product's is. The
# best of each is the figure, the median and the slowest show the spread.
work=$build/bench-data/game
rm -rf "$work" && mkdir -p "$work"
padded=$build/tools/gamebench/padded
faster() { awk -v t="$1" -v b="$2" 'BEGIN { exit !(t != "" && (b == "" || t < b)) }'; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", (b - a) * 1000 }'; }
spread() {  # TIMES... -> best median slowest
    printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { printf "%s %s %s\n", v[1], v[int((NR + 1) / 2)], v[NR] }'
}
restores=() cps=() cp_syncs=() best="" phases=""
for _ in $(seq 11); do
    rm -rf "$work/cp"
    sync  # as before each cp: no writes of the last turn still pending
    read -r t bytes spent < <(run 'Z:\tools-bin\gamebench.exe' 'Z:\bench-data\game\' 1 | tr -d '\r')
    [ -n "$t" ] || { echo "restore: the benchmark did not finish" >&2; exit 1; }
    restores+=("$t")
    if faster "$t" "$best"; then best=$t phases=$spent; fi
    rm -rf "$work/cp" && mkdir -p "$work/cp/backup" "$work/cp/clean"
    sync
    start=$(date +%s.%N)
    cp "$padded"/*.dll "$work/cp/backup/"
    cp "$padded"/*.dll "$work/cp/clean/"
    cps+=("$(elapsed "$start" "$(date +%s.%N)")")
    rm -rf "$work/cp" && mkdir -p "$work/cp/backup" "$work/cp/clean"
    sync
    start=$(date +%s.%N)
    cp "$padded"/*.dll "$work/cp/backup/"
    sync "$work/cp/backup/"*.dll
    cp "$padded"/*.dll "$work/cp/clean/"
    cp_syncs+=("$(elapsed "$start" "$(date +%s.%N)")")
done
rm -rf "$work"
read -r ms ms_median ms_slowest < <(spread "${restores[@]}")
read -r cp_best cp_median cp_slowest < <(spread "${cps[@]}")
read -r cp_sync_best cp_sync_median cp_sync_slowest < <(spread "${cp_syncs[@]}")
echo "restore: $ms ms for $bytes bytes of modules (median $ms_median, slowest $ms_slowest of 11)"
read -r opens backups flushes copies renames replaces rest <<<"$phases"
echo "restore's phases (the best run, ms): opens and checks $opens, backups $backups," \
     "flush $flushes (beside the clean copies), clean copies $copies, renames to new names $renames, renames over the modules $replaces," \
     "the rest (record, store) $rest"
echo "cp twice: $cp_best ms (median $cp_median, slowest $cp_slowest); ratio $(ratio "$ms" "$cp_best")," \
     "of the medians $(ratio "$ms_median" "$cp_median") (goal <= 1.5)"
echo "cp twice with the backups synced: $cp_sync_best ms (median $cp_sync_median, slowest $cp_sync_slowest);" \
     "ratio $(ratio "$ms" "$cp_sync_best"), of the medians $(ratio "$ms_median" "$cp_sync_median") (goal <= 1.3)"

# 2: the two programs take turns, best of 5 each
start_time() {  # one start-to-window time in ms; empty, with a note, when no window showed
    local t
    t=$(run 'Z:\tools-bin\guidriver.exe' starttime "$1" | tr -d '\r') || true
    [ -n "$t" ] || echo "note: one start of $1 showed no window" >&2
    echo "$t"
}
app="" notepad=""
for _ in 1 2 3 4 5; do
    t=$(start_time 'Z:\bin\CFRepair.exe'); if faster "$t" "$app"; then app=$t; fi
    t=$(start_time 'C:\windows\notepad.exe'); if faster "$t" "$notepad"; then notepad=$t; fi
done
[ -n "$app" ] && [ -n "$notepad" ] || { echo "start to window: no window in five starts" >&2; exit 1; }
echo "start to window: CFRepair.exe $app ms, notepad.exe $notepad ms; ratio $(ratio "$app" "$notepad") (goal <= 1.0)"

# 3
if [ "$CF_ARCH" = i686 ]; then
    store=0
    for f in "$build"/standin-modules/*.dll; do store=$((store + $(stat -c %s "$f"))); done
    stripped=$(mktemp)
    i686-w64-mingw32-strip -o "$stripped" "$build/bin/CFRepair.exe"
    size=$(($(stat -c %s "$stripped") - store))
    rm -f "$stripped"
    echo "i686 exe without the module store: $((size / 1024)) KiB (stripped exe minus the eight stand-ins; goal <= 300 KiB)"
fi
