#!/usr/bin/env bash
# Creates the test prefix of a build tree once, and maps the drives the tests use:
#   D: a fixed drive on a build-tree folder, for programs started from a drive root;
#   E: a CD-ROM drive with a "temp" folder, for a temporary directory on a CD-ROM.
# Message boxes are made visible to the tests through Wine's relay trace of MessageBoxA and
# MessageBoxW.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh" "$1"
drives="$wine_build/wine/drives"
skip_unless_lane_runs

mkdir -p "$(dirname "$WINEPREFIX")"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "creating the Wine prefix (once per build tree)"
    wineboot -i >/dev/null 2>&1 || { echo "wineboot failed for $WINEPREFIX" >&2; exit 1; }
    wineserver -w
fi

mkdir -p "$drives/d" "$drives/e/temp"
ln -sfn "$drives/d" "$WINEPREFIX/dosdevices/d:"
ln -sfn "$drives/e" "$WINEPREFIX/dosdevices/e:"

if ! grep -q '"e:"="cdrom"' "$WINEPREFIX/system.reg" ||
   ! grep -q '"RelayInclude"="user32.MessageBoxA;user32.MessageBoxW"' "$WINEPREFIX/user.reg"; then
    reg=$(mktemp --suffix=.reg)
    cat >"$reg" <<'REG'
REGEDIT4

[HKEY_LOCAL_MACHINE\Software\Wine\Drives]
"d:"="hd"
"e:"="cdrom"

[HKEY_CURRENT_USER\Software\Wine\Debug]
"RelayInclude"="user32.MessageBoxA;user32.MessageBoxW"
REG
    wine regedit /S "$(winepath -w "$reg" 2>/dev/null)" >/dev/null 2>&1
    wineserver -w
    rm -f "$reg"
fi

# The drive types are read when the server starts; a server that lingers for a minute after
# the last program spares every test the start-up.
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
wineserver -p60 </dev/null >/dev/null 2>&1
