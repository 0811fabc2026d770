#!/usr/bin/env bash
# Drive tests' set-up and clean-up in the build tree's Wine prefix.
#   drives_fixture.sh setup|cleanup BUILD_DIR ARCH
# The routines under test walk every drive root, so the prefix must have
# no drive besides C:, Z: (the build tree) and the two scratch drives M:
# and N:, which this script maps to folders of the build tree. Folders
# with the hidden and system attributes can only be made from this side
# (Wine keeps them in an extended attribute), so a stash of them is made
# here for the tests to move into the scratch drives.
set -euo pipefail
action=$1
here=$(dirname "$(readlink -f "$0")")
. "$here/../../cmake/wine-env.sh"
cf_wine_env "$2" "$3"
drives="$CF_BUILD/cf-drives"
dosdevices="$WINEPREFIX/dosdevices"

# The prefix maps M: and N: from its creation on (cmake/wine-env.sh); a
# running Wine session would not see mappings added here.
if [ "$action" = cleanup ]; then
    find "$drives" -mindepth 1 -delete 2>/dev/null || true
    mkdir -p "$drives/m" "$drives/n"
    exit 0
fi

cf_prefix_ready
for link in "$dosdevices"/?:; do
    [ -e "$link" ] || [ -L "$link" ] || continue
    case "${link##*/}" in
        c: | z: | m: | n:) ;;
        *) echo "drives_fixture: unexpected drive ${link##*/} in $dosdevices; refusing to set up" >&2; exit 1 ;;
    esac
done
[ "$(readlink -f "$dosdevices/z:")" = "$CF_BUILD" ] || { echo "drives_fixture: Z: is not the build tree" >&2; exit 1; }

rm -rf "$drives"
mkdir -p "$drives/m" "$drives/n" "$drives/stash"
for i in $(seq 1 24); do
    mkdir "$drives/stash/hs$i"
    setfattr -n user.DOSATTRIB -v '"0x16"' "$drives/stash/hs$i"
done
for i in $(seq 1 8); do
    mkdir "$drives/stash/h$i"
    setfattr -n user.DOSATTRIB -v '"0x12"' "$drives/stash/h$i"
done
ln -sfn "$drives/m" "$dosdevices/m:"
ln -sfn "$drives/n" "$dosdevices/n:"
