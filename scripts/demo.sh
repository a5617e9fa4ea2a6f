#!/usr/bin/env bash
# Runs dist/install.exe under Wine on the sample media, then shows its trace log, the message
# boxes it showed and what each start of the (stand-in) Java launcher received.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# The x86 install.exe where this machine starts 32-bit programs, otherwise the x64 one.
. "$top/scripts/wine-env.sh" "$top/build/x86"
why=$(lane_unavailable)
if [ -z "$why" ]; then
    echo "== demo of the x86 install.exe (dist/install.exe): this machine runs 32-bit programs"
    build="$top/build/x86" dist="$top/dist"
else
    echo "== demo of the x64 install.exe (dist/x64/install.exe): $why"
    build="$top/build/x64" dist="$top/dist/x64"
    . "$top/scripts/wine-env.sh" "$build"
fi
"$top/scripts/wine-prefix.sh" "$build" >/dev/null

drive_c="$WINEPREFIX/drive_c"
media="$drive_c/demo/media"
rm -rf "$drive_c/demo"
mkdir -p "$media"
cp -r "$top/samples/media/." "$media/"
cp "$dist/install.exe" "$media/install.exe"
mkdir -p "$media/kp/bin" "$media/kp/zip"
cp "$build/bin/stubs/launch.exe" "$media/kp/bin/launch.exe"
# The media's archives, and a clean common directory so that the first run unpacks them.
(cd "$top/samples/archives/jre" && zip -q -r -X "$media/kp/windows/jre.zip" .)
for archive in product docs; do
    (cd "$top/samples/archives/$archive" && zip -q -r -X "$media/kp/zip/$archive.zip" .)
done
rm -rf "$drive_c/Program Files/Common Files/bravik"
# The splash program and its picture; it shows in a window when there is a display.
cp "$dist/Splash.exe" "$media/kp/bin/Splash.exe"
python3 - "$media/kp/bin/en/splash.bmp" <<'PY'
import os, struct, sys
width, height = 320, 120
row = (width * 3 + 3) & ~3
pixels = bytearray()
for y in range(height):
    line = bytearray()
    for x in range(width):
        line += bytes((0x60 + x * 0x9f // width, 0x30 + y * 0x60 // height, 0x20))
    pixels += line + bytes(row - len(line))
os.makedirs(os.path.dirname(sys.argv[1]), exist_ok=True)
with open(sys.argv[1], "wb") as out:
    out.write(struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54))
    out.write(struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0))
    out.write(pixels)
PY
# With a display, each Java process lingers a little so that the splash can be seen.
linger=""
[ -n "${DISPLAY:-}" ] && linger=2000

temp_dir=$(wine cmd.exe /c echo %TEMP% 2>/dev/null | tr -d '\r')
trace_log=$(winepath -u "$temp_dir\\kp_nstal.out" 2>/dev/null)
record="$drive_c/demo/launches.txt"
relay="$build/wine/logs/demo.relay"
mkdir -p "$(dirname "$relay")"

echo "== running C:\\demo\\media\\install.exe under Wine"
(cd "$media" && LAUNCH_STUB_RECORD='C:\demo\launches.txt' LAUNCH_STUB_SLEEP_MS=$linger WINEDEBUG=+relay \
    wine 'C:\demo\media\install.exe' 2>"$relay")
echo "   exit code $?"

echo
echo "== trace log ($temp_dir\\kp_nstal.out)"
tr -d '\r' <"$trace_log"
echo
echo "== message boxes"
grep -o 'Call user32.MessageBoxA([^)]*' "$relay" | sed 's/^Call user32.MessageBoxA(/   /' || echo "   none"
echo
echo "== what the Java launcher received"
if [ -f "$record" ]; then tr -d '\r' <"$record" | sed 's/^/   /'; else echo "   nothing: it was not started"; fi

echo
echo "== a second run from the same media: what it says about the archives"
(cd "$media" && LAUNCH_STUB_RECORD='C:\demo\launches.txt' wine 'C:\demo\media\install.exe' 2>/dev/null)
tr -d '\r' <"$trace_log" | grep -E 'zipFile|Writing|Zip file' | sed 's/^/   /'
