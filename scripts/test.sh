#!/usr/bin/env bash
# The test command: installs what is missing, builds both targets from
# scratch, checks the shipped exe's image, and runs every test case under
# Wine: the shipped i686 build under 32-bit Wine (native where the kernel
# runs 32-bit programs, else under qemu-i386), then its x86_64 twin under
# 64-bit Wine. Prints the time of each stage; exits non-zero on any failure.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

start=$(date +%s)
stage_start=$start
stage() {  # closes the running stage with its time and opens the next
    local now
    now=$(date +%s)
    [ -n "${stage_name:-}" ] && printf '== %s took %d:%02d\n' "$stage_name" $(((now - stage_start) / 60)) $(((now - stage_start) % 60))
    stage_name=$1
    stage_start=$now
    [ -n "$1" ] && echo "== $1"
}
loud() {
    echo "############################################################"
    echo "## $*"
    echo "############################################################"
}

passed=0
failed=0
skipped=0
skipped_names=()
failed_stages=()
stage_failed() {  # WHAT: a stage that failed, or could not run, and why
    failed_stages+=("$1")
}
# The totals and the verdict: every failure above is a failed case or a
# failed stage, so none can hide behind a green count.
finish() {
    local name end
    stage ""
    for name in "${skipped_names[@]}"; do echo "skipped: $name"; done
    for name in "${failed_stages[@]}"; do echo "failed stage: $name"; done
    end=$(date +%s)
    printf '== all stages took %d:%02d\n' $(((end - start) / 60)) $(((end - start) % 60))
    echo "total: $passed passed, $failed failed, $skipped skipped, ${#failed_stages[@]} stages failed"
    [ "$failed" -eq 0 ] && [ ${#failed_stages[@]} -eq 0 ]
    exit $?
}

stage "install"
bash scripts/install-deps.sh || { stage_failed "install"; finish; }
. cmake/wine-env.sh

count_ctest() {  # adds the results of a ctest log to the totals
    local line total bad skip name
    line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -1)
    if [ -z "$line" ]; then
        stage_failed "tests $2 (no results: no CTest summary in $1)"
        return 0
    fi
    bad=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$line")
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    # CTest counts a skipped case among the passed ones.
    skip=0
    while read -r name; do
        skipped_names+=("$2: $name")
        skip=$((skip + 1))
    done < <(sed -nE 's/^[[:space:]]*[0-9]+ - (.*) \(Skipped\)$/\1/p' "$1")
    passed=$((passed + total - bad - skip))
    failed=$((failed + bad))
    skipped=$((skipped + skip))
}
stop_services() {  # the Wine servers and displays this run started
    local arch state pid disp
    for arch in x86_64 i686; do
        [ -d "build/$arch/wineprefix" ] || continue
        cf_wine_env "build/$arch" "$arch"
        "$CF_WINESERVER" -k >/dev/null 2>&1 || true
        [ -d "build/$arch/wineprefix-win64" ] &&
            WINEPREFIX="$PWD/build/$arch/wineprefix-win64" "$CF_WINESERVER" -k >/dev/null 2>&1
        state="build/$arch/xvfb.state"
        if [ -f "$state" ]; then
            read -r pid disp < "$state"
            kill "$pid" 2>/dev/null || true
            rm -f "$state"
        fi
    done
}
trap stop_services EXIT

# How the i686 stage runs: natively where the kernel runs 32-bit programs,
# else under qemu-i386 (CF_I386_EMULATE=1 asks for that way anywhere).
i686_reason=""
i686_way=""
if way=$(bash scripts/i386-mode.sh); then
    export CF_I386_MODE=${way%% *}
    i686_way=${way#* }
    [ "$CF_I386_MODE" = native ] || loud "i686 tests: $CF_I386_MODE ($i686_way)"
else
    i686_reason=$way
fi

# The prefixes must exist before CTest starts: CTest's time limits would
# count their making. The i686 build also runs cases in a 64-bit prefix (the
# 32-bit exe on 64-bit Windows).
prefixes_ready() {  # ARCH
    cf_wine_env "build/$1" "$1" && cf_prefix_ready || return 1
    [ "$1" = i686 ] || return 0
    (CF_WINE_PREFIX=win64 && cf_wine_env "build/$1" "$1" && cf_prefix_ready)
}

# One Wine session serves the whole stage (under emulation a new session,
# its services and devices, costs minutes), each program runs once with all
# its cases, and its report is split into one CTest result per case
# afterwards (cmake/gtest-cases.py).
run_batch_suite() {  # ARCH
    local b="build/$1" t0 t1 t2 rc
    prefixes_ready "$1" && cf_wine_env "$b" "$1" || return 1
    cf_display
    rm -rf "$b/gtest-xml" "$b/cases" "$b/junit.xml"
    mkdir -p "$b/gtest-xml"
    cf_session
    t0=$(date +%s)
    cf_wine cmd /c exit >/dev/null 2>&1
    t1=$(date +%s)
    cf_wine cmd /c exit >/dev/null 2>&1
    t2=$(date +%s)
    echo "== Wine session start $((t1 - t0)) s, program start $((t2 - t1)) s"
    (cd "$b" && ctest --output-on-failure --timeout 2400 --output-junit "$PWD/junit.xml") 2>&1 |
        tee "$b/ctest-run.log"
    python3 cmake/gtest-cases.py "$b" "$b/junit.xml" "$b/cases" &&
        (cd "$b/cases" && ctest --output-on-failure) > "$b/ctest.log" 2>&1
    rc=$?
    grep -E -A 200 '^[0-9]+% tests passed' "$b/ctest.log"
    "$CF_WINESERVER" -k >/dev/null 2>&1 || true
    return $rc
}

# ARCH WHAT: runs a build's tests and counts their results.
test_stage() {
    stage "tests $1 ($2)"
    rm -f "build/$1/ctest.log"
    if [ "$1" = i686 ]; then
        cf_i386 bash -c "set -o pipefail; . cmake/wine-env.sh; $(declare -f prefixes_ready run_batch_suite); run_batch_suite i686"
    else
        run_batch_suite "$1"
    fi
    count_ctest "build/$1/ctest.log" "$1"
}

# The x86_64 build runs beside the i686 tests, at a lower priority: they
# mostly wait on Wine processes and leave a core idle.
build_x86_64() {
    local t0=$(date +%s) rc
    mkdir -p build
    nice -n 10 bash scripts/build.sh x86_64 --fresh >build/x86_64-build.log 2>&1
    rc=$?
    echo "$rc $(($(date +%s) - t0))" >build/x86_64-build.rc
}

stage "build i686"
rm -f build/x86_64-build.rc
if bash scripts/build.sh i686 --fresh; then
    build_x86_64 &
    x86_64_build=$!
    # Reads a file: no Wine needed, so it runs on every machine.
    stage "image check (the shipped exe loads on 32-bit Windows XP SP3)"
    if python3 tools/execheck/exe_check.py build/i686/bin/CFRepair.exe tools/execheck/xp_imports.txt; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
    fi
    # The check itself must refuse what it guards against: a static import
    # of version.dll, which Windows 7 looks for beside the exe first.
    refusal=$(python3 tools/execheck/exe_check.py build/i686/tools-bin/importsversion.exe tools/execheck/xp_imports.txt)
    if grep -qi '^FAIL: version\.dll is not a known DLL' <<<"$refusal"; then
        passed=$((passed + 1))
    else
        echo "FAIL: the image check let a static import of version.dll pass"
        failed=$((failed + 1))
    fi
    if [ -n "$i686_reason" ]; then
        loud "SKIPPED: the i686 tests (the shipped build) did not run: $i686_reason"
        stage_failed "tests i686 (could not run: $i686_reason)"
    else
        test_stage i686 "the shipped build, 32-bit Wine, $CF_I386_MODE: $i686_way"
    fi
else
    stage_failed "build i686 (so neither the image check nor the i686 tests ran)"
fi

if [ -n "${x86_64_build:-}" ]; then
    stage "build x86_64 (the rest of it, begun beside the i686 tests)"
    wait "$x86_64_build"
else
    stage "build x86_64"
    build_x86_64
fi
cat build/x86_64-build.log
rc=1 took=0
[ -f build/x86_64-build.rc ] && read -r rc took <build/x86_64-build.rc
printf '== the x86_64 build itself took %d:%02d\n' $((took / 60)) $((took % 60))
if [ "$rc" -eq 0 ]; then
    test_stage x86_64 "Wine 64-bit"
else
    stage_failed "build x86_64 (so the x86_64 tests did not run)"
fi

# The slowest ten cases of both builds, on one line.
slowest=$(for a in i686 x86_64; do sed "s/ / $a /" "build/$a/cases/times.txt"; done 2>/dev/null | sort -rn | head -10 |
    awk '{ t = $1; sub(/^[^ ]+ /, ""); printf "%s%s %.1f s", (NR > 1 ? ", " : ""), $0, t }')
[ -z "$slowest" ] || echo "== slowest ten cases: $slowest"
finish
