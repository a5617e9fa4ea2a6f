#!/usr/bin/env bash
# Prepares a Debian 12 machine for building and testing: cross compilers, Wine, zlib, GoogleTest,
# a JDK, the signing tools (osslsigncode, openssl, and SoftHSM with OpenSSL's PKCS#11 engine for
# signing through a token), the minizip sources from Debian's own zlib source package and libdeflate's sources from
# its own. Idempotent and quiet: a second run only checks and returns.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
deps="$top/build/deps"
packages=(wine wine32:i386 wine64 g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix
          g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix libz-mingw-w64-dev
          googletest cmake ninja-build make openjdk-17-jdk-headless zip unzip python3 dpkg-dev
          xvfb xauth qemu-system-x86 qemu-utils mmdebstrap
          osslsigncode openssl softhsm2 libengine-pkcs11-openssl)
src_list=/etc/apt/sources.list.d/installer-deb-src.sources

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

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
if [ -n "$(missing_packages)" ] || [ "$need_update" = 1 ]; then
    echo "setup: installing packages (a few minutes the first time)"
    as_root apt-get update -qq >/dev/null
    # shellcheck disable=SC2046
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends \
        $(missing_packages) >/dev/null
fi

# Unpacks the newest source of a Debian source package that the mirror serves into
# build/deps/<dir>: fetch_source <package> <dir>.
fetch_source() {
    local package=$1 dir=$2 v fetched=0 versions
    echo "setup: fetching Debian's $package source"
    rm -rf "$deps/$dir-download" "$deps/$dir"
    mkdir -p "$deps/$dir-download"
    # Newest version first; a mirror may serve the binaries of an update but not its source.
    versions=$(apt-cache showsrc "$package" 2>/dev/null | sed -n 's/^Version: //p' | sort -urV)
    for v in $versions; do
        if (cd "$deps/$dir-download" && apt-get source --download-only -qq "$package=$v" >/dev/null 2>&1); then
            fetched=1
            break
        fi
        rm -f "$deps/$dir-download"/*
    done
    [ "$fetched" = 1 ] || { echo "setup: cannot fetch the $package source package" >&2; exit 1; }
    (cd "$deps/$dir-download" && dpkg-source -x --no-check ./*.dsc src >/dev/null)
    mv "$deps/$dir-download/src" "$deps/$dir"
    rm -rf "$deps/$dir-download"
}

# minizip is built from the contrib folder of Debian's zlib source package.
[ -f "$deps/zlib-src/contrib/minizip/unzip.c" ] || fetch_source zlib zlib-src
# install inflates whole entries with libdeflate, built from Debian's source package.
[ -f "$deps/libdeflate-src/lib/deflate_decompress.c" ] || fetch_source libdeflate libdeflate-src
