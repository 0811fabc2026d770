#!/usr/bin/env bash
# Fault injection (figures, not a test): the real CFRepair.exe, carrying
# large modules, repairs a game folder while it is stopped at random moments
# between the consent and the end (stop button, Esc, the close box), ended
# at many points (TerminateProcess), on a full disk, in a read-only folder
# and with a broken module store. After every run it checks what stands, and
# at the end it prints the figures per kind of fault. It exits non-zero when
# a figure of the current build is not zero, or a kind could not run.
#   scripts/faults.sh [--arch i686|x86_64] [--stops N] [--points N] [--runs N]
#                     [--skip KINDS] [--rev REV]...
#     --arch A     the build to drive (default i686; x86_64 where 32-bit
#                  programs cannot run)
#     --stops N    stops at random moments, by button, Esc and close box in
#                  turn (default 54)
#     --points N   TerminateProcess points spread over the run (default 17)
#     --runs N     at most N runs of each other kind (a quick look)
#     --skip KINDS leave out these kinds, comma-separated: full-disk,
#                  backup-room, log-disk, read-only (they need mounts of
#                  our own; where none can be made, a kind not skipped is a
#                  failed figure)
#     --rev REV    also measure the exe built from commit REV (for example
#                  the one before a mend), with the same modules and checks
# Work tree: build/faults-<arch> (large modules, a build of the product with
# them, a private Wine prefix whose Z: is that folder, whose D: is the
# game drive and E: the scan log's drive in the full-log runs). Takes some
# minutes; the first call also builds.
set -Eeuo pipefail
# A run of many minutes that ends early says where (the main shell only:
# a command substitution whose failure is handled is no such end).
trap '[ "$BASHPID" != $$ ] || echo "faults.sh: ended by a failed command at line $LINENO: $BASH_COMMAND" >&2' ERR
top=$(cd "$(dirname "$0")/.." && pwd)
args=("$@")
arch=i686 points=17 stops=54 most=1000 skips=, revs=()
while [ $# -gt 0 ]; do
    case "$1" in
        --arch) arch=$2; shift 2 ;;
        --points) points=$2; shift 2 ;;
        --stops) stops=$2; shift 2 ;;
        --runs) most=$2; shift 2 ;;
        --skip) skips=",$2,"; shift 2 ;;
        --rev) revs+=("$2"); shift 2 ;;
        -h|--help) sed -n '2,26p' "$0"; exit 0 ;;
        *) echo "faults.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done

# A size-limited tmpfs as the game's drive and a read-only game folder need
# mounts of our own; the Wine server and every Wine program of the prefix
# must see them, so the whole script runs in that mount namespace.
if [ -z "${CF_FAULTS_NS:-}" ]; then
    if why=$(unshare -U -m -r --propagation private true 2>&1); then
        # Where a qemu-i386 entry is registered, the namespace also gets an
        # empty binfmt_misc, so that 32-bit Wine runs natively in it.
        mode=native
        if [ "$arch" = i686 ]; then mode=$(bash "$top/scripts/i386-mode.sh") || true; mode=${mode%% *}; fi
        if [ "$mode" = namespace ] || [ "$mode" = emulated ]; then
            . "$top/cmake/wine-env.sh"
            CF_FAULTS_NS=yes CF_I386_MODE=$mode cf_i386 bash "$0" "${args[@]}"
            exit $?
        fi
        exec env CF_FAULTS_NS=yes unshare -U -m -r --propagation private bash "$0" "${args[@]}"
    fi
    echo "faults.sh: no mount namespace of our own (unshare -U -m -r: $why);"
    echo "faults.sh: the game drive stays on the build disk; the full-disk, log-disk and read-only kinds cannot run."
    CF_FAULTS_NS=no
fi

F=$top/build/faults-$arch
mkdir -p "$F"
mods=(rs.dll fmodex.dll atl80.dll LTMsg.dll miniobject.dll SndDrv.dll msvcr71.dll cshell.dll)
sizes=(160 16 8 8 16 8 8 96)  # MiB; an rs.dll of 160 MiB was seen cut short in the field
old_total=0
for s in "${sizes[@]}"; do old_total=$((old_total + s)); done

# 1. The stand-in modules of the normal build, padded to those sizes, are
#    the clean store; the "old" modules have other bytes and lengths.
normal=$top/build/$arch
cmake -S "$top" -B "$normal" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$normal" -j2 --target $(for m in "${mods[@]}"; do printf 'standin_%s ' "${m%.dll}"; done) >/dev/null
mkdir -p "$F/modules" "$F/old"
for i in "${!mods[@]}"; do
    m=${mods[$i]} bytes=$((sizes[i] << 20))
    if [ "$(stat -c %s "$F/modules/$m" 2>/dev/null)" != "$bytes" ]; then
        s=$(stat -c %s "$normal/standin-modules/$m")
        { cat "$normal/standin-modules/$m"; head -c $((bytes - s)) /dev/zero | tr '\0' p; } > "$F/modules/$m"
    fi
    if [ "$(stat -c %s "$F/old/$m" 2>/dev/null)" != $((bytes - 4096)) ]; then
        # Exactly that long with no reader cut short: under pipefail a
        # writer ended by SIGPIPE would end the script.
        head="old $m"$'\r\n'
        { printf '%s' "$head"; head -c $((bytes - 4096 - ${#head})) /dev/zero | tr '\0' o; } > "$F/old/$m"
    fi
done

# An rs.dll larger than its clean copy, for a disk that has room for the
# clean copy but not for the backup; the other old modules are shared.
mkdir -p "$F/old-big"
for m in "${mods[@]}"; do ln -f "$F/old/$m" "$F/old-big/$m"; done
big_rs=$(( (sizes[0] + 140) << 20 ))
if [ "$(stat -c %s "$F/old-big/rs.dll.big" 2>/dev/null)" != "$big_rs" ]; then
    { printf 'old big rs.dll\r\n'; head -c $((big_rs - 16)) /dev/zero | tr '\0' O; } > "$F/old-big/rs.dll.big"
fi
rm -f "$F/old-big/rs.dll" && ln "$F/old-big/rs.dll.big" "$F/old-big/rs.dll"

# 2. The product built with them (into a dist folder of its own: dist/
#    holds the shipped exe), and the same from each --rev.
build_exe() {  # SOURCE BUILD TARGETS...
    local src=$1 dir=$2
    shift 2
    cmake -S "$src" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-$arch.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DGAME_MODULES_DIR="$F/modules" -DCF_DIST_DIR="$dir/dist" >/dev/null
    cmake --build "$dir" -j2 --target "$@" >/dev/null
}
echo "faults.sh: the product with $old_total MiB of modules, built in $F/build"
build_exe "$top" "$F/build" CFRepair faultkit
labels=("$(git -C "$top" rev-parse --short HEAD)")
[ -z "$(git -C "$top" status --porcelain -- src)" ] || labels=("${labels[0]}+")
exes=(build/bin/CFRepair.exe)
for rev in "${revs[@]}"; do
    short=$(git -C "$top" rev-parse --short "$rev")
    if [ ! -f "$F/rev-$short/src/CMakeLists.txt" ]; then
        mkdir -p "$F/rev-$short/src"
        git -C "$top" archive "$short" | tar -x -C "$F/rev-$short/src"
    fi
    echo "faults.sh: the product of $short, built in $F/rev-$short/build"
    build_exe "$F/rev-$short/src" "$F/rev-$short/build" CFRepair
    labels+=("$short") exes+=("rev-$short/build/bin/CFRepair.exe")
done

# A broken store: fmodex.dll (234) renumbered to the unused id 233, so it is
# missing, and cshell.dll (238) given the length 0.
break_store() {  # EXE
    python3 - "$1" <<'PY'
import struct, sys
path = sys.argv[1]
d = bytearray(open(path, 'rb').read())
pe = struct.unpack_from('<I', d, 0x3c)[0]
sections, optional = struct.unpack_from('<H', d, pe + 6)[0], struct.unpack_from('<H', d, pe + 20)[0]
opt = pe + 24
directory = opt + (96 if struct.unpack_from('<H', d, opt)[0] == 0x10b else 112) + 2 * 8
rsrc = struct.unpack_from('<I', d, directory)[0]
table = [struct.unpack_from('<IIII', d, opt + optional + i * 40 + 8) for i in range(sections)]
def offset(rva):
    return next(rva - va + raw for size, va, rawsize, raw in table if va <= rva < va + max(size, rawsize))
base = offset(rsrc)
def entries(at):
    named, ids = struct.unpack_from('<HH', d, at + 12)
    return [(at + 16 + i * 8,) + struct.unpack_from('<II', d, at + 16 + i * 8) for i in range(named + ids)]
for _, name, target in entries(base):
    if name & 0x80000000:
        at = base + (name & 0x7fffffff)
        length = struct.unpack_from('<H', d, at)[0]
        if d[at + 2:at + 2 + 2 * length].decode('utf-16le').upper() == 'BIN':
            for place, ident, sub in entries(base + (target & 0x7fffffff)):
                if ident == 234:
                    struct.pack_into('<I', d, place, 233)
                if ident == 238:
                    language = entries(base + (sub & 0x7fffffff))[0][2]
                    struct.pack_into('<I', d, base + language + 4, 0)
open(path, 'wb').write(d)
PY
}

# 3. A private prefix: Z: is $F, D: the game drive.
. "$top/cmake/wine-env.sh"
cf_wine_env "$F" "$arch"
cf_prefix_ready
mkdir -p "$F/d"
ln -sfn "$F/d" "$WINEPREFIX/dosdevices/d:"
kit() { timeout 300 env LC_ALL=zh_CN.UTF-8 "$CF_WINE" 'Z:\build\tools-bin\faultkit.exe' "$@" | tr -d '\r'; }
n=90
while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
export DISPLAY=":$n"
cleanup() {
    if [ -n "${shell_folders:-}" ]; then  # an early end inside the scan-log runs
        cf_wine reg add "$shell_folders" /v 'Common AppData' /t REG_EXPAND_SZ /d '%ProgramData%' /f >/dev/null 2>&1 || true
    fi
    "$CF_WINESERVER" -k >/dev/null 2>&1 || true
    kill "$xvfb" 2>/dev/null || true
    if [ "$CF_FAULTS_NS" = yes ]; then umount "$F/d" 2>/dev/null || true; fi
}
trap cleanup EXIT
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
setsid "$CF_WINESERVER" -p60 </dev/null >/dev/null 2>&1 &
if [ ! -f "$F/.muicache" ]; then
    cf_wine reg add 'HKCR\Local Settings\Software\Microsoft\Windows\Shell\MuiCache' \
        /v 'D:\Games\CrossFire\crossfire.exe' /d CrossFire /f >/dev/null 2>&1
    touch "$F/.muicache"
fi

G=$F/d/Games/CrossFire
log=$WINEPREFIX/drive_c/ProgramData/taveloTools/Tools.log

mount_drive() {  # MiB: a tmpfs of that size becomes the game drive
    [ "$CF_FAULTS_NS" = yes ] || return 0
    umount "$F/d" 2>/dev/null || true
    mount -t tmpfs -o "size=$1m" cfgame "$F/d"
}

old=$F/old  # the old modules the checks compare with
log_full=0  # 1 while the scan log's disk may have no room for a record
fresh_game() {
    rm -rf "$G"
    mkdir -p "$G"
    printf 'MZ launcher' > "$G/crossfire.exe"
    cp "$old/"*.dll "$G/"
}

# One run of Z:\EXE ended as HOW (none|stop|esc|close|kill) MS ms after the
# consent; sets out (what faultkit saw), driven (0 when faultkit could not
# drive the product: the run proves nothing and counts as failed) and
# log_before.
run_app() {
    local exe=$1 how=$2 ms=$3 app i
    kit clearpending >/dev/null
    log_before=$(stat -c %s "$log" 2>/dev/null || echo 0)
    env LC_ALL=zh_CN.UTF-8 "$CF_WINE" "Z:\\${exe//\//\\}" >"$F/app.out" 2>&1 &
    app=$!
    driven=1
    out=$(kit interrupt "$how" "$ms") || { driven=0; out="faultkit failed: $out"; }
    for ((i = 0; i < 600; i++)); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$app" 2>/dev/null; then
        kill -9 "$app" 2>/dev/null || true
        out="$out (wine process killed)"
    fi
    last_how=$how
    local code=0
    wait "$app" 2>/dev/null || code=$?
    # A run that could not be driven says how the program ended, for the cause.
    [ "$driven" = 1 ] || out="$out (wine exit $code: $(tail -c 300 "$F/app.out" | tr '\n' ' '))"
}

state_of() {  # FILE OLD CLEAN -> absent | old | clean | partial:N
    if [ ! -e "$1" ]; then echo absent
    elif cmp -s "$1" "$2"; then echo old
    elif cmp -s "$1" "$3"; then echo clean
    else echo "partial:$(stat -c %s "$1")"
    fi
}

# What stands after a run. Prints a line per fault; sets bad (files partial
# or missing), work (work files left for the next run), logstate and summary.
check_run() {
    local pending i m s dll bak tmp p key line clean=0 backups=0 moves=0
    # Without the boot-time moves a module replaced at the boot goes unseen:
    # the run then proves nothing.
    if ! pending=$(kit pending | tr 'A-Z' 'a-z') && ! pending=$(kit pending | tr 'A-Z' 'a-z'); then
        echo "  faultkit could not read the boot-time moves"
        driven=0 pending=""
    fi
    bad=0 work=0 nobackup=0 misreported=0 lost=0
    for i in "${!mods[@]}"; do
        m=${mods[$i]} s=${mods[$i]%.dll}
        key=$(printf '\\??\\d:\\games\\crossfire\\%s.tmp|!\\??\\d:\\games\\crossfire\\%s' "$s" "$m" |
              tr 'A-Z' 'a-z')
        p=0
        if grep -qxF "$key" <<<"$pending"; then p=1 moves=$((moves + 1)); fi
        dll=$(state_of "$G/$m" "$old/$m" "$F/modules/$m")
        bak=$(state_of "$G/$s.morvex" "$old/$m" "$F/modules/$m")
        tmp=$(state_of "$G/$s.tmp" "$old/$m" "$F/modules/$m")
        changed[$i]=0
        if [ "$dll" = clean ] || [ "$p" = 1 ]; then
            changed[$i]=1
            if [ "$bak" != old ]; then echo "  $m replaced without a backup"; nobackup=$((nobackup + 1)); fi
        fi
        case "$dll" in
            old) ;;
            clean) clean=$((clean + 1)) ;;
            absent) if [ "$p" = 0 ] || [ "$tmp" != clean ]; then
                        echo "  $m absent, no boot-time move of a whole .tmp"; bad=$((bad + 1))
                    fi ;;
            *) echo "  $m $dll"; bad=$((bad + 1)) ;;
        esac
        case "$bak" in
            absent) ;;
            old) backups=$((backups + 1)) ;;
            *) echo "  $s.morvex $bak"; bad=$((bad + 1)) ;;
        esac
        case "$tmp" in absent|clean) ;; *) echo "  $s.tmp $tmp (boot-time move: $p)"; bad=$((bad + 1)) ;; esac
    done
    for f in "$G"/*; do
        case "${f##*/}" in
            crossfire.exe|*.dll|*.morvex|*.tmp) ;;
            *.part) work=$((work + 1)) ;;
            *) echo "  unexpected file ${f##*/}"; bad=$((bad + 1)) ;;
        esac
    done
    # The record's state, then one word per module: ok (repaired or
    # scheduled), failed, or none (no line).
    read -r logstate lines < <(python3 - "$log" "$log_before" "${mods[@]}" <<'PY'
import sys
try:
    data = open(sys.argv[1], 'rb').read()
except FileNotFoundError:
    data = b''
before = int(sys.argv[2])
new = data[before:] if len(data) >= before else data
separator = b'\r\n' + b'=' * 69 + b'\r\n\r\n'
if not new:
    state = 'none'
elif new.startswith(b'StartTime:') and new.endswith(separator) and new.count(b'StartTime:') == 1:
    state = 'whole'
else:
    state = 'partial'
label = '修复CrossFile文件'.encode('gbk')
failed = '修复CrossFile文件失败'.encode('gbk')
words = []
for m in sys.argv[3:]:
    path = ('d:\\games\\crossfire\\' + m).encode('gbk') + b'\r\n'
    if failed + b'\t' + path in new:
        words.append('failed')
    elif label + b'\t' + path in new:
        words.append('ok')
    else:
        words.append('none')
print(state, ' '.join(words))
PY
)
    if [ "$logstate" = partial ]; then echo "  Tools.log: a partial record"; bad=$((bad + 1)); fi
    # Every run that was not killed keeps its record, unless the log's own
    # disk has no room for it.
    if [ "$logstate" != whole ] && [ "$last_how" != kill ] && [ "$log_full" = 0 ]; then
        echo "  Tools.log: no whole record of this run"; lost=1
    fi
    if [ "$logstate" = whole ]; then
        i=0
        for line in $lines; do
            if { [ "${changed[$i]}" = 1 ] && [ "$line" != ok ]; } || { [ "${changed[$i]}" = 0 ] && [ "$line" = ok ]; }; then
                echo "  ${mods[$i]}: logged $line, but $([ "${changed[$i]}" = 1 ] && echo replaced || echo not replaced)"
                misreported=$((misreported + 1))
            fi
            i=$((i + 1))
        done
    fi
    # A fault that came after the run's work (faultkit saw its result
    # first, or its record is whole with every module's line) is no fault
    # survived. A stop or key whose result is not a stopped run's must have
    # come then.
    late=0 interrupted=0 unstopped=0 badexit=0
    local worked=0 code want=2
    if [ "$logstate" = whole ] && [[ " $lines " != *" none "* ]]; then worked=1; fi
    if [ "$last_how" != none ] && [ "$driven" = 1 ]; then
        case "$out" in *"finished before the fault"*) worked=1 ;; esac
        if [ "$worked" = 1 ]; then late=1; else interrupted=1; fi
        case "$out" in *"not stopped, result"*|*"finished as the key came"*)
            if [ "$worked" = 0 ]; then echo "  stopped while it worked, yet not reported as a stopped run"; unstopped=1; fi ;;
        esac
    fi
    # Esc, the close box and the end of a stop or a finished run end with 2.
    code=$(sed -n 's/.*\[exit \([0-9]*\)\]$/\1/p' <<<"$out")
    case "$out" in *" ms: terminated"*) want=9 ;; esac
    if [ "$driven" = 1 ] && [ "$code" != "$want" ]; then
        echo "  exit code ${code:-unknown}, not $want"; badexit=1
    fi
    summary="$clean clean, $backups backups, $moves boot-time moves, log record: $logstate"
}

# The next full run after a fault must finish the repair: every module
# clean, every backup the old module, nothing else left.
check_finished() {
    local i m s left
    finished=1
    for i in "${!mods[@]}"; do
        m=${mods[$i]} s=${mods[$i]%.dll}
        if ! cmp -s "$G/$m" "$F/modules/$m"; then
            echo "  after the next run: $m $(state_of "$G/$m" "$F/old/$m" "$F/modules/$m")"; finished=0
        fi
        if ! cmp -s "$G/$s.morvex" "$F/old/$m"; then
            echo "  after the next run: $s.morvex $(state_of "$G/$s.morvex" "$F/old/$m" "$F/modules/$m")"; finished=0
        fi
    done
    left=$(ls "$G" | grep -v -e '\.dll$' -e '\.morvex$' -e '^crossfire.exe$' | tr '\n' ' ' || true)
    if [ -n "$left" ]; then echo "  after the next run: left over: $left"; finished=0; fi
}

declare -A runs partial works nexts logs hung failedruns lostrecords nobackups misreports
declare -A interrupts lates unstops badexits notes
declare -a changed
tally() {  # KEY
    runs[$1]=$(( ${runs[$1]:-0} + 1 ))
    partial[$1]=$(( ${partial[$1]:-0} + bad ))
    works[$1]=$(( ${works[$1]:-0} + work ))
    logs[$1]="${logs[$1]:-} $logstate"
    failedruns[$1]=$(( ${failedruns[$1]:-0} + 1 - driven ))
    lostrecords[$1]=$(( ${lostrecords[$1]:-0} + lost ))
    nobackups[$1]=$(( ${nobackups[$1]:-0} + nobackup ))
    misreports[$1]=$(( ${misreports[$1]:-0} + misreported ))
    interrupts[$1]=$(( ${interrupts[$1]:-0} + interrupted ))
    lates[$1]=$(( ${lates[$1]:-0} + late ))
    unstops[$1]=$(( ${unstops[$1]:-0} + unstopped ))
    badexits[$1]=$(( ${badexits[$1]:-0} + badexit ))
    case "$out" in *hung*|*"did not end"*|*killed*) hung[$1]=$(( ${hung[$1]:-0} + 1 )) ;; esac
}
verdict() {
    local v=""
    [ "$driven" = 1 ] || v="$v DRIVER FAILED"
    [ "$bad" = 0 ] || v="$v $bad PARTIAL"
    [ "$lost" = 0 ] || v="$v RECORD LOST"
    [ "$nobackup" = 0 ] || v="$v $nobackup WITHOUT BACKUP"
    [ "$misreported" = 0 ] || v="$v $misreported MISREPORTED"
    [ "$unstopped" = 0 ] || v="$v NOT REPORTED AS STOPPED"
    [ "$badexit" = 0 ] || v="$v WRONG EXIT CODE"
    case "$out" in *hung*|*"did not end"*|*killed*) v="$v HUNG" ;; esac
    [ "$late" = 0 ] || v="${v:- ok} (after the work)"
    echo "${v:- ok}" | sed 's/^ //'
}

# Whether kind NAME (figure KEY) runs; one that needs mounts of our own and
# cannot have them is a figure of its own, failed unless skipped by name.
kind_runs() {  # NAME KEY
    if [[ "$skips" == *",$1,"* ]]; then notes[$2]="skipped as asked (--skip $1)"; return 1; fi
    if [ "$CF_FAULTS_NS" != yes ]; then notes[$2]="NOT RUN: no mount namespace of our own"; return 1; fi
}
upto() { echo $(( $1 < most ? $1 : most )); }  # N: N, or fewer with --runs

big=$((old_total * 3 + 256))
for e in "${!exes[@]}"; do
    exe=${exes[$e]} label=${labels[$e]}
    echo "== $label: Z:\\${exe//\//\\}"
    mount_drive "$big"

    # The length of an undisturbed run (warm), to spread the points over it:
    # the median of the last five, the runs after each fault included.
    lengths=()
    measure() {
        [[ "${out%% *}" =~ ^[0-9]+$ ]] || { echo "faults.sh: an undisturbed run did not finish: $out" >&2; exit 1; }
        lengths+=("${out%% *}")
        t=$(printf '%s\n' "${lengths[@]}" | tail -n 5 | sort -n |
            awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
    }
    for round in 1 2 3; do
        fresh_game
        run_app "$exe" none 0
        [ "$round" = 1 ] || measure
    done
    echo "   an undisturbed run takes about $t ms from the consent to the result dialog"

    # Stops at random moments of the run (button, Esc, close box in turn),
    # then TerminateProcess at points spread over it.
    RANDOM=18
    plan=()
    for ((k = 0; k < stops; k++)); do
        ways=(stop esc close)
        plan+=("${ways[$((k % 3))]} $((RANDOM * 32768 + RANDOM))")
    done
    for ((k = 1; k <= points; k++)); do plan+=("kill $k"); done
    for step in "${plan[@]}"; do
        read -r how r <<<"$step"
        if [ "$how" = kill ]; then ms=$((r * t / (points + 1))); else ms=$((r % (t + 1))); fi
        fresh_game
        run_app "$exe" "$how" "$ms"
        check_run > "$F/check.txt"
        case "$how" in
            stop) key="$label, stopped by the button" ;;
            kill) key="$label, ended by TerminateProcess" ;;
            *) key="$label, stopped by Esc or the close box" ;;
        esac
        tally "$key"
        printf '   %-5s at %4d ms: %-44s %s; %s\n' "$how" "$ms" "${out#* ms: }" "$summary" "$(verdict)"
        run_app "$exe" none 0
        measure
        check_finished >> "$F/check.txt"
        nexts[$key]=$(( ${nexts[$key]:-0} + finished ))
        sed 's/^/   /' "$F/check.txt"
    done

    # A game drive that fills up at points from the first backup to the
    # last clean copy.
    if kind_runs full-disk "$label, full disk"; then
        for ((k = 0; k < $(upto 8); k++)); do
            free=$((k * (old_total + 160) / 7 + 1))
            mount_drive $((old_total + free))
            fresh_game
            run_app "$exe" none 0
            check_run > "$F/check.txt"
            tally "$label, full disk"
            printf '   full disk, %3d MiB free: %s; %s\n' "$free" "$summary" "$(verdict)"
            sed 's/^/   /' "$F/check.txt"
        done
    fi

    # Room for rs.dll's clean copy but not for the backup of a larger
    # old rs.dll: it must stay, not be replaced without its backup.
    if kind_runs backup-room "$label, full disk with room for the clean copy, not the backup"; then
        old=$F/old-big
        for ((k = 0; k < $(upto 2); k++)); do
            mount_drive $((old_total + 140 + 200))
            fresh_game
            run_app "$exe" none 0
            check_run > "$F/check.txt"
            tally "$label, full disk with room for the clean copy, not the backup"
            printf '   full disk, room for the clean rs.dll, not its backup: %s; %s\n' "$summary" "$(verdict)"
            sed 's/^/   /' "$F/check.txt"
        done
        old=$F/old
    fi

    # A full drive under the scan log: the new record is whole or absent,
    # and whole where it fits. A mount point on the way to the log looks
    # to Wine like a link (the program then rightly writes nothing), so
    # the drive is E: itself, named to the program as the common
    # application-data folder for these runs.
    if kind_runs log-disk "$label, full disk under the scan log"; then
        shell_folders='HKLM\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders'
        mkdir -p "$F/logdisk"
        ln -sfn "$F/logdisk" "$WINEPREFIX/dosdevices/e:"
        cf_wine reg add "$shell_folders" /v 'Common AppData' /t REG_EXPAND_SZ /d 'E:\ProgramData' /f >/dev/null 2>&1
        mount_drive "$big"
        system_log=$log log=$F/logdisk/ProgramData/taveloTools/Tools.log
        for free in $(printf '%s\n' 0 3000 64 256 | head -n "$(upto 4)"); do
            mount -t tmpfs -o size=64k cflog "$F/logdisk"
            mkdir -p "${log%/*}"
            head -c $((65536 - free)) /dev/zero | tr '\0' L > "$log"
            log_full=$((free < 1024))  # a record is about 500 bytes
            fresh_game
            run_app "$exe" none 0
            check_run > "$F/check.txt"
            umount "$F/logdisk"
            tally "$label, full disk under the scan log"
            printf '   full disk under the scan log, %4d bytes free: %s; %s\n' "$free" "$summary" "$(verdict)"
            sed 's/^/   /' "$F/check.txt"
        done
        log=$system_log log_full=0
        cf_wine reg add "$shell_folders" /v 'Common AppData' /t REG_EXPAND_SZ /d '%ProgramData%' /f >/dev/null 2>&1
        shell_folders=""
    fi

    # A read-only game folder: nothing may change.
    if kind_runs read-only "$label, read-only folder"; then
        mount_drive "$big"
        for ((k = 0; k < $(upto 2); k++)); do
            fresh_game
            mount --bind "$G" "$G"
            mount -o remount,bind,ro "$G"
            run_app "$exe" none 0
            check_run > "$F/check.txt"
            umount "$G"
            for m in "${mods[@]}"; do
                cmp -s "$G/$m" "$F/old/$m" || { echo "  $m changed" >> "$F/check.txt"; bad=$((bad + 1)); }
            done
            tally "$label, read-only folder"
            printf '   read-only folder: %s; %s\n' "$summary" "$(verdict)"
            sed 's/^/   /' "$F/check.txt"
        done
    fi

    # The broken store, undisturbed and ended at a few points.
    mount_drive "$big"
    broken=broken-${exe//\//-}
    if [ ! -f "$F/$broken" ] || [ "$F/$broken" -ot "$F/$exe" ]; then
        cp "$F/$exe" "$F/$broken"
        break_store "$F/$broken"
    fi
    k=0
    for how in $(printf '%s\n' none kill stop esc kill | head -n "$(upto 5)"); do
        ms=$((k * t / 5))
        k=$((k + 1))
        fresh_game
        run_app "$broken" "$how" "$ms"
        check_run > "$F/check.txt"
        for m in fmodex.dll cshell.dll; do
            if ! cmp -s "$G/$m" "$F/old/$m"; then
                echo "  $m changed with no clean copy in the store" >> "$F/check.txt"
                bad=$((bad + 1))
            fi
        done
        tally "$label, broken store"
        printf '   broken store, %-5s at %4d ms: %s; %s\n' "$how" "$ms" "$summary" "$(verdict)"
        sed 's/^/   /' "$F/check.txt"
    done
done

echo
echo "== figures (partial: a module, backup, .tmp or scan-log record that is neither absent nor whole,"
echo "   or a module gone without a boot-time move; failed: faultkit could not drive the product, so the"
echo "   run proves nothing; hung: no result dialog, or no end of the program, within 20 s of a stop;"
echo "   lost: a run not killed that left no whole record; misreported: a module line that says"
echo "   repaired for a module not replaced or scheduled, or not for one that was; interrupted: the fault"
echo "   came while the run worked (the others came after its work and are counted apart); not stopped: a"
echo "   stop or key while the run worked whose result was not a stopped run's; exit: an exit code other"
echo "   than 2, or 9 after TerminateProcess)"
status=0
while IFS= read -r key; do
    current=0
    [ "${key%%,*}" != "${labels[0]}" ] || current=1
    if [ -z "${runs[$key]:-}" ]; then
        echo "$key: ${notes[$key]}"
        if [ "$current" = 1 ] && [[ "${notes[$key]}" == NOT* ]]; then status=1; fi
        continue
    fi
    whole=$(tr ' ' '\n' <<<"${logs[$key]}" | grep -c '^whole$' || true)
    none=$(tr ' ' '\n' <<<"${logs[$key]}" | grep -c '^none$' || true)
    line="$key: ${runs[$key]} runs (${interrupts[$key]} interrupted, ${lates[$key]} after the work),"
    line="$line ${failedruns[$key]} failed, ${hung[$key]:-0} hung, ${partial[$key]} partial files,"
    line="$line ${nobackups[$key]} modules without a backup, ${lostrecords[$key]} lost records,"
    line="$line ${misreports[$key]} misreported lines, ${unstops[$key]} not stopped, ${badexits[$key]} exit;"
    line="$line Tools.log: $whole whole records, $none none"
    [ -n "${nexts[$key]:-}" ] && line="$line; the next run finished the repair ${nexts[$key]}/${runs[$key]}"
    [ "${works[$key]:-0}" != 0 ] && line="$line; ${works[$key]} work files (*.part) left for the next run"
    # A kind of interruption none of whose faults came while the run worked
    # has shown nothing.
    case "$key" in
        *", stopped by"*|*"TerminateProcess") [ "${interrupts[$key]}" != 0 ] || line="$line; NONE INTERRUPTED" ;;
    esac
    echo "$line"
    if [ "$current" = 1 ] &&
        { [ $(( ${failedruns[$key]} + ${hung[$key]:-0} + ${partial[$key]} + ${nobackups[$key]} +
                ${lostrecords[$key]} + ${misreports[$key]} + ${unstops[$key]} + ${badexits[$key]} )) != 0 ] ||
          { [ -n "${nexts[$key]:-}" ] && [ "${nexts[$key]}" != "${runs[$key]}" ]; } ||
          [[ "$line" == *"NONE INTERRUPTED" ]]; }; then
        status=1
    fi
done < <(printf '%s\n' "${!runs[@]}" "${!notes[@]}" | sort -u)
exit $status
