#!/usr/bin/env bash
# Runs the product under Wine.
#   scripts/run.sh                 demo: a prefix of its own with a damaged
#                                  game on drive D:; with $DISPLAY the window
#                                  shows, without one a run is driven under
#                                  Xvfb and the log record is printed
#   scripts/run.sh --prefix DIR    runs the tool in an existing Wine prefix
#                                  (no demo set-up), to repair a real game;
#                                  without $DISPLAY one run is driven there
#                                  under Xvfb, answering the consent with Yes
#   --arch i686|x86_64             which build to run (default: i686, the
#                                  shipped exe; x86_64 when 32-bit Wine cannot
#                                  run here)
# CF_RUN_BUILD overrides the build tree (default build/<arch>).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
prefix_arg="" arch=""
while [ $# -gt 0 ]; do
    case "$1" in
        --prefix) prefix_arg=$(readlink -f "$2"); shift 2 ;;
        --arch) arch=$2; shift 2 ;;
        -h|--help) sed -n '2,14p' "$0"; exit 0 ;;
        *) echo "run.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done

[ -n "${CF_RUN_INSIDE:-}" ] || bash "$top/scripts/install-deps.sh"
# 32-bit Wine under emulation takes minutes for a new session, so the
# demo runs the twin there, saying why.
if [ -z "$arch" ]; then
    if way=$(bash "$top/scripts/i386-mode.sh") && [ "${way%% *}" != emulated ]; then
        arch=i686
    else
        echo "run.sh: 32-bit Wine cannot run natively here (${way#emulated });"
        echo "run.sh: running the x86_64 twin of the product instead of the shipped i686 exe."
        arch=x86_64
    fi
elif [ "$arch" = i686 ] && [ -z "${CF_RUN_INSIDE:-}" ]; then
    way=$(bash "$top/scripts/i386-mode.sh") || { echo "run.sh: i686 cannot run here: $way" >&2; exit 1; }
    [ "${way%% *}" = emulated ] && echo "run.sh: i686 under qemu-i386 emulation (${way#* }): slow"
fi
mode=${way:-native}; mode=${mode%% *}
# Where 32-bit programs need a namespace of their own, the whole run (its
# Wine server and every program) goes on inside it.
if [ "$arch" = i686 ] && [ "$mode" != native ] && [ -z "${CF_RUN_INSIDE:-}" ]; then
    . "$top/cmake/wine-env.sh"
    CF_I386_MODE=$mode CF_RUN_INSIDE=1 cf_i386 bash "$0" --arch i686 \
        ${prefix_arg:+--prefix "$prefix_arg"}
    exit $?
fi

build=${CF_RUN_BUILD:-$top/build/$arch}
mkdir -p "$build"
cmake -S "$top" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target CFRepair guidriver -j "$(nproc)" >/dev/null
exe="$build/bin/CFRepair.exe"

# The native 64-bit server serves 32-bit programs too.
server=/usr/lib/wine/wineserver64
if [ "$arch" = i686 ]; then wine=/usr/lib/wine/wine; else wine=/usr/lib/wine/wine64; fi
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
run_wine() { env LC_ALL=zh_CN.UTF-8 "$wine" "$@"; }

if [ -n "$prefix_arg" ]; then
    # A real installation: copy the tool into the prefix's C: and start it
    # there; nothing else in the prefix is prepared or changed.
    [ -d "$prefix_arg/drive_c" ] || { echo "run.sh: $prefix_arg is not a Wine prefix" >&2; exit 1; }
    if [ "$arch" = x86_64 ] && grep -q '^#arch=win32' "$prefix_arg/system.reg" 2>/dev/null; then
        echo "run.sh: $prefix_arg is a 32-bit prefix; the x86_64 twin cannot run there" >&2; exit 1
    fi
    export WINEPREFIX=$prefix_arg
    mkdir -p "$prefix_arg/drive_c/CFRepair"
    cp "$exe" "$build/tools-bin/guidriver.exe" "$prefix_arg/drive_c/CFRepair/"
    app_path='C:\CFRepair\CFRepair.exe'
    driver_path='C:\CFRepair\guidriver.exe'
    game=""
    own_prefix=0
else
    # The demo prefix: its own, with Z: at the demo folder and D: at the demo
    # game drive, so nothing outside the project is reachable.
    demo="$build/demo"
    export WINEPREFIX="$build/demo-prefix"
    [ "$arch" = i686 ] && export WINEARCH=win32 || export WINEARCH=win64
    mkdir -p "$demo/drive-d/Games/CrossFire"
    cp "$exe" "$build/tools-bin/guidriver.exe" "$demo/"
    if [ ! -f "$WINEPREFIX/.cf-demo-ready" ]; then
        echo "run.sh: creating the demo prefix $WINEPREFIX (once)"
        . "$top/cmake/wine-env.sh"
        CF_WINE=$wine CF_WINESERVER=$server cf_create_prefix
        # Chinese fonts and Wine-drawn captions, as in the test prefix.
        cf__add_user_settings
        touch "$WINEPREFIX/.cf-demo-ready"
    fi
    ln -sfn "$demo" "$WINEPREFIX/dosdevices/z:"
    ln -sfn "$demo/drive-d" "$WINEPREFIX/dosdevices/d:"

    # The damaged game: a launcher and eight modules that are not the game's.
    game="$demo/drive-d/Games/CrossFire"
    printf 'MZ demo launcher' > "$game/crossfire.exe"
    for m in rs.dll fmodex.dll atl80.dll LTMsg.dll miniobject.dll SndDrv.dll msvcr71.dll cshell.dll; do
        printf 'damaged %s\r\n' "$m" > "$game/$m"
    done
    {
        printf '\xff\xfe'
        iconv -f UTF-8 -t UTF-16LE <<'REG'
Windows Registry Editor Version 5.00

[HKEY_CLASSES_ROOT\Local Settings\Software\Microsoft\Windows\Shell\MuiCache]
"D:\\Games\\CrossFire\\crossfire.exe"="CrossFire"

[HKEY_CURRENT_USER\Software\Microsoft\Windows\ShellNoRoam\MUICache]
"D:\\Games\\CrossFire\\crossfire.exe"="CrossFire"
REG
    } > "$demo/muicache.reg"
    run_wine regedit /S 'Z:\muicache.reg' >/dev/null 2>&1 || true
    app_path='Z:\CFRepair.exe'
    driver_path='Z:\guidriver.exe'
    own_prefix=1
fi

# A server left from the set-up (run without a display) would give the
# window no display either. A user's own prefix is left alone.
if [ "$own_prefix" = 1 ]; then
    "$server" -k >/dev/null 2>&1 || true
    "$server" -w >/dev/null 2>&1 || true
fi

log="$WINEPREFIX/drive_c/ProgramData/taveloTools/Tools.log"
print_record() {
    [ -f "$log" ] || { echo "run.sh: no scan log was written"; return; }
    echo "---- last record of $log (code page 936, shown as UTF-8) ----"
    iconv -f GBK -t UTF-8 "$log" | awk '/^StartTime:/ { buf = "" } { buf = buf $0 "\n" } END { printf "%s", buf }'
    echo "----"
}

if [ -n "${DISPLAY:-}" ]; then
    [ -n "$game" ] && echo "run.sh: the demo game is D:\\Games\\CrossFire (here $game)"
    echo "run.sh: press 开始修复 and answer 是"
    run_wine "$app_path" || true
    print_record
    [ "$own_prefix" = 1 ] && "$server" -k
    exit 0
fi

n=90
while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
cleanup() {
    [ "$own_prefix" = 1 ] && "$server" -k >/dev/null 2>&1
    kill "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
export DISPLAY=":$n"
echo "run.sh: no display; running under Xvfb $DISPLAY and driving one repair"
# One server for the app and the driver, so only the first start is slow.
setsid "$server" -p60 </dev/null >/dev/null 2>&1 &
sleep 1
run_wine "$app_path" >/dev/null 2>&1 &
app=$!
run_wine "$driver_path" repair yes || echo "run.sh: the driven run did not finish"
run_wine "$driver_path" close || kill "$app" 2>/dev/null || true
wait "$app" 2>/dev/null || true
print_record
[ -n "$game" ] || exit 0
for m in rs.dll cshell.dll; do
    if cmp -s "$game/$m" "$build/standin-modules/$m"; then echo "run.sh: $m restored"; else echo "run.sh: $m NOT restored"; fi
done
