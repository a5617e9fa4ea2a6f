#!/usr/bin/env bash
# Writes the sample media with tools/mkmedia, runs dist/install.exe on it under Wine, then shows
# its trace log, the message boxes it showed and what each Java process got: its command line
# as the (stand-in) Java launcher split it, with its argument files, the main class it found on
# the class path and what the natives it loaded answered; a second run shows that the archives
# are not unpacked again.
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
mkdir -p "$drive_c/demo"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The sample runtime gets the stand-in Java launcher in its bin folder; the splash picture is
# drawn here.
cp -r "$top/samples/archives/jre" "$work/runtime"
cp "$build/bin/stubs/launch.exe" "$work/runtime/bin/launch.exe"
python3 - "$work/splash.bmp" <<'PY'
import struct, sys
width, height = 320, 120
row = (width * 3 + 3) & ~3
pixels = bytearray()
for y in range(height):
    line = bytearray()
    for x in range(width):
        line += bytes((0x60 + x * 0x9f // width, 0x30 + y * 0x60 // height, 0x20))
    pixels += line + bytes(row - len(line))
with open(sys.argv[1], "wb") as out:
    out.write(struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54))
    out.write(struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0))
    out.write(pixels)
PY

echo "== writing the media with tools/mkmedia"
"$top/tools/mkmedia" --arch "$lane" --dist "$dist" --runtime "$work/runtime" \
    --product "$top/samples/archives/product" --product "$top/samples/archives/docs" \
    --class com.bravik.application.install.Installer --jvm-option -Xmx256m \
    --jvm-option "-Dsuite.title=Bravik Sample Suite" --parameter "-mode install /OUTPUT_TO_FILE install.log" \
    --class com.bravik.application.install.Register --parameter -register \
    --classpath 'kp\classes' --classpath 'kp\lib\extra.jar' --path 'kp\tools' \
    --delete-common 'kp\obsolete.txt' --post-delete-common 'kp\install.tmp' \
    --splash "$work/splash.bmp" --media-files "$top/samples/media" --output "$media"
echo
echo "== its install.cfg"
tr -d '\r' <"$media/kp/windows/install.cfg" | sed 's/^/   /'
# A clean common directory, so that the first run unpacks the archives.
rm -rf "$drive_c/Program Files/Common Files/bravik"
# With a display, each Java process lingers a little so that the splash can be seen.
linger=""
[ -n "${DISPLAY:-}" ] && linger=2000

temp_dir=$(wine cmd.exe /c echo %TEMP% 2>/dev/null | tr -d '\r')
trace_log=$(winepath -u "$temp_dir\\kp_nstal.out" 2>/dev/null)
record="$drive_c/demo/launches.txt"
relay="$build/wine/logs/demo.relay"
mkdir -p "$(dirname "$relay")"

echo
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
echo "== what each Java process got, as the (stand-in) Java launcher read it"
if [ -f "$record" ]; then
    python3 - "$record" <<'PY'
import sys
starts = []
for line in open(sys.argv[1], encoding="latin-1").read().replace("\r", "").splitlines():
    if line.startswith("begin "):
        starts.append({"arg": [], "option": [], "parameter": [], "native": []})
    elif line.startswith("end ") and starts:
        starts[-1]["exit"] = line.split()[-1]
    elif "=" in line and starts:
        key, value = line.split("=", 1)
        value = value.replace("%0A", "\\n").replace("%0D", "\\r").replace("%25", "%")
        if isinstance(starts[-1].get(key), list):
            starts[-1][key].append(value)
        else:
            starts[-1][key] = value
for number, start in enumerate(starts, 1):
    print(f"   Java process {number}: {start.get('program')}")
    print(f"     command line  {start.get('cmdline')}")
    print(f"     folder        {start.get('cwd')}")
    print(f"     options       {' | '.join(start['option']) or '(none)'}")
    print(f"     main class    {start.get('main', '(none)')}")
    print(f"     parameters    {' | '.join(start['parameter']) or '(none)'}")
    print(f"     class found   {start.get('found') or 'NO: ' + start.get('error', '')}")
    for native in start["native"]:
        name, path, answer = native.split("\t", 2)
        print(f"     {name:13} {path or 'not found'}{'  ->  ' + answer if answer else ''}")
    print(f"     exit code     {start.get('exit', '?')}")
PY
else
    echo "   nothing: it was not started"
fi

echo
echo "== a second run from the same media: what it says about the archives"
(cd "$media" && LAUNCH_STUB_RECORD='C:\demo\launches.txt' wine 'C:\demo\media\install.exe' 2>/dev/null)
tr -d '\r' <"$trace_log" | grep -E 'zipFile|Writing|Zip file' | sed 's/^/   /'
