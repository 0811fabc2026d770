#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian machine.
# Safe to run again: it installs only what is missing.
set -euo pipefail

need_root() {
    if [ "$(id -u)" -ne 0 ]; then
        if command -v sudo >/dev/null 2>&1; then sudo "$@"; else
            echo "install-deps: need root to run: $*" >&2; return 1; fi
    else "$@"; fi
}

pkgs=(cmake make g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools
      wine wine64 xvfb xdotool imagemagick fonts-wqy-microhei googletest
      python3 attr faketime openssl x11-utils binutils)
pkgs32=(wine32:i386)

missing=()
for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    need_root dpkg --add-architecture i386
fi
for p in "${pkgs32[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "install-deps: installing ${missing[*]}"
    need_root apt-get update -qq
    DEBIAN_FRONTEND=noninteractive need_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Where the kernel refuses 32-bit programs, 32-bit Wine runs under
# qemu-i386. Before 8.0 qemu tracked the guest's pages one by one, and a
# Wine process, which reserves most of the address space, took minutes to
# start (3 s with 10.0): Debian 12 has 7.2, its backports 10.0.
qemu_version=$(dpkg-query -W -f='${Version}' qemu-user-static 2>/dev/null || true)
if [ -z "$qemu_version" ] || dpkg --compare-versions "$qemu_version" lt 1:8; then
    qemu_suite=""
    if dpkg --compare-versions "$(apt-cache policy qemu-user-static | sed -n 's/ *Candidate: //p')" lt 1:8; then
        . /etc/os-release
        qemu_suite=${VERSION_CODENAME}-backports
        list=/etc/apt/sources.list.d/${qemu_suite}.list
        if ! grep -rqs "$qemu_suite" /etc/apt/sources.list /etc/apt/sources.list.d/; then
            echo "deb http://deb.debian.org/debian $qemu_suite main" | need_root tee "$list" >/dev/null
        fi
        need_root apt-get update -qq
    fi
    echo "install-deps: installing qemu-user-static${qemu_suite:+ from $qemu_suite}"
    DEBIAN_FRONTEND=noninteractive need_root apt-get install -y -qq --no-install-recommends \
        ${qemu_suite:+-t "$qemu_suite"} qemu-user-static >/dev/null
fi
