#!/usr/bin/env bash
# The x86.guest fixture: where this machine's kernel refuses 32-bit programs, runs the x86
# lane's whole suite inside the emulated 64-bit Debian guest (guest-image.sh, guest-run.sh) and
# brings back its results, from which each x86 test then reports its own (lane-test).
# Usage: guest-lane.sh <build-dir>
# Skipped (77) where the lane runs natively. Fails, with the guest console's last lines, when
# the guest cannot be built, does not boot or does not finish: a lane that did not run never
# counts as skipped, let alone as passed.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
. "$here/wine-env.sh" "$1"

out="$wine_build/guest"
share="$out/share"
rm -rf "$out"
why=$(lane_unavailable)
if [ -z "$why" ]; then
    echo "SKIPPED: the $lane lane runs natively here; no guest is needed"
    exit 77
fi
if [ "$lane" != x86 ]; then
    echo "SKIPPED: only the x86 lane has a guest; $why"
    exit 77
fi

# Booting, unpacking the tree and the suite itself; the image is made first, outside this limit.
guest_limit=${BRAVIK_GUEST_TIMEOUT:-2400}

image=$("$here/guest-image.sh" | tail -n 1)
if grep -q "^guest:" "$top/build/guest-image.log" 2>/dev/null; then
    echo "guest: the image build that make test started in the background said:"
    cat "$top/build/guest-image.log"
fi
if [ ! -f "$image/complete" ]; then
    echo "guest: the guest image could not be built"
    exit 1
fi
echo "guest: image $image"

# The sources and this build tree in one tar, to be unpacked at the same absolute paths on the
# guest's ext4 root: Wine keeps DOS attributes in extended attributes, and one file over the
# share is much faster than many.
mkdir -p "$share"
tar -C / -cf "$share/tree.tar" \
    --exclude="${top#/}/.git" --exclude="${top#/}/build" --exclude="${top#/}/dist" "${top#/}"
tar -C / -rf "$share/tree.tar" \
    --exclude="${wine_build#/}/wine" --exclude="${wine_build#/}/guest" --exclude='*.obj' --exclude='*.a' \
    "${wine_build#/}"

# The guest's clock since it started, at each step, so that the output shows where its time went.
cat >"$share/job.sh" <<JOB
set -u
step() { echo "guest: \$1 at \$(cut -d' ' -f1 /proc/uptime) s of the guest's time"; }
step "booted"
# /tmp is a tmpfs in the guest, without the extended attributes Wine needs; a tree cloned
# below /tmp on the host must land on the root file system.
umount /tmp 2>/dev/null && chmod 1777 /tmp
tar -C / -xf /mnt/share/tree.tar
mkdir -p "$wine_build/wine"
# A rename on the one root file system; a copy of the prefix's many files costs half a minute
# under emulation, and the guest's writes are thrown away when it ends anyway.
mv /opt/wine-win32 "$WINEPREFIX"
export BRAVIK_TEST_REPORTS=/mnt/share/reports
step "the tree and the prefix in place"
ctest --test-dir "$wine_build" -j2 --timeout 900 -E '^x86[.](guest|slowest_cases|deliverables_static|reproducible)\$' \
      --output-on-failure --output-junit /mnt/share/results.xml
status=\$?
step "the suite ended"
[ -d "$wine_build/wine/logs" ] && cp -r "$wine_build/wine/logs" /mnt/share/wine-logs
exit \$status
JOB

echo "guest: running the x86 suite in the guest ($why)"
start=$SECONDS
"$here/guest-run.sh" "$image" "$share" "$guest_limit"
status=$?
echo "guest: done in $((SECONDS - start)) s, guest ctest exit status $status; its output:"
cat "$share/job.log" 2>/dev/null
if [ "$status" -eq 125 ] || ! grep -q '<testcase' "$share/results.xml" 2>/dev/null; then
    echo "guest: the x86 suite did not run to its end in the guest"
    exit 1
fi
mv "$share/results.xml" "$out/results.xml"
if [ -d "$share/reports" ]; then
    mv "$share/reports" "$out/reports"
    echo "guest: the slowest test cases in the guest (all in $out/reports):"
    python3 "$here/slowest-cases.py" "$out/reports" 15
fi
[ -d "$share/wine-logs" ] && mv "$share/wine-logs" "$out/wine-logs"
rm -f "$share/tree.tar"
exit 0
