#!/usr/bin/env bash
# Test emulator: runs a Windows program in the build tree's private prefix.
# Usage: wine-run.sh --build DIR --arch x86_64|i686 PROGRAM [ARGS...]
set -uo pipefail
build=$2 arch=$4
shift 4
. "$(dirname "$(readlink -f "$0")")/wine-env.sh"
cf_wine_env "$build" "$arch"
cf_prefix_ready || exit 1
cf_display
# A server that outlives each test keeps process start-up near 0.1 s (it
# stays in the foreground, so it is started apart from this script).
setsid "$CF_WINESERVER" -p30 </dev/null >/dev/null 2>&1 &

# A program inside the build tree starts by its Z: path: a 32-bit program
# started by its Unix path sees its own module path as not existing.
prog=$1
shift
if [ -f "$prog" ]; then
    case "$(readlink -f "$prog")" in
        "$CF_BUILD"/*) prog=$(cf_dos_path "$prog") ;;
    esac
fi
# Wine's system processes (services, explorer) start with the first program
# and live as long as the server; given our stdout they would hold CTest's
# pipe open until the server ends. So the program writes to files, and we
# pass them on once the program itself has ended.
out=$(mktemp "$CF_BUILD/wine-run.XXXXXX.out")
err=${out%.out}.err
# CF_WINE_LOCALE: another locale for one run (the product must not rely on it).
env LC_ALL="${CF_WINE_LOCALE:-zh_CN.UTF-8}" "$CF_WINE" "$prog" "$@" </dev/null >"$out" 2>"$err"
rc=$?
cat "$out"
cat "$err" >&2
rm -f "$out" "$err"
exit $rc
