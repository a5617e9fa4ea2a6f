#!/usr/bin/env bash
# Prepares a Debian 12 machine for building and testing: cross compilers, Wine, zlib, GoogleTest,
# a JDK, the signing tools (osslsigncode, openssl, and SoftHSM with OpenSSL's PKCS#11 engine for
# signing through a token), the minizip sources from Debian's own zlib source package and libdeflate's sources from
# its own. Idempotent and quiet: a second run only checks and returns.
# Usage: setup.sh [--test]
#   --test (make test): also starts the guest image build in the background where the x86 lane
#   will run in the guest, as soon as its tools are installed (scripts/guest-image-early.sh).
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
deps="$top/build/deps"
packages=(wine wine32:i386 wine64 g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix
          g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix libz-mingw-w64-dev
          googletest cmake ninja-build make openjdk-17-jdk-headless zip unzip python3 dpkg-dev
          xvfb xauth qemu-system-x86 qemu-utils mmdebstrap
          osslsigncode openssl softhsm2 libengine-pkcs11-openssl)
# What the guest image build needs; make test installs these first.
guest_tools=(qemu-system-x86 qemu-utils mmdebstrap)
for_tests=0
[ "${1:-}" = --test ] && for_tests=1
src_list=/etc/apt/sources.list.d/installer-deb-src.sources

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
. "$top/scripts/setup-apt.sh"

# For make test: starts the guest image build in the background (once; a second call returns),
# saying why the x86 lane needs the guest.
start_guest_image() {
    [ "$for_tests" = 1 ] || return 0
    "$top/scripts/guest-image-early.sh" "$1"
}
before_install_without_i386() { start_guest_image "wine32:i386 cannot be installed"; }

# Whether the kernel refuses 32-bit programs, asked before Wine is installed: a 93-byte i386
# program (one loadable segment holding mov $1,%eax; xor %ebx,%ebx; int $0x80, that is exit(0)).
kernel_refuses_32bit() {
    local probe
    probe=$(mktemp "$top/build/i386-probe.XXXXXX")
    printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08'\
'\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00'\
'\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00'\
'\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' >"$probe"
    chmod +x "$probe"
    local status=0
    "$probe" 2>/dev/null || status=$?
    rm -f "$probe"
    [ "$status" -ne 0 ]
}

missing_packages() {
    local p
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
    done
}

# A deb-src stanza for every deb stanza the machine already has, so that no host name is ours.
add_source_stanzas() {
    local out
    out=$(mktemp)
    if ls /etc/apt/sources.list.d/*.sources >/dev/null 2>&1; then
        for f in /etc/apt/sources.list.d/*.sources; do
            [ "$f" = "$src_list" ] && continue
            awk 'BEGIN { RS=""; ORS="\n\n" }
                 /(^|\n)Types:[^\n]*deb([ \t]|\n|$)/ && !/deb-src/ {
                     sub(/Types:[^\n]*/, "Types: deb-src"); print }' "$f" >>"$out"
        done
    fi
    if [ -f /etc/apt/sources.list ]; then
        sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' /etc/apt/sources.list >"$out.list"
        [ -s "$out.list" ] && as_root cp "$out.list" "${src_list%.sources}.list"
        rm -f "$out.list"
    fi
    [ -s "$out" ] && as_root cp "$out" "$src_list"
    rm -f "$out"
}

need_update=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root dpkg --add-architecture i386
    need_update=1
fi
if [ ! -e "$src_list" ] && [ ! -e "${src_list%.sources}.list" ]; then
    add_source_stanzas
    need_update=1
fi
# When only the 32-bit Wine packages could not be installed, the next hour's runs do not ask apt
# again: make test runs set-up twice, and each ask costs the index retries.
without_i386_stamp=/var/cache/bravik-installer/apt-without-i386
mapfile -t missing < <(missing_packages)
if [ ${#missing[@]} -gt 0 ] && [ "$need_update" = 0 ] && [ -z "$(printf '%s\n' "${missing[@]}" | grep -v ':i386$')" ] &&
   [ -n "$(find "$without_i386_stamp" -mmin -60 2>/dev/null)" ]; then
    cat "$without_i386_stamp"
elif [ ${#missing[@]} -gt 0 ] || [ "$need_update" = 1 ]; then
    echo "setup: installing packages (a few minutes the first time)"
    update_indexes
    mapfile -t missing < <(missing_packages)
    # make test: the guest's tools first, so that its image build can start beside the rest.
    if [ "$for_tests" = 1 ] && [ ${#missing[@]} -gt 0 ]; then
        mapfile -t first < <(printf '%s\n' "${missing[@]}" | grep -Fx -f <(printf '%s\n' "${guest_tools[@]}") || true)
        [ ${#first[@]} -eq 0 ] || install_packages "${first[@]}" || exit 1
        mkdir -p "$top/build"
        if kernel_refuses_32bit; then start_guest_image "this kernel refuses 32-bit programs"; fi
        mapfile -t missing < <(missing_packages)
    fi
    if [ ${#missing[@]} -gt 0 ]; then
        install_packages "${missing[@]}" || exit 1
        if [ -n "$apt_note" ]; then
            as_root mkdir -p "$(dirname "$without_i386_stamp")"
            echo "$apt_note" | as_root tee "$without_i386_stamp" >/dev/null
        else
            as_root rm -f "$without_i386_stamp"
        fi
    fi
fi

# Downloads the newest source of a Debian source package that the mirror serves into the
# (empty) folder given: download_source <package> <folder>.
download_source() {
    local package=$1 folder=$2 v versions
    # Newest version first; a mirror may serve the binaries of an update but not its source.
    versions=$(apt-cache showsrc "$package" 2>/dev/null | sed -n 's/^Version: //p' | sort -urV)
    for v in $versions; do
        (cd "$folder" && apt-get source --download-only -qq "$package=$v" >/dev/null 2>&1) && return 0
        rm -f "$folder"/*
    done
    echo "setup: cannot fetch the $package source package" >&2
    exit 1
}

# Unpacks the newest source of a Debian source package into build/deps/<dir>:
# fetch_source <package> <dir>.
fetch_source() {
    local package=$1 dir=$2
    echo "setup: fetching Debian's $package source"
    rm -rf "$deps/$dir-download" "$deps/$dir"
    mkdir -p "$deps/$dir-download"
    download_source "$package" "$deps/$dir-download"
    (cd "$deps/$dir-download" && dpkg-source -x --no-check ./*.dsc src >/dev/null)
    mv "$deps/$dir-download/src" "$deps/$dir"
    rm -rf "$deps/$dir-download"
}

# minizip is built from the contrib folder of Debian's zlib source package.
[ -f "$deps/zlib-src/contrib/minizip/unzip.c" ] || fetch_source zlib zlib-src
# install inflates whole entries with libdeflate, built from Debian's source package.
[ -f "$deps/libdeflate-src/lib/deflate_decompress.c" ] || fetch_source libdeflate libdeflate-src

# The test's stand-in Java launcher splits its command line and reads argument files with the
# JDK launcher's own code: a few files of Debian's openjdk-17 source package, taken from its
# upstream tarball without unpacking the rest.
fetch_jdk_launcher() {
    local dir=$deps/jdk-launcher tmp=$deps/jdk-launcher-download tarball
    echo "setup: fetching the JDK launcher's argument code from Debian's openjdk-17 source"
    rm -rf "$tmp" "$dir"
    mkdir -p "$tmp"
    download_source openjdk-17 "$tmp"
    tarball=$(ls "$tmp"/openjdk-17_*.orig.tar.xz 2>/dev/null | head -n 1)
    [ -n "$tarball" ] || { echo "setup: the openjdk-17 source package holds no upstream tarball" >&2; exit 1; }
    tar -xJf "$tarball" -C "$tmp" --wildcards --no-anchored \
        'src/java.base/share/native/libjli/args.c' 'src/java.base/share/native/libjli/jli_util.c' \
        'src/java.base/share/native/libjli/jli_util.h' 'src/java.base/share/native/libjli/emessages.h' \
        'src/java.base/windows/native/libjli/cmdtoargs.c' 'LICENSE'
    mkdir -p "$tmp/out"
    find "$tmp" -path "$tmp/out" -prune -o -type f \( -name '*.c' -o -name '*.h' -o -name 'LICENSE' \) \
        -exec cp {} "$tmp/out/" \;
    basename "$tarball" >"$tmp/out/SOURCE"
    mv "$tmp/out" "$dir"
    rm -rf "$tmp"
}
[ -f "$deps/jdk-launcher/cmdtoargs.c" ] || fetch_jdk_launcher

# make test: wherever the x86 lane goes to the guest (the 32-bit loader missing or refused, or
# BRAVIK_X86_LANE=guest), the image build starts here at the latest, before the compilers.
if [ "$for_tests" = 1 ]; then
    why=$(. "$top/scripts/wine-env.sh" --lane x86 && lane_unavailable)
    [ -z "$why" ] || start_guest_image "$why"
fi
