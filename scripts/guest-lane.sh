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

# The lane's Wine tests all take the prefix's fixed places, one at a time (RESOURCE_LOCK), so one
# ctest would keep one of the guest's two processors busy. The guest runs the suite in two halves
# side by side instead, each in a mount namespace of its own where an overlay on the unpacked tree
# stands at the tree's own path: each half has its own prefix, drives, logs and ctest files, and
# neither sees the other's writes. install_e2e and mkmedia_check, the two that run install.exe most
# often, take about as long under emulation as all the rest (261 s and 77 s against 298 s), so they
# are one half; a test added later falls in the other.
e2e_half='install_e2e|mkmedia_check'
host_only='guest|slowest_cases|deliverables_static|reproducible'

# The guest's clock since it started, at each step, so that the output shows where its time went.
{
printf 'wine_build=%q WINEPREFIX=%q e2e_half=%q host_only=%q\n' "$wine_build" "$WINEPREFIX" "$e2e_half" "$host_only"
cat <<'JOB'
set -u
step() { echo "guest: $1 at $(cut -d' ' -f1 /proc/uptime) s of the guest's time"; }
step "booted"
# /tmp is a tmpfs in the guest, without the extended attributes Wine needs; a tree cloned
# below /tmp on the host must land on the root file system.
umount /tmp 2>/dev/null && chmod 1777 /tmp
tar -C / -xf /mnt/share/tree.tar
mkdir -p "$wine_build/wine"
# A rename on the one root file system; a copy of the prefix's many files costs half a minute
# under emulation, and the guest's writes are thrown away when it ends anyway.
mv /opt/wine-win32 "$WINEPREFIX"
modprobe overlay
export BRAVIK_TEST_REPORTS=/mnt/share/reports
step "the tree and the prefix in place"

# half <name> <ctest's selection...>: results-<name>.xml, ctest-<name>.log and wine-logs/<name>
# in the share. The fixture of x86.guest is the host's; it adds no test here.
half() {
    local name=$1
    shift
    mkdir -p "/srv/$name/upper" "/srv/$name/work"
    unshare --mount --propagation private /bin/bash -c '
        name=$1 tree=$2
        shift 2
        mount -t overlay overlay -o "lowerdir=$tree,upperdir=/srv/$name/upper,workdir=/srv/$name/work" "$tree" ||
            exit 125
        ctest --test-dir "$tree" --timeout 900 -FA "^guest_x86\$" "$@" \
              --output-on-failure --output-junit "/mnt/share/results-$name.xml"
        status=$?
        [ -d "$tree/wine/logs" ] && mkdir -p /mnt/share/wine-logs && cp -r "$tree/wine/logs" "/mnt/share/wine-logs/$name"
        exit $status' half "$name" "$wine_build" "$@" >"/mnt/share/ctest-$name.log" 2>&1
}
half e2e -R "^x86[.]($e2e_half)\$" &
e2e=$!
half rest -E "^x86[.]($host_only|$e2e_half)\$" &
rest=$!
wait "$e2e"; status=$?
wait "$rest"; rest_status=$?
[ "$status" -ne 0 ] || status=$rest_status
step "the suite ended"
for name in e2e rest; do
    echo "guest: the $name half's ctest:"
    cat "/mnt/share/ctest-$name.log"
done
exit $status
JOB
} >"$share/job.sh"

echo "guest: running the x86 suite in the guest ($why)"
start=$SECONDS
"$here/guest-run.sh" "$image" "$share" "$guest_limit"
status=$?
echo "guest: done in $((SECONDS - start)) s, guest ctest exit status $status; its output:"
cat "$share/job.log" 2>/dev/null
if [ "$status" -eq 125 ] || ! grep -qs '<testcase' "$share/results-e2e.xml" ||
   ! grep -qs '<testcase' "$share/results-rest.xml"; then
    echo "guest: the x86 suite did not run to its end in the guest"
    exit 1
fi
# One file of results for lane-test; wine_prefix ran in both halves, and the worse of its two
# results counts.
python3 - "$share/results-e2e.xml" "$share/results-rest.xml" >"$out/results.xml" <<'PY' || exit 1
import sys
import xml.etree.ElementTree as tree

def badness(case):
    if case.find("skipped") is not None:
        return 1
    return 0 if case.get("status") == "run" and case.find("failure") is None else 2

kept = {}
for results in sys.argv[1:]:
    for case in tree.parse(results).getroot().iter("testcase"):
        name = case.get("name")
        if name not in kept or badness(case) > badness(kept[name]):
            kept[name] = case
merged = tree.Element("testsuite", name="x86 in the guest", tests=str(len(kept)))
merged.extend(kept.values())
sys.stdout.write(tree.tostring(merged, encoding="unicode"))
PY
if [ -d "$share/reports" ]; then
    mv "$share/reports" "$out/reports"
    echo "guest: the slowest test cases in the guest (all in $out/reports):"
    python3 "$here/slowest-cases.py" "$out/reports" 15
fi
[ -d "$share/wine-logs" ] && mv "$share/wine-logs" "$out/wine-logs"
rm -f "$share/tree.tar"
exit 0
