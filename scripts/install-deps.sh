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
# 32-bit Wine runs under this where the kernel refuses 32-bit programs.
pkgs+=(qemu-user-static)

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
