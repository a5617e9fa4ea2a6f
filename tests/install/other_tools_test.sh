#!/usr/bin/env bash
# Archives written by Info-ZIP zip, Python's zipfile and the JDK's jar unpack through
# install.exe to the same bytes that Info-ZIP unzip gives from them.
# Usage: other_tools_test.sh <build-dir>
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
. "$top/scripts/wine-env.sh" "$1"
skip_unless_lane_runs
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
drive_c="$WINEPREFIX/drive_c"
common="$drive_c/Program Files/Common Files/bravik"

# A tree with depth, blanks in names, names beyond ASCII (accents, a CJK folder), an empty file,
# binary and compressible data.
src="$work/src"
mkdir -p "$src/lib/ext/deeper" "$src/with blank" "$src/bin" "$src/Größe" "$src/日本"
head -c 1048576 /dev/urandom >"$src/lib/ext/random.bin"
awk 'BEGIN { for (i = 0; i < 50000; i++) print "compressible line of text " i }' >"$src/lib/big.txt"
: >"$src/empty.txt"
printf 'at the root\n' >"$src/root.txt"
printf 'blank\n' >"$src/with blank/a file.txt"
head -c 70000 /dev/urandom >"$src/lib/ext/deeper/x.class"
printf '#!/bin/sh\n' >"$src/bin/tool.sh"
printf 'accents\n' >"$src/résumé.txt"
printf 'umlaut\n' >"$src/Größe/daten.txt"
printf 'cjk\n' >"$src/日本/データ.txt"
printf 'both\n' >"$src/with blank/é à.txt"

(cd "$src" && zip -q -r -X "$work/infozip.zip" .)
python3 - "$src" "$work/python.zip" <<'PY'
import os, sys, zipfile
src, out = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
    for root, dirs, files in os.walk(src):
        for name in sorted(files):
            full = os.path.join(root, name)
            z.write(full, os.path.relpath(full, src))
PY
(cd "$work" && jar cf "$work/jdk.jar" -C "$src" .)

temp_dir=$(wine cmd.exe /c echo %TEMP% 2>/dev/null | tr -d '\r')
trace_log=$(winepath -u "$temp_dir\\kp_nstal.out" 2>/dev/null)
status=0
for archive in infozip.zip python.zip jdk.jar; do
    media="$drive_c/othertools/media"
    rm -rf "$drive_c/othertools" "$common"
    mkdir -p "$media/kp/windows"
    cp "$wine_build/bin/install.exe" "$media/"
    printf '[CLASS]\r\nnothing.Runs\r\n' >"$media/kp/windows/install.cfg"
    cp "$work/$archive" "$media/kp/windows/jre.zip"
    code=0
    (cd "$media" && wine 'C:\othertools\media\install.exe' >/dev/null 2>&1) || code=$?

    reference="$work/ref-$archive"
    if [ "$archive" = jdk.jar ]; then
        # jar says that it made its archive on DOS, and Debian's unzip 6.0 then reads every name
        # in the DOS code page, though bit 11 says UTF-8; Python's zipfile follows the bit.
        python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' \
            "$work/$archive" "$reference"
    else
        unzip -q "$work/$archive" -d "$reference"
    fi
    # Info-ZIP zip writes names as the bytes they have here, without saying they are UTF-8, so
    # install unpacks them byte for byte, read in the ANSI code page (1252 in the test prefix).
    names=utf8
    [ "$archive" = infozip.zip ] && names=ansi-bytes
    # install ends with 0 whatever happened; anything else means it did not run its course.
    if [ "$code" -eq 0 ] && python3 - "$reference" "$common/jre" "$names" <<'PY'
import os, sys
ref, got, names = sys.argv[1], sys.argv[2], sys.argv[3]
def files(top, rename=lambda name: name):
    found = {}
    for root, dirs, entries in os.walk(top):
        for name in entries:
            if name.lower().endswith(".ver"):
                continue
            full = os.path.join(root, name)
            found[rename(os.path.relpath(full, top))] = open(full, "rb").read()
    return found
as_ansi = lambda name: name.encode("utf-8").decode("cp1252")
a, b = files(ref, as_ansi if names == "ansi-bytes" else lambda name: name), files(got)
if a != b:
    print("  only from unzip:", sorted(set(a) - set(b)))
    print("  only from install.exe:", sorted(set(b) - set(a)))
    print("  different:", sorted(k for k in set(a) & set(b) if a[k] != b[k]))
    sys.exit(1)
print("  %d files identical" % len(a))
PY
    then echo "ok   $archive"; else
        echo "FAIL $archive: install.exe ended with exit code $code; its trace log:"
        tr -d '\r' <"$trace_log" 2>/dev/null || echo "  (none)"
        status=1
    fi
done
rm -rf "$drive_c/othertools" "$common"
exit $status
