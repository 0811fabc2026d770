#!/usr/bin/env bash
# The test command: installs what is missing, builds both targets from
# scratch and runs every test case under Wine: the shipped i686 build under
# native 32-bit Wine, then its x86_64 twin under 64-bit Wine. Prints the
# time of each stage; exits non-zero on any failure.
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

stage "install"
bash scripts/install-deps.sh || exit 1
. cmake/wine-env.sh

status=0
passed=0
failed=0
count_ctest() {  # adds the summary of a ctest log to the totals
    local line total bad
    line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -1)
    if [ -z "$line" ]; then
        echo "no CTest summary in $1" >&2
        status=1
        return 0
    fi
    bad=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$line")
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
}
stop_services() {  # the Wine servers and displays this run started
    local arch state pid disp
    for arch in x86_64 i686; do
        [ -d "build/$arch/wineprefix" ] || continue
        cf_wine_env "build/$arch" "$arch"
        "$CF_WINESERVER" -k >/dev/null 2>&1 || true
        state="build/$arch/xvfb.state"
        if [ -f "$state" ]; then
            read -r pid disp < "$state"
            kill "$pid" 2>/dev/null || true
            rm -f "$state"
        fi
    done
}
trap stop_services EXIT

i686_reason=""
if [ "${SKIP_I686_TESTS:-0}" = 1 ]; then
    i686_reason="SKIP_I686_TESTS=1"
elif CF_I386_MODE=$(bash scripts/enable-i686.sh); then
    export CF_I386_MODE
    [ "$CF_I386_MODE" = namespace ] &&
        echo "== i686: a qemu-i386 binfmt_misc entry is registered; 32-bit Wine runs natively in a namespace of its own"
else
    i686_reason=$CF_I386_MODE
fi

# Test discovery runs each program under Wine with a time limit, so the
# prefix must exist before CTest starts.
run_suite() {  # ARCH: prefix, then every test case of the build tree
    cf_wine_env "build/$1" "$1" && cf_prefix_ready &&
        (cd "build/$1" && ctest --output-on-failure --timeout 600) 2>&1 | tee "build/$1/ctest.log"
}

stage "build i686"
bash scripts/build.sh i686 --fresh || exit 1
if [ -z "$i686_reason" ]; then
    stage "tests i686 (the shipped build, native 32-bit Wine)"
    cf_native_i386 bash -c "set -o pipefail; $(declare -f run_suite); . cmake/wine-env.sh; run_suite i686" || status=1
    count_ctest build/i686/ctest.log
fi

stage "build x86_64"
bash scripts/build.sh x86_64 --fresh || exit 1
stage "tests x86_64 (Wine 64-bit)"
run_suite x86_64 || status=1
count_ctest build/x86_64/ctest.log
stage ""

if [ -n "$i686_reason" ]; then
    echo "############################################################"
    echo "## SKIPPED: the i686 tests (the shipped build) did not run: $i686_reason"
    echo "############################################################"
fi
end=$(date +%s)
printf '== all stages took %d:%02d\n' $(((end - start) / 60)) $(((end - start) % 60))
echo "total: $passed passed, $failed failed"
exit $status
