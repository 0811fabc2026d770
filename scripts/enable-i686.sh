#!/usr/bin/env bash
# Lets this machine run 32-bit Wine through qemu user-mode emulation (the
# kernel here cannot run 32-bit Linux programs). Exit 0 when usable; else
# prints the reason and exits 1.
set -u
if [ ! -x /usr/lib/wine/wine ] || [ ! -x /usr/bin/qemu-i386-static ]; then
    echo "wine32 or qemu-user-static is not installed"; exit 1
fi
if ! mountpoint -q /proc/sys/fs/binfmt_misc; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null ||
        { echo "cannot mount binfmt_misc"; exit 1; }
fi
if [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
    echo ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
        > /proc/sys/fs/binfmt_misc/register 2>/dev/null ||
        { echo "binfmt_misc refused the qemu-i386 registration"; exit 1; }
fi
grep -q enabled /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null || { echo "qemu-i386 emulation is disabled"; exit 1; }
exit 0
