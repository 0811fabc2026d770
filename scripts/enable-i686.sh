#!/usr/bin/env bash
# Tells how this machine can run 32-bit Wine natively. Registers nothing.
# Prints one word and exits 0:
#   native     32-bit programs run natively here
#   namespace  a qemu-i386 binfmt_misc entry (left by older versions of these
#              scripts) would send them through emulation; they run natively
#              inside a user+mount namespace with an empty binfmt_misc
#              instance (cmake/wine-env.sh: cf_native_i386)
# Otherwise prints the reason why 32-bit programs cannot run natively and
# exits 1.
set -u
[ -x /usr/lib/wine/wine ] || { echo "wine32 is not installed"; exit 1; }
command -v as >/dev/null && command -v ld >/dev/null || { echo "binutils is not installed"; exit 1; }

# A static i386 program that prints uname's machine: "x86_64" when the
# kernel runs it natively, "i686" under qemu-i386.
probe_dir=$(mktemp -d)
trap 'rm -rf "$probe_dir"' EXIT
cat > "$probe_dir/probe.s" <<'ASM'
    .globl _start
    .text
_start:
    movl $122, %eax             # newuname(&uts)
    movl $uts, %ebx
    int $0x80
    movl $4, %eax               # write(1, uts.machine, 65)
    movl $1, %ebx
    movl $uts+260, %ecx
    movl $65, %edx
    int $0x80
    movl $1, %eax               # exit(0)
    xorl %ebx, %ebx
    int $0x80
    .bss
uts:
    .space 390
ASM
as --32 -o "$probe_dir/probe.o" "$probe_dir/probe.s" &&
    ld -m elf_i386 -static -o "$probe_dir/probe" "$probe_dir/probe.o" ||
    { echo "could not build the i386 probe"; exit 1; }

. "$(dirname "$0")/../cmake/wine-env.sh"
machine=$("$probe_dir/probe" 2>/dev/null | tr -d '\0')
case "$machine" in
    x86_64) echo native; exit 0 ;;
    "") echo "this kernel cannot run 32-bit programs (no IA32 emulation)"; exit 1 ;;
esac
machine=$(CF_I386_MODE=namespace cf_native_i386 "$probe_dir/probe" 2>/dev/null | tr -d '\0')
if [ "$machine" = x86_64 ]; then
    echo namespace
    exit 0
fi
echo "32-bit programs run only under qemu-i386 emulation here, and a namespace with an" \
     "empty binfmt_misc instance could not be made (Linux 6.7 or later with user namespaces needed)"
exit 1
