#!/usr/bin/env bash
# Started by make test once the x86 tree is configured, before anything compiles: where the x86
# lane will run in the guest, builds the guest image in the background while both lanes compile,
# so that x86.guest finds it ready, or waits for it on guest-image.sh's lock. Returns at once.
# The build's lines go to <build-dir>/guest-image.log, which x86.guest prints.
# Usage: guest-image-early.sh <x86-build-dir>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh" "$1"
log="$wine_build/guest-image.log"
rm -f "$log"
[ "$lane" = x86 ] && [ -n "$(lane_unavailable)" ] || exit 0
# A failure here is not final: x86.guest calls guest-image.sh again and fails if it fails there.
# No lock is inherited (fd 9 is guest-image.sh's own).
nohup "$here/guest-image.sh" </dev/null >"$log" 2>&1 &
echo "guest: building the guest image in the background (log: $log)"
