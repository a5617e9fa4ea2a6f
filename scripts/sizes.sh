#!/usr/bin/env bash
# Prints the size of each deliverable of both architectures, as it ships.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
for dir in dist dist/x64; do
    for file in install.exe Splash.exe sysnat.dll hivenat.dll; do
        [ -f "$top/$dir/$file" ] && printf '%-22s %9d bytes\n' "$dir/$file" "$(stat -c %s "$top/$dir/$file")"
    done
done
