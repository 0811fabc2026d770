# Sourced by the Wine wrappers and the scripts: one private Wine prefix per
# build tree, with no drive that reaches outside the project's own folders.
#   cf_wine_env BUILD_DIR ARCH   (ARCH: x86_64 or i686; with CF_WINE_PREFIX
#                                =win64 an i686 build's 64-bit prefix, where
#                                its programs run as on 64-bit Windows; Wine's
#                                traces stay off unless CF_WINEDEBUG names some)
#   cf_prefix_ready              creates and configures the prefix once
#   cf_create_prefix             makes a new prefix at $WINEPREFIX
#   cf_display                   an Xvfb display of this build tree
#   cf_session                   one Wine session for the prefix
#   cf_wine PROGRAM ARGS...      runs a program in the prefix
#   cf_i386 CMD ARGS...          runs a command where 32-bit programs run
#                                (CF_I386_MODE, scripts/i386-mode.sh)

cf_wine_env() {
    CF_BUILD=$(cd "$1" && pwd)
    CF_ARCH=$2
    export WINEPREFIX="$CF_BUILD/wineprefix"
    export WINEDEBUG=${CF_WINEDEBUG:--all}
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
    # The 64-bit server serves 32-bit clients too, and runs natively.
    CF_WINESERVER=/usr/lib/wine/wineserver64
    if [ "$CF_ARCH" = i686 ] && [ "${CF_WINE_PREFIX:-}" = win64 ]; then
        # Needs the 32-bit half, which only a boot that can start 32-bit
        # programs installs: a template of its own, booted through cf_i386.
        export WINEPREFIX="$CF_BUILD/wineprefix-win64"
        export WINEARCH=win64
        CF_WINE=/usr/lib/wine/wine64
        CF_PREFIX_KIND=win64-wow64
    elif [ "$CF_ARCH" = i686 ]; then
        export WINEARCH=win32
        CF_WINE=/usr/lib/wine/wine
        CF_PREFIX_KIND=win32
    else
        export WINEARCH=win64
        CF_WINE=/usr/lib/wine/wine64
        CF_PREFIX_KIND=win64
    fi
    export CF_BUILD CF_ARCH CF_WINE CF_WINESERVER CF_PREFIX_KIND
}

# Runs a command where 32-bit programs run, as CF_I386_MODE says
# (scripts/i386-mode.sh): "native" runs it as it is; "namespace" inside a
# new user+mount namespace with an empty binfmt_misc instance, so that a
# qemu-i386 entry of the host does not apply (Linux 6.7 and later);
# "emulated" inside one whose own binfmt_misc instance sends i386 programs
# to qemu-i386 (the entry lives as long as the namespace; the host is never
# touched). A prefix's wineserver and all its programs must share one
# namespace, so a whole stage runs through this, never a single program.
CF_QEMU_I386=/usr/bin/qemu-i386-static
cf_i386() {
    case "${CF_I386_MODE:-native}" in
        namespace)
            unshare -U -m -r --propagation private sh -c \
                'd=$(mktemp -d) && mount -t binfmt_misc none "$d" && umount -l "$d" && rmdir "$d" && exec "$@"' \
                x "$@" ;;
        emulated)
            unshare -U -m -r --propagation private sh -c \
                'd=$(mktemp -d) && mount -t binfmt_misc none "$d" && printf "%s" "$0" > "$d/register" && exec "$@"' \
                ":qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:$CF_QEMU_I386:F" \
                "$@" ;;
        *) "$@" ;;
    esac
}

# One Wine session for the prefix until `wineserver -k`. A server left by a
# run in another namespace is stopped first: the folders it hands out are
# unreachable here, and every folder read would crawl.
cf_session() {
    "$CF_WINESERVER" -k >/dev/null 2>&1 || true
    setsid "$CF_WINESERVER" -p </dev/null >/dev/null 2>&1 &
}

# GetACP() is 936 only when Wine sees a Chinese locale; set it for Wine
# alone (bash would warn about a locale that glibc does not have).
cf_wine() {
    env LC_ALL=zh_CN.UTF-8 "$CF_WINE" "$@"
}

# Settings of the test prefix, added to its user.reg while no server runs
# (a regedit run would start a whole new Wine session, minutes under the
# 32-bit emulation). Non-ASCII names are written as Wine's \x escapes:
# 宋体 = \x5b8b\x4f53, 新宋体 = \x65b0\x5b8b\x4f53.
cf__add_user_settings() {
    cat >> "$WINEPREFIX/user.reg" <<'REG'

[Software\\Wine\\Fonts\\Replacements] 1796702338
"NSimSun"="WenQuanYi Micro Hei"
"SimSun"="WenQuanYi Micro Hei"
"Tahoma"="WenQuanYi Micro Hei"
"\x5b8b\x4f53"="WenQuanYi Micro Hei"
"\x65b0\x5b8b\x4f53"="WenQuanYi Micro Hei"

[Software\\Wine\\WineDbg] 1796702338
"ShowCrashDialog"=dword:00000000

[Software\\Wine\\X11 Driver] 1796702338
"Managed"="N"
REG
}

# Makes a new prefix at $WINEPREFIX: a copy of a prefix booted once per
# machine, architecture and Wine version and kept outside every build tree
# (CF_PREFIX_CACHE, default ~/.cache/cfrepair). Booting one takes seconds
# natively but over ten minutes under the 32-bit emulation.
cf_create_prefix() {
    local cache version template
    cache=${CF_PREFIX_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/cfrepair}
    version=$(/usr/lib/wine/wine64 --version 2>/dev/null | sed -E 's/[^A-Za-z0-9.~+-]+/_/g; s/_$//')
    template="$cache/prefix-${CF_PREFIX_KIND:-${WINEARCH:-win64}}-${version:-unknown}"
    mkdir -p "$cache" || return 1
    (
        flock 9
        [ -f "$template/.cf-template" ] && exit 0
        echo "wine: booting a ${WINEARCH:-win64} prefix for $cache (once per machine and Wine version)" >&2
        rm -rf "$template" "$template.new"
        WINEPREFIX="$template.new" cf__boot_prefix || exit 1
        touch "$template.new/.cf-template"
        mv "$template.new" "$template"
    ) 9>"$template.lock" || return 1
    rm -rf "$WINEPREFIX"
    cp -a "$template" "$WINEPREFIX" && rm -f "$WINEPREFIX/.cf-template"
}

# Boots a new prefix at $WINEPREFIX with $CF_WINE and $CF_WINESERVER.
# Under the 32-bit emulation the first program gives up waiting for the
# boot ("could not load kernel32.dll") while wineboot, its services and the
# setup go on for many more minutes, so the whole session is waited for,
# and now and then wineboot hangs for good (seen in wine.inf's
# DefaultInstall: no CPU used and no file of the prefix written for many
# minutes, while a healthy boot keeps writing). A session that writes
# nothing for 5 minutes is stopped and the prefix made once more.
cf__boot_prefix() {
    local attempt session
    for attempt in 1 2 3; do
        rm -rf "$WINEPREFIX"
        # No display while the prefix is made: the session then ends by itself.
        env -u DISPLAY LC_ALL=zh_CN.UTF-8 "$CF_WINE" wineboot -i >/dev/null 2>&1
        "$CF_WINESERVER" -w &
        session=$!
        while kill -0 "$session" 2>/dev/null; do
            sleep 15
            [ -n "$(find "$WINEPREFIX" -newermt '-300 seconds' -print -quit 2>/dev/null)" ] || break
        done
        if kill -0 "$session" 2>/dev/null; then
            echo "wine: the new prefix's session wrote nothing for 5 minutes (attempt $attempt); stopping it" >&2
            "$CF_WINESERVER" -k 2>/dev/null || true
            wait "$session" 2>/dev/null || true
            sleep 2
            continue
        fi
        wait "$session" 2>/dev/null || true
        [ -f "$WINEPREFIX/user.reg" ] && [ -f "$WINEPREFIX/drive_c/windows/system32/kernel32.dll" ] &&
            { [ "${CF_PREFIX_KIND:-}" != win64-wow64 ] ||
                [ -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; } && return 0
        echo "wine: the new prefix is incomplete (attempt $attempt)" >&2
    done
    echo "wine: prefix creation failed" >&2
    return 1
}

cf_prefix_ready() {
    local lock="$WINEPREFIX.lock"
    (
        flock 9
        if [ ! -f "$WINEPREFIX/.cf-ready" ]; then
            echo "wine: making the test prefix $WINEPREFIX (once per build tree)" >&2
            cf_create_prefix || exit 1
            # Z: points at / by default; the product deletes and rewrites
            # files, so the only drive outside C: is the build tree itself.
            ln -sfn "$CF_BUILD" "$WINEPREFIX/dosdevices/z:"
            # Two scratch drives for the drive-repair tests, mapped now: a
            # running session does not notice drives added later.
            mkdir -p "$CF_BUILD/cf-drives/m" "$CF_BUILD/cf-drives/n"
            ln -sfn "$CF_BUILD/cf-drives/m" "$WINEPREFIX/dosdevices/m:"
            ln -sfn "$CF_BUILD/cf-drives/n" "$WINEPREFIX/dosdevices/n:"
            cf__add_user_settings
            touch "$WINEPREFIX/.cf-ready"
        fi
    ) 9>"$lock"
}

# The DOS name of a path inside the build tree (reached through Z:).
cf_dos_path() {
    local abs
    abs=$(readlink -f "$1")
    case "$abs" in
        "$CF_BUILD"/*) ;;
        "$CF_BUILD") ;;
        *) echo "cf_dos_path: $abs is outside the build tree" >&2; return 1 ;;
    esac
    local rel=${abs#"$CF_BUILD"}
    printf 'Z:%s\n' "${rel//\//\\}"
}

cf_display() {
    if [ -n "${CF_KEEP_DISPLAY:-}" ] && [ -n "${DISPLAY:-}" ]; then return 0; fi
    local state="$CF_BUILD/xvfb.state"
    local pid disp
    exec 8>"$CF_BUILD/xvfb.lock"
    flock 8
    if [ -f "$state" ]; then
        read -r pid disp < "$state"
        if kill -0 "$pid" 2>/dev/null; then
            export DISPLAY=$disp; flock -u 8; return 0
        fi
    fi
    local n=90
    while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    pid=$!
    for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
    echo "$pid :$n" > "$state"
    export DISPLAY=":$n"
    flock -u 8
}
