#!/usr/bin/env bash
# Tells how 32-bit Wine can run on this machine. Registers nothing on the
# host. Prints one line, a word and the reason, and exits 0:
#   native      the kernel runs 32-bit programs
#   namespace   it does, but a qemu-i386 binfmt_misc entry on the host (left
#               by older versions of these scripts) would send them through
#               emulation; a user+mount namespace with an empty binfmt_misc
#               instance runs them natively
#   emulated    the kernel refuses 32-bit programs (or CF_I386_EMULATE=1
#               asks for this way): they run under qemu-i386, registered
#               in a binfmt_misc instance of a private namespace only
# Exits 1 with the reason when 32-bit programs cannot run here at all.
# cmake/wine-env.sh (cf_i386) runs a command the way printed here.
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
probe() { CF_I386_MODE=$1 cf_i386 "$probe_dir/probe" 2>/dev/null | tr '\0' '\n' | head -n 1; }

why=""
if [ "${CF_I386_EMULATE:-0}" = 1 ]; then
    why="CF_I386_EMULATE=1 asks for it"
else
    case "$(probe native)" in
        x86_64) echo "native the kernel runs 32-bit programs"; exit 0 ;;
        "") why="this kernel refuses 32-bit programs (IA32 emulation is off or missing)" ;;
        *)
            if [ "$(probe namespace)" = x86_64 ]; then
                echo "namespace a qemu-i386 binfmt_misc entry is registered on the host; 32-bit Wine runs natively in a namespace of its own"
                exit 0
            fi
            why="a qemu-i386 binfmt_misc entry sends 32-bit programs through emulation, and no namespace with an empty binfmt_misc instance could be made (Linux 6.7 or later with user namespaces needed)"
            ;;
    esac
fi
[ -x "$CF_QEMU_I386" ] || { echo "$why, and qemu-user-static is not installed"; exit 1; }
if [ "$(probe emulated)" != i686 ]; then
    echo "$why, and qemu-i386 could not be registered in a namespace of its own (user namespaces and binfmt_misc instances needed, Linux 6.7 or later)"
    exit 1
fi
echo "emulated $why"
