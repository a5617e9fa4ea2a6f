#!/usr/bin/env bash
# Says, for each build tree given, whether its lane's Windows tests can run on this machine.
# Usage: lanes.sh <build-dir>...
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
for build in "$@"; do
    (
        . "$here/wine-env.sh" "$build"
        why=$(lane_unavailable)
        if [ -z "$why" ]; then
            echo "$lane lane: runs under $WINELOADER ($WINEARCH prefix)"
        elif [ "$lane" = x86 ]; then
            # Set-up installs the 32-bit loader wherever apt can; it printed why it could not.
            [ -x "$WINELOADER" ] || [ "${BRAVIK_X86_LANE:-}" = guest ] ||
                why+="; set-up could not install it (its line above says why)"
            echo "$lane lane: runs in the emulated 64-bit guest, as x86.guest: $why; its tests report from there"
        else
            echo "$lane lane: SKIPPED: $why; only its static checks run"
        fi
    )
done
