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
. "$top/scripts/setup-apt.sh"

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
    if [ ${#missing[@]} -gt 0 ]; then
        said=$(install_packages "${missing[@]}") || exit 1
        if [ -n "$said" ]; then
            echo "$said"
            as_root mkdir -p "$(dirname "$without_i386_stamp")"
            echo "$said" | as_root tee "$without_i386_stamp" >/dev/null
        else
            as_root rm -f "$without_i386_stamp"
        fi
    fi
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

# The test's stand-in Java launcher splits its command line and reads argument files with the
# JDK launcher's own code: a few files of Debian's openjdk-17 source package, taken from its
# upstream tarball without unpacking the rest.
fetch_jdk_launcher() {
    local dir=$deps/jdk-launcher tmp=$deps/jdk-launcher-download v versions tarball fetched=0
    echo "setup: fetching the JDK launcher's argument code from Debian's openjdk-17 source"
    rm -rf "$tmp" "$dir"
    mkdir -p "$tmp"
    versions=$(apt-cache showsrc openjdk-17 2>/dev/null | sed -n 's/^Version: //p' | sort -urV)
    for v in $versions; do
        if (cd "$tmp" && apt-get source --download-only -qq "openjdk-17=$v" >/dev/null 2>&1); then
            fetched=1
            break
        fi
        rm -f "$tmp"/*
    done
    tarball=$(ls "$tmp"/openjdk-17_*.orig.tar.xz 2>/dev/null | head -n 1)
    [ "$fetched" = 1 ] && [ -n "$tarball" ] ||
        { echo "setup: cannot fetch the openjdk-17 source package" >&2; exit 1; }
    tar -xJf "$tarball" -C "$tmp" --wildcards --no-anchored \
        'src/java.base/share/native/libjli/args.c' 'src/java.base/share/native/libjli/jli_util.c' \
        'src/java.base/share/native/libjli/jli_util.h' 'src/java.base/share/native/libjli/emessages.h' \
        'src/java.base/windows/native/libjli/cmdtoargs.c' 'LICENSE' 'ADDITIONAL_LICENSE_INFO'
    mkdir -p "$tmp/out"
    find "$tmp" -path "$tmp/out" -prune -o -type f \( -name '*.c' -o -name '*.h' -o -name 'LICENSE' \) \
        -exec cp {} "$tmp/out/" \;
    echo "$(basename "$tarball")" >"$tmp/out/SOURCE"
    mv "$tmp/out" "$dir"
    rm -rf "$tmp"
}
[ -f "$deps/jdk-launcher/cmdtoargs.c" ] || fetch_jdk_launcher
