#!/usr/bin/env bash
# The soak command (not part of the tests): every parser's fuzz test with a
# million generated inputs, on the shipped i686 build (run the way
# scripts/i386-mode.sh prints) or, with --arch x86_64, on its twin. Each
# parser's inputs are split over processes with seeds of their own, run two
# at a time. Prints the inputs and inputs per second of each parser and, for
# any failure, the seed and input that make it again and the command that
# reruns it; exits non-zero on any failure.
#   scripts/soak.sh [--arch i686|x86_64] [--inputs N] [--jobs J] [--chunks C]
#                   [--seed S] [--only NAME[,NAME...]]
# N inputs per parser (1000000), J processes at a time (2), C processes per
# parser (J), seeds S, S+1, ... S+C-1 (by default from the clock).
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

# name, test program, test case, what it reads; the costliest first, so
# that the last processes to start are short ones.
parsers=(
    "ini test_support_fuzz SupportFuzzTest.IniValuesComeWhole INI values (ReadIniString)"
    "cmdline test_commands_fuzz Fuzz.CommandFilesExistNeedsEveryDottedArgument command lines (CommandFilesExist)"
    "cmdparse test_support_fuzz SupportFuzzTest.CommandLinesGiveAFileOrNothing command lines (CCmdLineParser)"
    "muicache test_system_files Fuzz.MuiCacheNamesGiveTheirFolder MUICache names (hijack scan and game folders)"
    "regtext test_commands_fuzz Fuzz.ReadRegTextFollowsItsAcceptanceRules registry text (ReadRegText)"
    "paths test_support_fuzz SupportFuzzTest.BuffersHoldAndPromisesKeepOverGeneratedLines paths and expansion"
    "digestdb test_system_files Fuzz.DatabaseLookupStaysInsideTheDatabase digest database lookup"
    "pe test_system_files Fuzz.PeHeaderParsersStayInsideTheirInput PE and shortcut headers"
    "zone test_system_files Fuzz.ZoneTextParserStaysInsideItsInput download zone text"
)

# One process: CF_FUZZ_INPUTS and CF_FUZZ_SEED choose its inputs; its output
# goes to a log that the summary reads.
if [ "${1:-}" = --job ]; then
    shift
    read -r arch prog filter seed inputs log <<<"$*"
    CF_FUZZ_SEED=$seed CF_FUZZ_INPUTS=$inputs timeout --kill-after=60 14400 \
        cmake/wine-run.sh --build "build/$arch" --arch "$arch" "build/$arch/tests-bin/$prog.exe" \
        --gtest_filter="$filter" 2>&1 | tr -d '\r' >"$log"
    exit 0
fi

# Inside the namespace where the build's programs run (scripts/i386-mode.sh):
# one Wine session for all processes, then the summary.
if [ "${1:-}" = --run ]; then
    shift
    arch=$1 jobs=$2 chunks=$3 seed=$4 inputs=$5 only=$6
    . cmake/wine-env.sh
    cf_wine_env "build/$arch" "$arch" && cf_prefix_ready || exit 1
    cf_display
    logs="build/$arch/soak"
    rm -rf "$logs"
    mkdir -p "$logs"
    cf_session
    cf_wine cmd /c exit >/dev/null 2>&1
    chosen=()
    for row in "${parsers[@]}"; do
        read -r name _ <<<"$row"
        [ -z "$only" ] || [[ ",$only," == *",$name,"* ]] && chosen+=("$row")
    done
    [ ${#chosen[@]} -gt 0 ] || { echo "soak: no parser named $only" >&2; exit 2; }
    list=()
    for row in "${chosen[@]}"; do
        read -r name prog filter _ <<<"$row"
        for ((k = 0; k < chunks; k++)); do
            n=$((inputs / chunks + (k < inputs % chunks ? 1 : 0)))
            [ "$n" -gt 0 ] && list+=("$arch $prog $filter $((seed + k)) $n $logs/$name-$k.log")
        done
    done
    start=$(date +%s)
    printf '%s\n' "${list[@]}" | xargs -P "$jobs" -L 1 bash "$0" --job
    wall=$(($(date +%s) - start))
    "$CF_WINESERVER" -k >/dev/null 2>&1 || true

    status=0
    printf '\n%-9s %10s %6s %9s %12s  %s\n' parser inputs procs proc-s "inputs/s" "reads"
    for row in "${chosen[@]}"; do
        read -r name prog filter what <<<"$row"
        done_inputs=0 ms=0 procs=0 bad=0
        for ((k = 0; k < chunks; k++)); do
            log="$logs/$name-$k.log"
            [ -f "$log" ] || continue
            procs=$((procs + 1))
            n=$((inputs / chunks + (k < inputs % chunks ? 1 : 0)))
            taken=$(sed -nE 's/^fuzz .*: ([0-9]+) inputs from seed .*/\1/p' "$log" | head -1)
            time=$(sed -nE "s/^\[       OK \] ${filter//./\\.} \(([0-9]+) ms\)$/\1/p" "$log")
            if [ -n "$time" ] && [ "${taken:-0}" -eq "$n" ]; then
                done_inputs=$((done_inputs + taken))
                ms=$((ms + time))
            else
                bad=1
                printf '\nFAILED %s, process %d: seed 0x%x, %d inputs (log %s)\n' "$name" "$k" $((seed + k)) "$n" "$log"
                grep -vE '^\[(=|-| RUN|  PASSED)|^\[  FAILED  \] ([^ ]+|.* listed below:)$|^Running main|^Note: |^$| FAILED TESTS?$' "$log" | head -30 |
                    sed 's/^/    /'
                printf '    rerun: scripts/soak.sh --arch %s --only %s --inputs %d --chunks 1 --seed 0x%x\n' \
                    "$arch" "$name" "$n" $((seed + k))
            fi
        done
        [ "$done_inputs" -eq "$inputs" ] || bad=1
        [ "$bad" -eq 0 ] || status=1
        rate=0
        [ "$ms" -gt 0 ] && rate=$((done_inputs * 1000 / ms))
        printf '%-9s %10d %6d %9d %12d  %s%s\n' "$name" "$done_inputs" "$procs" $((ms / 1000)) "$rate" "$what" \
            "$([ "$bad" -eq 0 ] || echo '  FAILED')"
    done
    printf '\nproc-s: the time of its processes, summed; inputs/s: inputs over proc-s, the rate of one process\n'
    printf '== %d processes, %d at a time: wall time %d:%02d\n' "${#list[@]}" "$jobs" $((wall / 60)) $((wall % 60))
    exit $status
fi

arch=i686 inputs=1000000 jobs=2 chunks="" seed=$(($(date +%s) & 0x7fffffff)) only=""
while [ $# -gt 0 ]; do
    case "$1" in
        --arch) arch=$2; shift 2 ;;
        --inputs) inputs=$2; shift 2 ;;
        --jobs) jobs=$2; shift 2 ;;
        --chunks) chunks=$2; shift 2 ;;
        --seed) seed=$(($2)); shift 2 ;;
        --only) only=$2; shift 2 ;;
        *) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
    esac
done
[ -n "$chunks" ] || chunks=$jobs
case "$arch" in i686|x86_64) ;; *) echo "soak: --arch i686 or x86_64" >&2; exit 2 ;; esac

bash scripts/install-deps.sh || exit 1
. cmake/wine-env.sh
if [ "$arch" = i686 ]; then
    if ! way=$(bash scripts/i386-mode.sh); then
        echo "soak: the i686 build cannot run here: $way (--arch x86_64 runs the twin)" >&2
        exit 1
    fi
    export CF_I386_MODE=${way%% *}
    echo "== i686 build, $CF_I386_MODE: ${way#* }"
else
    export CF_I386_MODE=native
    echo "== x86_64 twin under 64-bit Wine"
fi

dir="build/$arch"
cmake -S "$top" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-$arch.cmake" -DCMAKE_BUILD_TYPE=Release \
    >/dev/null || exit 1
cmake --build "$dir" --target test_commands_fuzz test_support_fuzz test_system_files -j "$(nproc)" >/dev/null ||
    { echo "soak: build failed" >&2; exit 1; }

stop_display() {  # the Xvfb of this build tree
    local state="$dir/xvfb.state" pid disp
    if [ -f "$state" ]; then
        read -r pid disp < "$state"
        kill "$pid" 2>/dev/null || true
        rm -f "$state"
    fi
}
trap stop_display EXIT
printf '== %d inputs per parser, %d processes each, %d at a time, seeds 0x%x to 0x%x\n' \
    "$inputs" "$chunks" "$jobs" "$seed" $((seed + chunks - 1))
cf_i386 bash "$0" --run "$arch" "$jobs" "$chunks" "$seed" "$inputs" "$only"
