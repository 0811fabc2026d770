#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian machine.
# Safe to run again: it installs only what is missing.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

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

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# Options for apt-get install; a suite whose index could not be had is
# pinned below the others, see update_indexes.
apt_opts=()
pin_file=""
trap '[ -z "$pin_file" ] || rm -f "$pin_file"' EXIT

# A mirror caught mid-sync serves an index that does not match its Release
# file ("File has unexpected size ... Mirror sync in progress?"); apt then
# drops that index and carries on. Missing the security archive's i386
# index makes every Multi-Arch pair unsolvable (the amd64 half's candidate
# comes from there, its i386 twin cannot), so wine32 would not install.
update_indexes() {
    local try out failed=""
    for try in 1 2 3 4; do
        out=$(need_root apt-get update -qq 2>&1) && ! grep -q '^E: Failed to fetch' <<<"$out" && return 0
        failed=$(sed -n 's/^E: Failed to fetch \([^ ]*\) .*/\1/p' <<<"$out")
        [ -n "$failed" ] || { echo "$out" >&2; echo "install-deps: apt-get update failed" >&2; return 1; }
        [ "$try" = 4 ] || { echo "install-deps: apt-get update: an index failed, trying again in 20 s"; sleep 20; }
    done
    echo "install-deps: these indexes could not be read after 4 tries (a mirror being synced, usually):" >&2
    echo "$failed" | sed 's/^/    /' >&2
    local suites
    suites=$(sed -n 's,.*/dists/\([^/]*\)/.*,\1,p' <<<"$failed" | sort -u)
    pin_file=$(mktemp)
    local s
    for s in $suites; do
        # The folder under dists/ is the suite's codename or its name.
        printf 'Package: *\nPin: release %s=%s\nPin-Priority: 100\n\n' a "$s" n "$s" >>"$pin_file"
    done
    apt_opts=(-o "Dir::Etc::Preferences=$pin_file")
    echo "install-deps: installing from the other suites, with $(echo $suites) held back for this install." >&2
    echo "install-deps: if that fails, run the command again later, or point /etc/apt at another mirror." >&2
}

missing=()
for p in "${pkgs[@]}"; do installed "$p" || missing+=("$p"); done
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    need_root dpkg --add-architecture i386
fi
for p in "${pkgs32[@]}"; do installed "$p" || missing+=("$p"); done

updated=0
if [ ${#missing[@]} -gt 0 ]; then
    echo "install-deps: installing ${missing[*]}"
    update_indexes
    updated=1
    DEBIAN_FRONTEND=noninteractive need_root apt-get install -y -qq --no-install-recommends \
        "${apt_opts[@]}" "${missing[@]}" >/dev/null
fi

# qemu-i386 is needed only where the kernel refuses 32-bit programs; where
# it runs them already, an old one is still replaced below.
way=$(bash "$top/scripts/i386-mode.sh" 2>/dev/null) || true
case "$way" in native*|namespace*) exit 0 ;; esac

# Before 8.0 qemu tracked the guest's pages one by one, and a Wine process,
# which reserves most of the address space, took minutes to start (3 s with
# 10.0): Debian 12 has 7.2, its backports 10.0.
qemu_version=$(dpkg-query -W -f='${Version}' qemu-user-static 2>/dev/null || true)
if [ -z "$qemu_version" ] || dpkg --compare-versions "$qemu_version" lt 1:8; then
    [ "$updated" = 1 ] || { update_indexes; updated=1; }
    qemu_suite=""
    if dpkg --compare-versions "$(apt-cache policy qemu-user-static | sed -n 's/ *Candidate: //p')" lt 1:8; then
        . /etc/os-release
        qemu_suite=${VERSION_CODENAME}-backports
        if ! grep -rqs "$qemu_suite" /etc/apt/sources.list /etc/apt/sources.list.d/; then
            # The backports suite lives in the same archive as the
            # machine's own main suite: take its address from there.
            mirror=$(apt-get indextargets --format '$(SITE) $(RELEASE)' 2>/dev/null |
                     awk -v s="$VERSION_CODENAME" '$2 == s { print $1; exit }')
            [ -n "$mirror" ] || { echo "install-deps: no configured source for $VERSION_CODENAME, so none for $qemu_suite" >&2; exit 1; }
            echo "deb $mirror $qemu_suite main" |
                need_root tee "/etc/apt/sources.list.d/${qemu_suite}.list" >/dev/null
        fi
        update_indexes
    fi
    echo "install-deps: installing qemu-user-static${qemu_suite:+ from $qemu_suite} ($way)"
    DEBIAN_FRONTEND=noninteractive need_root apt-get install -y -qq --no-install-recommends \
        "${apt_opts[@]}" ${qemu_suite:+-t "$qemu_suite"} qemu-user-static >/dev/null
fi
