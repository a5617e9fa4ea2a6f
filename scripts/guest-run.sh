#!/usr/bin/env bash
# Runs one job in the emulated 64-bit Debian guest built by guest-image.sh, for machines whose
# kernel refuses 32-bit programs: the guest kernel runs them, so 32-bit Wine works in there.
#
# Usage: guest-run.sh [--persist] <image-dir> <share-dir> <timeout-seconds>
#   The caller writes <share-dir>/job.sh; the guest's init (/sbin/guest-init, baked into the
#   image) mounts the share at /mnt/share, runs the job with its output in job.log, writes the
#   exit status to job.status and powers off. This script exits with that status.
#   The guest's console goes to <share-dir>/console.log.
#   --persist keeps the guest's writes in root.img (only the image build wants that); otherwise
#   every run starts from the pristine image and any number of runs may share it at once.
# Exit 125 when the job did not finish (no boot, kernel panic, timeout), so that no failure
# of the machinery can pass for a job's own result, a skip (77) included.
set -euo pipefail

fail() { echo "guest: $*" >&2; exit 125; }

persist=0
if [ "${1:-}" = --persist ]; then persist=1; shift; fi
[ $# -eq 3 ] || fail "usage: guest-run.sh [--persist] <image-dir> <share-dir> <timeout-seconds>"
image=$(cd "$1" && pwd) || fail "no image folder $1"
share=$(cd "$2" && pwd) || fail "no share folder $2"
limit=$3
[[ $limit =~ ^[1-9][0-9]*$ ]] || fail "timeout must be a positive number of seconds: $limit"
for f in vmlinuz initrd.img root.img; do
    [ -f "$image/$f" ] || fail "$image/$f is missing; build the image with guest-image.sh"
done
[ -f "$share/job.sh" ] || fail "$share/job.sh is missing"
rm -f "$share/job.log" "$share/job.status" "$share/console.log"

snapshot=(-snapshot)
[ "$persist" = 1 ] && snapshot=()

# No usable KVM on these machines, so TCG; smap=off because QEMU 7.2's TCG emulates IRET
# reading the user stack with kernel rights, and with SMAP on every 32-bit process then dies
# with an Oops. panic=-1 turns a guest panic (including init ending) into an immediate exit
# instead of a hang that would last until the timeout.
# The guest kernel otherwise finds the emulated CPUs' time stamp counters out of step and falls
# back to the HPET, so that every clock read (Wine reads it all the time) leaves user space for
# an emulated device; under TCG all CPUs count from the host's one clock, so the counter is
# trusted. Four-level page tables make each emulated TLB refill one level shorter, and the
# speculation mitigations guard nothing in a throwaway guest without network.
qemu-system-x86_64 -accel tcg,thread=multi -smp 2 -m 3072 -cpu max,smap=off,la57=off \
    -nographic -no-reboot "${snapshot[@]}" \
    -kernel "$image/vmlinuz" -initrd "$image/initrd.img" \
    -append "root=/dev/vda rw console=ttyS0 init=/sbin/guest-init quiet panic=-1 tsc=reliable mitigations=off" \
    -drive "file=$image/root.img,format=raw,if=virtio,cache=unsafe" \
    -virtfs "local,path=$share,mount_tag=share,security_model=none,id=share" \
    </dev/null >"$share/console.log" 2>&1 &
qemu=$!
# A caller that gives up on us (a test timeout, Ctrl-C) must not leave a guest spinning.
trap 'kill "$qemu" 2>/dev/null && wait "$qemu" 2>/dev/null; true' EXIT
trap 'exit 125' INT TERM HUP

console_tail() {
    echo "guest: last lines of $share/console.log:" >&2
    tail -n 30 "$share/console.log" >&2 || true
}

deadline=$((SECONDS + limit))
while kill -0 "$qemu" 2>/dev/null; do
    if [ "$SECONDS" -ge "$deadline" ]; then
        kill "$qemu" 2>/dev/null || true
        wait "$qemu" 2>/dev/null || true
        echo "guest: timed out after $limit s" >&2
        console_tail
        exit 125
    fi
    sleep 1
done
wait "$qemu" || true
trap - EXIT

status=$(cat "$share/job.status" 2>/dev/null || true)
if ! [[ $status =~ ^[0-9]+$ ]]; then
    echo "guest: did not finish" >&2
    console_tail
    exit 125
fi
exit "$status"
