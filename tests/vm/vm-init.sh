#!/bin/busybox sh
# shellcheck shell=dash
# The guest's first and only process of its own (vm-image.sh puts it in the initramfs).
# Mounts its root read-only at /host (the build machine's own, or an unpacked Debian root),
# gives the guest its own /tmp, /run and /dev/shm, mounts the shares at their own paths,
# proves that only the session folder can be written, then runs the jobs that vm-run.sh
# leaves in that folder, each in a chroot, until it is told to stop or its time is up.
# vm-run.sh appends to the initramfs /vm/nonce, /vm/limit (seconds), /vm/mounts (lines
# "share TAG ro|rw PATH" or "tmpfs - - PATH") and, for a root that lacks the shares'
# mount points, /vm/overlay.
/bin/busybox --install -s /bin
export PATH=/bin
nonce=$(cat /vm/nonce 2>/dev/null)
limit=$(cat /vm/limit 2>/dev/null)

# Said on the console, where the runner reads it: anything that goes wrong before the
# guest is ready leaves no "ready" line, and the runner fails naming the console log.
say() { echo "dorvane-vm: $*"; }
fail() {
  say "$*"
  sync
  poweroff -f
  sleep 60
}

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
while read -r module; do
  insmod "/lib/modules/$module.ko" || fail "cannot load $module"
done </lib/modules/order

# Large messages, and a cache for what nobody changes while the guest runs; the session
# folder is read and written through.
options=trans=virtio,version=9p2000.L,msize=262144
if [ -e /vm/overlay ]; then
  # The mount points are made in memory over the read-only root, which then becomes
  # read-only as a whole once they are all there.
  mkdir -p /lower /upper
  mount -t 9p -o "$options,ro,cache=loose" root /lower || fail "the guest's root is not shared"
  if ! { mount -t tmpfs -o mode=755 guest-upper /upper && mkdir /upper/data /upper/work &&
    mount -t overlay -o lowerdir=/lower,upperdir=/upper/data,workdir=/upper/work guest-root /host; }; then
    fail "no mount points over the guest's root"
  fi
else
  mount -t 9p -o "$options,ro,cache=loose" root /host || fail "the build machine's files are not shared"
fi
for dir in tmp run; do
  mount -t tmpfs -o mode=1777 "guest-$dir" "/host/$dir" || fail "no /$dir of its own"
done
mount -t devtmpfs devtmpfs /host/dev || fail "no /dev"
mkdir -p /host/dev/pts /host/dev/shm
mount -t devpts devpts /host/dev/pts
mount -t tmpfs -o mode=1777 guest-shm /host/dev/shm || fail "no /dev/shm of its own"
for link in fd:fd stdin:fd/0 stdout:fd/1 stderr:fd/2; do
  ln -sf "/proc/self/${link#*:}" "/host/dev/${link%:*}"
done
mount -t proc proc /host/proc
mount -t sysfs sysfs /host/sys

# Shorter paths first, so that a mount inside another stays visible. A path under the
# guest's /tmp gets its mount point there, and over an overlay root anywhere; elsewhere
# the point must already exist.
session=""
sort -k4 /vm/mounts >/vm/mounts.sorted
while read -r kind tag mode path; do
  mkdir -p "/host$path" 2>/dev/null
  case $kind:$mode in
    share:rw)
      mount -t 9p -o "$options,rw,cache=mmap" "$tag" "/host$path" || fail "share $path is missing"
      session=$path
      ;;
    share:ro) mount -t 9p -o "$options,ro,cache=loose" "$tag" "/host$path" || fail "share $path is missing" ;;
    tmpfs:*) mount -t tmpfs -o mode=755 guest-folder "/host$path" || fail "no guest folder at $path" ;;
  esac
done </vm/mounts.sorted
[ -n "$session" ] || fail "no session folder"
if [ -e /vm/overlay ]; then
  mount -o remount,ro /host || fail "the guest's root stays writable"
fi

# The guest may write to the session folder and to its own memory, and nowhere else.
probe=.dorvane-vm-write-probe-$nonce
while read -r kind tag mode path; do
  [ "$kind:$mode" = share:ro ] || continue
  if touch "/host$path/$probe" 2>/dev/null; then
    rm -f "/host$path/$probe"
    fail "the guest could write to $path"
  fi
done </vm/mounts.sorted
if touch "/host/$probe" 2>/dev/null; then
  rm -f "/host/$probe"
  fail "the guest could write to /"
fi
touch "/host$session/$probe" 2>/dev/null || fail "the guest cannot write to $session"
rm -f "/host$session/$probe"
say "ready $nonce: writable only $session"

# The guest's own end, should nobody outside be left to end it.
if [ -n "$limit" ]; then
  (
    sleep "$limit"
    fail "the time limit of $limit s is up"
  ) &
fi

# Jobs: the runner writes jobs/ID.sh and then jobs/ID.go; each runs in the background with
# its output in jobs/ID.out and, when it has ended, its status in jobs/ID.status.
# (The wait between looks is a read that times out: a sleep would be a process started five
# times a second, each costly in an emulated guest.)
jobs=/host$session/jobs
if ! mkfifo /vm/tick || ! exec 3<>/vm/tick; then fail "no fifo to wait on"; fi
while [ ! -e "/host$session/stop" ]; do
  for go in "$jobs"/*.go; do
    [ -e "$go" ] || continue
    id=${go%.go}
    rm -f "$go"
    (
      exec 3<&-
      chroot /host /bin/bash "${id#/host}.sh" </dev/null >"$id.out" 2>&1
      echo $? >"$id.status.new"
      mv "$id.status.new" "$id.status"
    ) &
  done
  # shellcheck disable=SC3045 # (busybox's read takes -t, in fractions of a second too)
  read -r -t 0.2 -u 3 _
done
say "stopping"
kill -TERM -1 2>/dev/null
sleep 1
kill -KILL -1 2>/dev/null
sync
say "stopped $nonce"
poweroff -f
sleep 60
