#!/usr/bin/env bash
# Started by set-up for make test, where the x86 lane will run in the guest: builds the guest
# image in the background, beside the rest of the packages' installation and the compilers, so
# that x86.guest finds it ready, or waits for it on guest-image.sh's lock. Returns at once, and
# does nothing while a build it started still runs or when the image is ready.
# The build's lines go to build/guest-image.log, which x86.guest prints.
# Usage: guest-image-early.sh <why the x86 lane needs the guest>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$here/.." && pwd)/build
log=$build/guest-image.log
pid_file=$build/guest-image.pid
mkdir -p "$build"
if [ -f "$pid_file" ] && grep -qs guest-image.sh "/proc/$(cat "$pid_file")/cmdline"; then
    exit 0
fi
rm -f "$log" "$pid_file"
"$here/guest-image.sh" --ready >/dev/null && exit 0
# A failure here is not final: x86.guest calls guest-image.sh again and fails if it fails there.
nohup "$here/guest-image.sh" </dev/null >"$log" 2>&1 &
echo $! >"$pid_file"
echo "guest: building the guest image in the background ($1; log: build/guest-image.log)"
