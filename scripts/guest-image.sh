#!/usr/bin/env bash
# Builds, once per machine, the emulated 64-bit Debian guest that guest-run.sh boots to run the
# 32-bit Wine tests where the host kernel refuses 32-bit programs. Prints, as its last line, the
# folder holding vmlinuz, initrd.img and root.img (with a ready win32 prefix in /opt/wine-win32).
#
# The folder is keyed by this file's content, so changing the package list or the guest's init
# below makes a new image and drops the old one. Only a folder with "complete" in it counts:
# the build happens in <key>.partial and is renamed at the very end, so a build killed midway is
# never used, only deleted by the next run. Building needs root (mmdebstrap, chroot).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
cache=${BRAVIK_GUEST_CACHE:-/var/cache/bravik-installer/guest}
key=$(sha256sum "$here/$(basename "${BASH_SOURCE[0]}")" | cut -c1-16)
final=$cache/$key
work=$cache/$key.partial
packages=(linux-image-amd64 initramfs-tools kmod udev
          wine wine32:i386 wine64 cmake xvfb xauth zip unzip python3 openjdk-17-jdk-headless
          procps iproute2)

# The log gets the same lines with the time, so that a slow step shows where it was slow.
say() {
    echo "guest: $*" >&2
    [ -z "${log:-}" ] || echo "== $(date +%T) $*" >>"$log"
}

# A build killed with its chroot mounts in place must never be cleaned with rm -rf through a
# bind mount of the host's /dev; unmount first and keep rm on one file system as a second guard.
unmount_under() {
    local m
    findmnt -rn -o TARGET | awk -v p="$1/" 'index($0, p) == 1' | sort -r |
        while read -r m; do umount "$m" 2>/dev/null || umount -l "$m"; done
}
remove_tree() { unmount_under "$1"; rm -rf --one-file-system "$1"; }

prune_others() {
    local d
    for d in "$cache"/*; do
        [ -e "$d" ] && [ "$d" != "$final" ] && remove_tree "$d"
    done
    return 0
}

# The rename makes "complete" appear atomically, so a finished image needs neither the lock nor
# root to be used. --ready only says whether it is there: its folder, or status 1.
if [ -f "$final/complete" ]; then echo "$final"; exit 0; fi
[ "${1:-}" != --ready ] || exit 1
# Descriptors inherited from the caller (ctest keeps its log open in every test) must not reach
# mmdebstrap: apt hands it a pipe by number through /bin/sh, and dash reads one digit only, so
# a pipe numbered 10 or above ends the build with "Bad fd number".
for fd in /proc/$$/fd/*; do
    fd=${fd##*/}
    if [ "$fd" -gt 2 ] && [ "$fd" -ne 255 ]; then eval "exec $fd>&-"; fi
done
[ "$(id -u)" -eq 0 ] || { say "building the image needs root (mmdebstrap, chroot)"; exit 1; }
mkdir -p "$cache"
# Parallel lanes may all ask for the image; one builds, the others wait and then reuse it.
exec 9>"$cache/.lock"
flock 9
if [ -f "$final/complete" ]; then echo "$final"; exit 0; fi
for d in "$final" "$work"; do [ -e "$d" ] && remove_tree "$d"; done
mkdir -p "$work"
log=$work/build.log
root=$work/root
: >"$log"

# shellcheck disable=SC2317  # runs from the trap
on_exit() {
    local rc=$?
    unmount_under "$root"
    if [ "$rc" -ne 0 ]; then
        say "image build failed; last lines of $log:"
        tail -n 40 "$log" >&2 || true
    fi
}
trap on_exit EXIT
trap 'exit 130' INT TERM HUP

run() { "$@" >>"$log" 2>&1; }

# The main Debian archive the machine already uses (the entry whose suites include bookworm),
# printed as "<uri> <suite>...", so that no mirror is named here.
find_mirror() {
    local f
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk 'BEGIN { RS = "" }
             { types = uris = suites = ""; on = 1
               n = split($0, l, "\n")
               for (i = 1; i <= n; i++) {
                   if (l[i] ~ /^[ \t]*#/ || l[i] !~ /:/) continue
                   k = tolower(substr(l[i], 1, index(l[i], ":") - 1))
                   v = substr(l[i], index(l[i], ":") + 1)
                   if (k == "types") types = " " v " "
                   else if (k == "uris") uris = v
                   else if (k == "suites") suites = v
                   else if (k == "enabled" && v ~ /no/) on = 0
               }
               if (on && types ~ /[ \t]deb[ \t]/ && (" " suites " ") ~ /[ \t]bookworm[ \t]/) {
                   split(uris, u, " "); print u[1], suites; exit
               } }' "$f"
    done
    if [ -f /etc/apt/sources.list ]; then
        awk '$1 == "deb" { i = 2
                           if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
                           if ($(i + 1) == "bookworm") { print $i, "bookworm"; exit } }' \
            /etc/apt/sources.list
    fi
}
read -r mirror _ < <(find_mirror | head -n 1) || true
[ -n "${mirror:-}" ] || { say "no Debian bookworm entry in the machine's apt sources"; exit 1; }
mirror=${mirror%/}

# One pass of mmdebstrap: apt resolves and fetches everything at once, with i386 enabled from
# the start, and dpkg runs under eatmydata (a build killed midway is thrown away, so nothing
# needs to survive a host crash). mmdebstrap keeps services from starting while it installs.
# The host kernel cannot run the i386 maintainer scripts; the few that try ignore the failure.
# The kernel's and initramfs-tools' scripts would each build an initramfs of every module,
# minutes apiece on a busy machine: update-initramfs does nothing until all is installed, and
# one small initramfs is made below.
say "Debian with the kernel, Wine and the test tools (mmdebstrap)"
# Only the release itself: the guest has no network and needs no later fixes, and an updates or
# security index caught mid-sync (or i386 packages that no longer match their amd64 twins
# there) must never stop the build. The release's own indexes change only at point releases.
sources=("deb $mirror bookworm main")
run mmdebstrap --mode=root --variant=minbase --architectures=amd64,i386 \
    --include="$(IFS=,; echo "${packages[*]}")" \
    --hook-dir=/usr/share/mmdebstrap/hooks/eatmydata --dpkgopt=force-unsafe-io \
    --essential-hook='chroot "$1" dpkg-divert --quiet --local --rename --add /usr/sbin/update-initramfs &&
                      printf "#!/bin/sh\nexit 0\n" >"$1/usr/sbin/update-initramfs" &&
                      chmod 755 "$1/usr/sbin/update-initramfs"' \
    bookworm "$root" "${sources[@]}"
rm -f "$root/etc/dpkg/dpkg.cfg.d/99mmdebstrap"

# The guest boots from a virtio disk holding ext4 and loads the 9p modules itself from there:
# an initramfs with only the root disk's drivers is made in seconds and boots faster than one
# with every module.
say "initramfs"
mount -t proc proc "$root/proc"
mount --bind /sys "$root/sys"
mount --bind /dev "$root/dev"
in_root() {
    run chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"
}
rm "$root/usr/sbin/update-initramfs"
in_root dpkg-divert --quiet --local --rename --remove /usr/sbin/update-initramfs
sed -i 's/^MODULES=.*/MODULES=list/' "$root/etc/initramfs-tools/initramfs.conf"
printf '%s\n' virtio_pci virtio_blk ext4 crc32c_generic >>"$root/etc/initramfs-tools/modules"
kernel=$(printf "%s\n" "$root"/boot/vmlinuz-* | sort -V | tail -n 1)
version=${kernel##*/vmlinuz-}
in_root update-initramfs -c -k "$version"
unmount_under "$root"

# PID 1 of the guest. No init system: boot takes seconds and only the job runs. The initramfs
# may already have moved /proc, /sys, /dev and /run over, hence the mountpoint checks.
cat >"$root/sbin/guest-init" <<'INIT'
#!/bin/bash
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8
mnt() { mountpoint -q "$3" || mount -t "$1" "$2" "$3" ${4:+-o "$4"}; }
mnt proc proc /proc
mnt sysfs sysfs /sys
mnt devtmpfs devtmpfs /dev
mkdir -p /dev/pts /dev/shm
mnt devpts devpts /dev/pts
mnt tmpfs tmpfs /dev/shm
mnt tmpfs tmpfs /run
mnt tmpfs tmpfs /tmp mode=1777
echo guest >/proc/sys/kernel/hostname
ip link set lo up 2>/dev/null || true
mkdir -p /mnt/share
# The default 8 KiB msize makes 9p several times slower for the job's input archive.
if modprobe 9pnet_virtio && modprobe 9p &&
   mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 share /mnt/share; then
    echo "guest-init: job starts"
    status=0
    (cd /root && exec /bin/bash /mnt/share/job.sh) </dev/null >/mnt/share/job.log 2>&1 || status=$?
    echo "guest-init: job exit status $status"
    echo "$status" >/mnt/share/job.status
else
    echo "guest-init: cannot mount the share"
fi
# Leftovers (wineserver, Xvfb) go first, so that the root file system is clean when the image
# build keeps it.
kill -KILL -1 2>/dev/null || true
sync
mount -o remount,ro / 2>/dev/null || true
echo o >/proc/sysrq-trigger
while :; do sleep 60; done
INIT
chmod 755 "$root/sbin/guest-init"
mkdir -p "$root/mnt/share"

cp "$kernel" "$work/vmlinuz"
cp "$root/boot/initrd.img-$version" "$work/initrd.img"

say "root file system image"
# -d fills the file system from the folder, so no loop mount is needed.
run mke2fs -q -t ext4 -L guest-root -d "$root" "$work/root.img" 6G
rm -rf --one-file-system "$root"

# wineboot takes minutes under emulation; paying that once here spares every test run.
say "win32 Wine prefix (about 3 min)"
share=$work/share
mkdir -p "$share"
# Once in a while, on a host busy with other work, wineboot has ended with status 53 and no
# prefix, saying nothing under WINEDEBUG=-all: a second try in the same boot is far cheaper than
# a failed image, and Wine's error lines go to the build log, so that the cause shows there.
cat >"$share/job.sh" <<'JOB'
set -u
export WINEARCH=win32 WINEPREFIX=/opt/wine-win32 WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=err+all,fixme-all
for try in 1 2; do
    status=0
    /usr/lib/wine/wine wineboot -i 2>/tmp/wineboot.err || status=$?
    wineserver -w
    # Less the complaints of a session without a display.
    grep -v -e ':nodrv_' -e ':ole:' -e ':systray:' /tmp/wineboot.err
    if [ "$status" -eq 0 ] && [ -f /opt/wine-win32/system.reg ]; then
        echo ok >/mnt/share/prefix.result
        exit 0
    fi
    echo "wineboot ended with $status on try $try"
    wineserver -k
    rm -rf /opt/wine-win32
done
exit 1
JOB
rc=0
# Not handing the lock to the guest: one left behind by a killed build must not block the next.
run "$here/guest-run.sh" --persist "$work" "$share" 1500 9>&- || rc=$?
cat "$share/job.log" >>"$log" 2>/dev/null || true
if [ "$rc" -ne 0 ] || [ "$(cat "$share/prefix.result" 2>/dev/null)" != ok ]; then
    say "the guest did not make the Wine prefix (status $rc)"
    exit 1
fi
rm -rf "$share"

echo "key $key, built $(date -u +%FT%TZ) from $mirror" >"$work/complete"
mv "$work" "$final"
log=$final/build.log
prune_others
say "image ready after $SECONDS s"
echo "$final"
