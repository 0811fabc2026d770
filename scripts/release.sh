#!/usr/bin/env bash
# The release command: builds the shipped i686 exe twice from scratch, in two
# new folders, the second with the clock a day ahead, and compares the two
# byte for byte. When they agree it writes dist/i686/CFRepair.exe and
# dist/i686/CFRepair.exe.sha256; when they differ it names the first
# differing offset and the part of the image that holds it, and exits 1.
# Extra arguments go to CMake (for example -DGAME_MODULES_DIR=<folder>).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/install-deps.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/cfrelease.XXXXXX")
trap 'rm -rf "$work"' EXIT
build_once() {  # FOLDER [clock command...]: configures and builds CFRepair there
    local dir=$1
    shift
    "$@" cmake -S "$top" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-i686.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DCF_DIST_DIR="$dir/dist" "${cmake_args[@]}" >/dev/null
    "$@" cmake --build "$dir" --target CFRepair -j "$(nproc)" >/dev/null
}
cmake_args=("$@")
echo "release: first build in $work/one"
build_once "$work/one"
echo "release: second build in $work/second-build, clock a day ahead"
build_once "$work/second-build" env NO_FAKE_STAT=1 faketime -f +1d

a=$work/one/dist/CFRepair.exe
b=$work/second-build/dist/CFRepair.exe
if ! cmp -s "$a" "$b"; then
    python3 - "$top/tools/execheck" "$a" "$b" <<'PY'
import struct, sys
sys.path.insert(0, sys.argv[1])
from exe_check import Image
one, two = (open(p, "rb").read() for p in sys.argv[2:4])
image = Image(one)
checksum = struct.unpack_from("<I", one, 0x3C)[0] + 24 + 64

def where(offset):
    if checksum <= offset < checksum + 4:
        return "the headers (the image checksum, which follows any other difference)"
    for name, va, size, raw, rsize in image.sections:
        if raw <= offset < raw + rsize:
            return "section %s (RVA 0x%x)" % (name, va + offset - raw)
    return "the headers" if offset < min(s[3] for s in image.sections if s[4]) else "no section"

diffs = [i for i in range(min(len(one), len(two))) if one[i] != two[i]]
if len(one) != len(two):
    print("release: the two builds differ in size: %d and %d bytes" % (len(one), len(two)))
shown = diffs[:1] + [i for i in diffs if not checksum <= i < checksum + 4][:1]
for offset in sorted(set(shown)):
    print("release: FAILED: the two builds differ at offset %d (0x%x), in %s" % (offset, offset, where(offset)))
PY
    exit 1
fi
mkdir -p "$top/dist/i686"
cp "$a" "$top/dist/i686/CFRepair.exe"
(cd "$top/dist/i686" && sha256sum CFRepair.exe > CFRepair.exe.sha256)
echo "release: the two builds are identical ($(stat -c %s "$a") bytes)"
cat "$top/dist/i686/CFRepair.exe.sha256"
