#!/usr/bin/env bash
# Builds the deliverables of one architecture a second time, from a copy of the sources in another
# folder and later than the first build, with the same preset, and compares them byte for byte
# with what dist/ holds (its signatures taken off, as anyone checking a release would): any
# difference is the build's time, place or machine reaching a file.
# Every run checks its lane; the two lanes' tests together check all that ships.
# Usage: reproducible_test.sh <lane> <source-dir> <dist-dir> <time stamp of the first build>
set -uo pipefail
lane=$1 top=$2 dist=$3 stamp=$4
. "$top/scripts/deliverables.sh"
for file in "${deliverables[@]}"; do
    [[ $file == */* ]] || files+=("$file")
done
for file in "${files[@]}"; do
    [ -f "$dist/$file" ] || { echo "$dist/$file is missing: build the $lane deliverables first"; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/bravik-reproducible.XXXXXX")
trap 'rm -rf "$work"' EXIT
copy="$work/sources"
mkdir -p "$copy/build"
tar -C "$top" --exclude=./.git --exclude=./build --exclude=./dist -cf - . | tar -C "$copy" -xf -
cp -a "$top/build/deps" "$copy/build/"

echo "first build: $(date -u -r "$dist/install.exe" '+%F %T') UTC in $top"
echo "second build: $(date -u '+%F %T') UTC in $copy"
# The copy holds no git checkout, so it gets the first build's time stamp as SOURCE_DATE_EPOCH,
# and the publisher certificate the first build's install.exe was made with.
certificate=$(sed -n 's/^BRAVIK_PUBLISHER_CERTIFICATE:FILEPATH=//p' "$top/build/$lane/CMakeCache.txt" 2>/dev/null)
if ! (cd "$copy" && export SOURCE_DATE_EPOCH=$stamp &&
      cmake --preset "$lane" -DBUILD_TESTING=OFF -DBRAVIK_PUBLISHER_CERTIFICATE="$certificate" &&
      cmake --build --preset "$lane") >"$work/build.log" 2>&1; then
    tail -n 30 "$work/build.log"
    echo "the second build failed"
    exit 1
fi

# The first build as it left the linker: a signed dist/ is compared without its signatures.
mkdir -p "$work/first"
for file in "${files[@]}"; do
    if ! osslsigncode remove-signature -in "$dist/$file" -out "$work/first/$file" >/dev/null 2>&1; then
        cp "$dist/$file" "$work/first/$file"
    fi
done
second="$copy/${dist#"$top"/}"
failed=0
for file in "${files[@]}"; do
    if cmp -s "$work/first/$file" "$second/$file"; then
        echo "identical: $lane/$file"
    else
        failed=1
        echo "DIFFERENT: $lane/$file, $(cmp -l "$work/first/$file" "$second/$file" 2>/dev/null | wc -l) bytes," \
             "sizes $(stat -c %s "$work/first/$file") and $(stat -c %s "$second/$file"); first differences" \
             "(offset, octal bytes):"
        cmp -l "$work/first/$file" "$second/$file" 2>&1 | head -n 5
    fi
done
exit "$failed"
