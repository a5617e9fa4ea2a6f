#!/usr/bin/env bash
# Runs a Windows test program on a virtual X display: on-display.sh <build-dir> <program>
# The Wine session's desktop belongs to whichever program made it first. Earlier tests ran
# without a display, so the session is ended before and after, and this one makes its own.
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
. "$top/scripts/wine-env.sh" "$1"
wineserver -k 2>/dev/null; wineserver -w 2>/dev/null
xvfb-run -a -s "-screen 0 1024x768x24" "$top/scripts/wine-run" "$1" "$2"
status=$?
wineserver -k 2>/dev/null; wineserver -w 2>/dev/null
exit $status
