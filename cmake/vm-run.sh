#!/usr/bin/env bash
# Runs commands in a throwaway virtual machine with Debian's own kernel, for programs this
# machine's kernel cannot run (32-bit code where IA-32 emulation is off). The guest sees
# this machine's files read-only at their own paths, has its own /tmp, /run and /dev/shm,
# and may write only to its session folder (and to guest-memory folders given with
# --tmpfs, gone with the guest). A command's output (stdout and stderr together) and exit
# status become this script's own. A guest that panics, hangs past its time, loses a
# share or reports no status fails, naming its console log; it never passes.
#
#   vm-run.sh start SESSION --cache DIR [--ro PATH]... [--tmpfs PATH]... [--limit S]
#             [-- COMMAND...]   boot a guest that serves SESSION, then run COMMAND in it
#   vm-run.sh run SESSION [--timeout S] -- COMMAND...
#   vm-run.sh stop SESSION [-- COMMAND...]   run COMMAND, then power the guest off
#   vm-run.sh once SESSION --cache DIR [options of start] -- COMMAND...
#
# --ro shares PATH read-only at its own path (needed under /tmp and /run, which the guest
# has of its own). --limit bounds the guest's whole life; a guest whose caller (the
# process that started it) is gone is stopped too.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
usage() { sed -n '/^#   vm-run/,/^#$/p' "$0" | cut -c3- >&2; exit 2; }
[ $# -ge 2 ] || usage
action=$1
mkdir -p "$2"
session=$(cd "$2" && pwd)
shift 2
cache="" limit=1800 timeout=600 mounts=() command=()
while [ $# -gt 0 ]; do
  case $1 in
    --cache) cache=$2; shift 2 ;;
    --ro) mounts+=("share ro $(realpath -e "$2")"); shift 2 ;;
    --tmpfs) mkdir -p "$2"; mounts+=("tmpfs - $(realpath -e "$2")"); shift 2 ;;
    --limit) limit=$2; shift 2 ;;
    --timeout) timeout=$2; shift 2 ;;
    --) shift; command=("$@"); break ;;
    *) usage ;;
  esac
done
console=$session/console.log

fail() {
  echo "vm-run.sh: FAIL: $*; console log: $console" >&2
  exit 1
}
guest_pid() { cat "$session/qemu.pid" 2>/dev/null; }
alive() { local pid; pid=$(guest_pid) && [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; }
# Why a guest that should be running is not.
why_gone() {
  if grep -q 'Kernel panic' "$console" 2>/dev/null; then
    echo "the guest's kernel panicked"
  elif grep -q '^dorvane-vm: ' "$console" 2>/dev/null; then
    echo "the guest stopped: $(grep '^dorvane-vm: ' "$console" | tail -1 | tr -d '\r')"
  else
    echo "the guest is gone ($(tail -1 "$session/qemu.log" 2>/dev/null))"
  fi
}

start() {
  [ -n "$cache" ] || usage
  if alive; then
    fail "a guest already serves $session"
  fi
  local image nonce accel cpus i=0 mount kind mode path
  image=$("$here/vm-image.sh" "$cache")
  rm -rf "$session/jobs" "$session/extra" "$session/stop" "$console" "$session/qemu.pid"
  mkdir -p "$session/jobs" "$session/extra/vm"
  nonce=$(od -An -tx8 -N8 /dev/urandom | tr -d ' ')
  echo "$nonce" >"$session/extra/vm/nonce"
  local shares=(-virtfs "local,path=/,mount_tag=root,security_model=none,readonly=on,multidevs=remap")
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

  # KVM where this machine offers it, software emulation otherwise (without SMAP, which
  # qemu 7.2 emulates wrongly for 32-bit code: wine's first iret would oops).
  if [ -r /dev/kvm ] && [ -w /dev/kvm ]; then
    accel=(-accel kvm -cpu host)
  else
    accel=(-accel tcg,thread=multi -cpu max,smap=off)
  fi
  cpus=$(nproc)
  [ "$cpus" -le 4 ] || cpus=4
  # Detached from the caller's output, so that a test that started it can end.
  setsid timeout -s KILL "$limit" qemu-system-x86_64 -nodefaults -no-user-config -display none \
    -no-reboot "${accel[@]}" -smp "$cpus" -m 3072 \
    -kernel "$image/vmlinuz" -initrd "$session/initrd" \
    -append "console=ttyS0 quiet panic=-1 oops=panic rdinit=/init" \
    -serial "file:$console" -monitor none "${shares[@]}" \
    </dev/null >"$session/qemu.log" 2>&1 &
  echo $! >"$session/qemu.pid"
  # Should the caller go without stopping it (a test run cut off), the guest goes too.
  local owner=$PPID guest=$!
  setsid bash -c 'while kill -0 "$1" 2>/dev/null && kill -0 "$2" 2>/dev/null; do sleep 2; done
                  kill -KILL "$2" 2>/dev/null' watcher "$owner" "$guest" </dev/null >/dev/null 2>&1 &

  local waited=0
  until grep -q "^dorvane-vm: ready $nonce" "$console" 2>/dev/null; do
    alive || fail "$(why_gone) before it was ready"
    [ $waited -lt 1200 ] || { stop_guest; fail "the guest was not ready after 120 s"; }
    sleep 0.1
    waited=$((waited + 1))
  done
  echo "vm-run.sh: guest ready in $((waited / 10)) s ($(grep -o 'writable only .*' "$console" | tr -d '\r'))"
}

run() {
  [ ${#command[@]} -gt 0 ] || usage
  alive || fail "no guest serves $session: $(why_gone)"
  local id jobs=$session/jobs
  id=$(date +%s%N)-$$
  {
    echo "# The command as the caller gave it, in the caller's folder and environment;"
    echo "# HOME is the guest's own, since the real one is read-only there."
    export -p | grep -vE '^declare -x (HOME|PWD|OLDPWD|SHLVL|TMPDIR)='
    echo "export HOME=/tmp/home TMPDIR=/tmp"
    echo "mkdir -p /tmp/home"
    printf 'cd -- %q || exit 125\n' "$PWD"
    printf 'exec'
    printf ' %q' "${command[@]}"
    echo
  } >"$jobs/$id.sh"
  touch "$jobs/$id.go"
  local waited=0 limit_tenths=$((timeout * 10))
  until [ -e "$jobs/$id.status" ]; do
    if ! alive; then
      cat "$jobs/$id.out" 2>/dev/null
      fail "$(why_gone) while running: ${command[*]}"
    fi
    if [ $waited -ge $limit_tenths ]; then
      cat "$jobs/$id.out" 2>/dev/null
      fail "no status from the guest after $timeout s: ${command[*]}"
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  cat "$jobs/$id.out"
  local status
  status=$(cat "$jobs/$id.status")
  rm -f "$jobs/$id".*
  [[ $status =~ ^[0-9]+$ ]] || fail "a garbled status '$status'"
  return "$status"
}

stop_guest() {
  local pid waited=0
  pid=$(guest_pid) || return 0
  touch "$session/stop"
  while kill -0 "$pid" 2>/dev/null && [ $waited -lt 300 ]; do
    sleep 0.1
    waited=$((waited + 1))
  done
  kill -KILL "$pid" 2>/dev/null || true
  rm -f "$session/qemu.pid" "$session/initrd"
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
    start
    trap stop_guest EXIT
    run
    ;;
  *) usage ;;
esac
