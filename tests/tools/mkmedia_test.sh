#!/usr/bin/env bash
# tools/mkmedia, its media installed by this lane's install.exe: mkmedia_test.sh <build-dir> [test script],
# the script beside this one (mkmedia_test.py by default).
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
. "$top/scripts/wine-env.sh" "$1"
skip_unless_lane_runs
exec python3 "$top/tests/tools/${2:-mkmedia_test.py}" "$wine_build" "$lane"
