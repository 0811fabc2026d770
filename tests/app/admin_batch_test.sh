#!/usr/bin/env bash
# The README's batch file run by Wine's cmd in two prefixes standing for two
# machines, each under a host name of its own: one repairs its game (0), the
# other finds none (2), and both leave their line in the one shared folder.
set -euo pipefail
build=$(cd "$1" && pwd) src=$3
. "$src/cmake/wine-env.sh"
cf_wine_env "$build" "$2"
batch=$src/scripts/admin/cfrepair-quiet.cmd
python3 -c 'import sys; r = open(sys.argv[1], encoding="utf-8").read(); b = open(sys.argv[2]).read()
sys.exit(0 if "```bat\n" + b + "```" in r else "README does not carry " + sys.argv[2])' "$src/README.md" "$batch"
work=$build/admin-batch
rm -rf "$work" && mkdir -p "$work/push" "$work/share/log" && cp "$batch" "$build/bin/CFRepair.exe" "$work/push/"
for pc in PC-01 PC-02; do
    export WINEPREFIX=$build/wineprefix-$pc
    cf_prefix_ready
    ln -sfn "$work/share" "$WINEPREFIX/dosdevices/s:"
    game=$WINEPREFIX/drive_c/Games/CF && rm -rf "$game" && mkdir -p "$game"
    [ $pc = PC-02 ] || for f in crossfire.exe rs.dll cshell.dll; do echo damaged > "$game/$f"; done
    unshare -u sh -c 'hostname "$0" && export LC_ALL=zh_CN.UTF-8 && "$CF_WINE" reg add "HKCR\Local Settings\Software\Microsoft\Windows\Shell\MuiCache" /v "C:\Games\CF\crossfire.exe" /d CrossFire /f && "$CF_WINE" cmd /c "Z:\admin-batch\push\cfrepair-quiet.cmd" "S:\log"; echo "$0 exit $?" >> "$1/exits"; "$CF_WINESERVER" -k' $pc "$work" >/dev/null 2>&1 || true
done
cat "$work/exits" "$work"/share/log/*.txt
grep -qx 'PC-01 exit 0' "$work/exits" && grep -qx 'PC-02 exit 2' "$work/exits"
grep -qE '^PC-01 .+ 0.?$' "$work/share/log/PC-01.txt" && grep -qE '^PC-02 .+ 2.?$' "$work/share/log/PC-02.txt"
[ "$(cat "$work"/share/log/* | wc -l)" = 2 ] && [ "$(head -c 7 "$build/wineprefix-PC-01/drive_c/Games/CF/rs.dll" | tr -d '\0')" != damaged ]
