#!/usr/bin/env bash
# Runs commands in a throwaway virtual machine with Debian's own kernel, for programs this
# machine cannot run: 32-bit x86 code where the kernel's IA-32 emulation is off, or ARM64
# code. The guest sees a root read-only (this machine's own for an x86_64 guest, an
# unpacked Debian arm64 root for an arm64 one) with this machine's shares read-only at
# their own paths, has its own /tmp, /run and /dev/shm, and may write only to its session
# folder (and to guest-memory folders given with --tmpfs, gone with the guest). A
# command's output (stdout and stderr together) and exit status become this script's
# own. A guest that panics, hangs past its time, loses a share or reports no status
# fails, naming its console log; it never passes.
#
#   vm-run.sh start SESSION --cache DIR [--arch x86_64|arm64] [--ro PATH]... [--tmpfs PATH]...
#             [--limit S] [--ready-timeout S] [-- COMMAND...]
#                                     boot a guest that serves SESSION, then run COMMAND in it
#   vm-run.sh run SESSION [--timeout S] -- COMMAND...
#   vm-run.sh stop SESSION [-- COMMAND...]   run COMMAND, then power the guest off
#   vm-run.sh once SESSION --cache DIR [options of start] -- COMMAND...
#   vm-run.sh accel --cache DIR [--arch A]   the accelerator a guest would get, and why
#
# --ro shares PATH read-only at its own path. --limit bounds the guest's whole life
# (default 1800 s); a guest whose caller (the process that started it) is gone is killed
# within seconds. qemu is killed by its own pid and process group, never through a wrapper.
#
# Acceleration: KVM only where it really runs a guest (a guest of this machine's own
# architecture, a usable /dev/kvm, a CPU flag for it, and a probe boot, whose answer is
# cached in the cache folder); software emulation otherwise. DORVANE_VM_ACCEL=kvm|tcg
# forces either. DORVANE_VM_QEMU, DORVANE_VM_KVM_DEVICE and DORVANE_VM_CPUINFO stand in
# for qemu, /dev/kvm and /proc/cpuinfo in the runner's own tests. DORVANE_VM_CPUS sets the
# guest's virtual CPUs (default: this machine's cores, at most 4).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
usage() { sed -n '/^#   vm-run/,/^#$/p' "$0" | cut -c3- >&2; exit 2; }
[ $# -ge 1 ] || usage
action=$1
shift
session=""
if [ "$action" != accel ]; then
  [ $# -ge 1 ] || usage
  mkdir -p "$1"
  session=$(cd "$1" && pwd)
  shift
fi
cache="" arch=x86_64 limit=1800 timeout=600 ready_timeout=120 mounts=() command=()
while [ $# -gt 0 ]; do
  case $1 in
    # Each sets the variable of its name (--ready-timeout: ready_timeout).
    --cache | --arch | --limit | --timeout | --ready-timeout)
      name=${1#--}; printf -v "${name//-/_}" %s "$2"; shift 2 ;;
    --ro) mounts+=("share ro $(realpath -e "$2")"); shift 2 ;;
    --tmpfs) mkdir -p "$2"; mounts+=("tmpfs - $(realpath -e "$2")"); shift 2 ;;
    --) shift; command=("$@"); break ;;
    *) usage ;;
  esac
done
console=$session/console.log
# Each guest's board, console and emulated CPU. x86_64: without SMAP, which qemu 7.2 emulates
# wrongly for 32-bit code (wine's first iret would oops). arm64: emulated pointer
# authentication makes everything three to four times slower; emulated SVE (which glibc's
# string functions pick) costs wine's prefix a tenth more. The plain v8.0 cortex-a72 is
# slower still: its atomics are emulated as load/store loops.
case $arch in
  x86_64) qemu=qemu-system-x86_64 board=() tty=ttyS0 cpu=max,smap=off ;;
  arm64) qemu=qemu-system-aarch64 board=(-M virt) tty=ttyAMA0 cpu=max,pauth=off,sve=off ;;
  *) echo "vm-run.sh: unknown guest architecture '$arch' (x86_64, arm64)" >&2; exit 2 ;;
esac
qemu=${DORVANE_VM_QEMU:-$qemu}
kvm_device=${DORVANE_VM_KVM_DEVICE:-/dev/kvm}
cpuinfo=${DORVANE_VM_CPUINFO:-/proc/cpuinfo}

fail() {
  echo "vm-run.sh: FAIL: $*; console log: $console" >&2
  exit 1
}
guest_pid() { cat "$session/guest.pid" 2>/dev/null; }
# The pid is qemu's own only while its command line names this session's console: a
# number reused by another process is never signalled.
ours() { { tr '\0' ' ' <"/proc/$1/cmdline"; } 2>/dev/null | grep -qF -- "file:$console "; }
alive() { local pid; pid=$(guest_pid) && [ -n "$pid" ] && ours "$pid"; }
# Why a guest that should be running is not.
why_gone() {
  if grep -q 'Kernel panic' "$console" 2>/dev/null; then
    echo "the guest's kernel panicked"
  elif grep -q '^dorvane-vm: ' "$console" 2>/dev/null; then
    echo "the guest stopped: $(grep '^dorvane-vm: ' "$console" | tail -1 | tr -d '\r')"
  else
    echo "qemu is gone ($(grep -v '^$' "$session/qemu.log" 2>/dev/null | tail -1))"
  fi
}
# setsid made qemu the leader of its own process group: the group goes with it.
kill_guest() { ! alive || kill -KILL -- "-$(guest_pid)" "$(guest_pid)" 2>/dev/null || true; }

# OWNER PID DEADLINE: kills the guest once its caller is gone or its time is up (run
# detached, by the watcher), and says what it did in the session's watcher.log. It gives
# the guest up only when its pid has gone, or has been some other process's on three
# looks in a row: one look that failed (a fork refused on a loaded machine) must not
# leave a guest unwatched.
watch() {
  local misses=0
  while kill -0 "$2" 2>/dev/null; do
    if ours "$2"; then
      misses=0
      if ! kill -0 "$1" 2>/dev/null || [ "$(date +%s)" -ge "$3" ]; then
        echo "$(date +%s): caller $1 gone or time up; killing qemu $2"
        kill -KILL -- "-$2" "$2" 2>/dev/null
        return
      fi
    elif [ $((misses += 1)) -ge 3 ]; then
      echo "$(date +%s): pid $2 is no longer this guest's qemu; watching ends"
      return
    fi
    sleep 1
  done
  echo "$(date +%s): qemu $2 has ended"
}

# Prints the accelerator ("kvm" or "tcg") and why, on one line.
choose_accel() {
  local forced=${DORVANE_VM_ACCEL:-auto}
  case $forced in
    kvm | tcg) echo "$forced forced by DORVANE_VM_ACCEL=$forced"; return ;;
    auto | "") ;;
    *) echo "vm-run.sh: DORVANE_VM_ACCEL=$forced: kvm, tcg or auto" >&2; exit 2 ;;
  esac
  local host
  host=$(uname -m | sed 's/^aarch64$/arm64/')
  if [ "$host" != "$arch" ]; then
    echo "tcg an $arch guest on an $host machine"
  elif [ ! -r "$kvm_device" ] || [ ! -w "$kvm_device" ]; then
    echo "tcg no usable $kvm_device"
  elif [ "$arch" = x86_64 ] && ! grep -qwE 'vmx|svm' "$cpuinfo"; then
    echo "tcg $kvm_device is there, but the CPU has no vmx or svm flag"
  else
    probe_kvm
  fi
}

# Boots the guest once with KVM and keeps the answer, keyed by what it depends on.
probe_kvm() {
  local key file answer detail
  key=$({ echo "$arch $qemu $kvm_device"; command -v "$qemu"; "$qemu" --version 2>&1 | head -1
          uname -r; grep -m1 -E '^(flags|Features)' "$cpuinfo"; } | sha256sum | cut -c1-16)
  file=$cache/kvm-probe/$arch-$key
  if [ -f "$file" ]; then
    read -r answer detail <"$file"
    echo "$answer $detail (probed before: $file)"
    return
  fi
  mkdir -p "$cache/kvm-probe"
  if DORVANE_VM_ACCEL=kvm "$0" once "$cache/kvm-probe/session-$arch" --cache "$cache" --arch "$arch" \
       --limit 90 --ready-timeout 30 -- true >"$file.log" 2>&1; then
    answer=kvm detail="KVM booted a probe guest"
  else
    answer=tcg detail="KVM failed its probe boot: $(sed -n 's/^vm-run.sh: FAIL: \(.*\); console log: .*/\1/p' \
      "$file.log" | head -1 | cut -c1-200)"
  fi
  echo "$answer $detail" | tee "$file"
}

start() {
  [ -n "$cache" ] || usage
  ! alive || fail "a guest already serves $session"
  local image nonce accel reason cpus i=0 mount kind mode path root=/
  image=$("$here/vm-image.sh" "$arch" "$cache")
  [ ! -d "$image/root" ] || root=$image/root
  read -r accel reason < <(choose_accel)
  echo "vm-run.sh: accelerator: $accel ($reason)"
  rm -rf "$session/jobs" "$session/extra" "$session/stop" "$console" "$session/guest.pid" "$session/qemu.pid" \
    "$session/watcher.log"
  mkdir -p "$session/jobs" "$session/extra/vm"
  nonce=$(od -An -tx8 -N8 /dev/urandom | tr -d ' ')
  echo "$nonce" >"$session/extra/vm/nonce"
  echo "$limit" >"$session/extra/vm/limit"
  # A root other than this machine's own lacks the shares' mount points: the guest makes
  # them in its memory, over the read-only root.
  [ "$root" = / ] || touch "$session/extra/vm/overlay"
  local shares=(-virtfs "local,path=$root,mount_tag=root,security_model=none,readonly=on,multidevs=remap")
  for mount in "share rw $session" "${mounts[@]}"; do
    read -r kind mode path <<<"$mount"
    if [ "$kind" = share ]; then
      local ro=""
      [ "$mode" = rw ] || ro=",readonly=on"
      shares+=(-virtfs "local,path=$path,mount_tag=share$i,security_model=none,multidevs=remap$ro")
      echo "share share$i $mode $path" >>"$session/extra/vm/mounts"
      i=$((i + 1))
    else
      echo "tmpfs - - $path" >>"$session/extra/vm/mounts"
    fi
  done
  # The session's own files, appended to the initramfs as a second archive.
  cp "$image/initrd" "$session/initrd"
  (cd "$session/extra" && find . | LC_ALL=C sort | cpio --quiet -o -H newc -R 0:0) | gzip -1 -n >>"$session/initrd"
  rm -rf "$session/extra"

  local machine=(-accel "tcg,thread=multi" -cpu "$cpu")
  [ "$accel" != kvm ] || machine=(-accel kvm -cpu host)
  cpus=${DORVANE_VM_CPUS:-$(nproc)}
  [ "$cpus" -le 4 ] || cpus=4
  # The guest runs nothing but tests: its kernel's side-channel mitigations (a page-table
  # switch on every system call, costly to emulate) only slow it, wine's prefix by 12%.
  # setsid, not being run by a process group leader, turns into qemu itself: $! is qemu's
  # own pid, and qemu leads a process group of its own, apart from the caller's. Its CPU
  # time is bounded by the kernel, whoever else is left.
  (
    ulimit -t $((limit * cpus))
    exec setsid "$qemu" -nodefaults -no-user-config -display none -no-reboot "${board[@]}" "${machine[@]}" \
      -smp "$cpus" -m 3072 -kernel "$image/vmlinuz" -initrd "$session/initrd" \
      -append "console=$tty quiet panic=-1 oops=panic rdinit=/init mitigations=off" \
      -serial "file:$console" -monitor none -pidfile "$session/qemu.pid" "${shares[@]}"
  ) </dev/null >"$session/qemu.log" 2>&1 &
  local pid=$! wait=0
  echo "$pid" >"$session/guest.pid"
  # Until its exec the subshell is bash, not yet qemu: wait for that (a few ms), or the
  # watcher and the checks below would take the guest for gone.
  while ! ours "$pid" && kill -0 "$pid" 2>/dev/null && [ $wait -lt 200 ]; do
    sleep 0.05
    wait=$((wait + 1))
  done
  # Should the caller go without stopping it (a test run cut off or killed), or the limit
  # pass, the guest goes too; the guest also powers itself off at its limit.
  local owner=$PPID deadline=$(($(date +%s) + limit))
  setsid bash -c "console=$(printf %q "$console"); $(declare -f ours watch); watch $owner $pid $deadline" \
    </dev/null >"$session/watcher.log" 2>&1 &
  trap 'kill_guest' INT TERM

  # Wall-clock time: on a loaded machine each turn of a loop takes longer than its sleep.
  # One look that failed (a fork refused on a loaded machine) is not a guest gone: three
  # in a row are.
  local began=$SECONDS missed=0
  until grep -q "^dorvane-vm: ready $nonce" "$console" 2>/dev/null; do
    if alive; then
      missed=0
    elif [ $((missed += 1)) -ge 3 ]; then
      [ "$accel" != kvm ] || fail "qemu failed with KVM ($reason): $(why_gone)"
      fail "$(why_gone) before it was ready"
    fi
    if [ $((SECONDS - began)) -ge "$ready_timeout" ]; then
      kill_guest
      fail "the guest was not ready after $ready_timeout s (accelerator $accel: $reason)"
    fi
    sleep 0.1
  done
  trap - INT TERM
  [ "$(cat "$session/qemu.pid" 2>/dev/null)" = "$pid" ] || {
    kill_guest
    fail "qemu's own pid ($(cat "$session/qemu.pid" 2>/dev/null)) is not the one started ($pid)"
  }
  echo "vm-run.sh: guest ready in $((SECONDS - began)) s ($(grep -o 'writable only .*' "$console" | tr -d '\r'))"
}

run() {
  [ ${#command[@]} -gt 0 ] || usage
  alive || fail "no guest serves $session: $(why_gone)"
  local id jobs=$session/jobs
  id=$(date +%s%N)-$$
  # The job: the command as the caller gave it, in the caller's folder and environment;
  # HOME is the guest's own, since the real one is read-only there.
  {
    export -p | grep -vE '^declare -x (HOME|PWD|OLDPWD|SHLVL|TMPDIR)='
    echo "export HOME=/tmp/home TMPDIR=/tmp"
    echo "mkdir -p /tmp/home"
    printf 'cd -- %q || exit 125\n' "$PWD"
    echo "exec ${command[*]@Q}"
  } >"$jobs/$id.sh"
  touch "$jobs/$id.go"
  local began=$SECONDS why
  until [ -e "$jobs/$id.status" ]; do
    why=""
    [ $((SECONDS - began)) -lt "$timeout" ] || why="no status from the guest after $timeout s"
    alive || why="$(why_gone) while running"
    if [ -n "$why" ]; then
      cat "$jobs/$id.out" 2>/dev/null
      fail "$why: ${command[*]}"
    fi
    sleep 0.1
  done
  cat "$jobs/$id.out"
  local status
  status=$(cat "$jobs/$id.status")
  rm -f "$jobs/$id".*
  [[ $status =~ ^[0-9]+$ ]] || fail "a garbled status '$status'"
  return "$status"
}

stop_guest() {
  local pid began=$SECONDS
  pid=$(guest_pid) || return 0
  touch "$session/stop"
  while ours "$pid" && [ $((SECONDS - began)) -lt 30 ]; do
    sleep 0.1
  done
  kill_guest
  rm -f "$session/guest.pid" "$session/initrd"
}

case $action in
  start)
    start
    [ ${#command[@]} = 0 ] || run
    ;;
  run) run ;;
  stop)
    status=0
    [ ${#command[@]} = 0 ] || run || status=$?
    stop_guest
    grep -q '^dorvane-vm: stopped' "$console" || fail "the guest did not stop cleanly"
    echo "vm-run.sh: guest stopped"
    exit $status
    ;;
  once)
    trap stop_guest EXIT
    start
    run
    ;;
  accel)
    [ -n "$cache" ] || usage
    choose_accel
    ;;
  *) usage ;;
esac
