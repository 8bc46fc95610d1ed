#!/usr/bin/env bash
# The test VM's runner held to what the suites rely on: the accelerator it picks, a
# command's output and status coming back as its own, a guest that can write only to its
# session folder, a time limit that fails naming the console log, and no qemu left once
# the caller is gone. One guest boot serves all but the accelerator checks, which use a
# qemu that cannot start KVM, as on a machine whose /dev/kvm is there but cannot run a
# guest.
# usage: runner_test.sh x86_64|arm64 CACHE_DIR SOURCE_DIR WORK_DIR
set -u
arch=$1 src=$3
mkdir -p "$2" "$4"
cache=$(cd "$2" && pwd) work=$(cd "$4" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
runner=$here/vm-run.sh
source "$here/../checks.sh"
session=$work/session
unset DORVANE_VM_ACCEL
# The image of the init and scripts as they are now, not one an earlier build left.
"$here/vm-image.sh" --refresh "$arch" "$cache" >/dev/null || exit
host=$(uname -m | sed 's/^aarch64$/arm64/')
real_qemu=$(command -v "qemu-system-${arch/arm64/aarch64}")

# What real qemu did there: an assertion, and an abort.
cat >"$tmp/qemu" <<EOF
#!/bin/bash
for word; do
  if [ "\$word" = kvm ]; then
    echo "kvm_buf_set_msrs: Assertion \\\`ret == cpu->kvm_msr_buf->nmsrs' failed." >&2
    kill -ABRT \$\$
  fi
done
exec "$real_qemu" "\$@"
EOF
chmod +x "$tmp/qemu"
touch "$tmp/kvm"
echo "flags : fpu vme de pse tsc msr pae mce cx8 vmx" >"$tmp/cpuinfo-vmx"
echo "flags : fpu vme de pse tsc msr pae mce cx8" >"$tmp/cpuinfo-plain"
fake=(DORVANE_VM_QEMU="$tmp/qemu" DORVANE_VM_KVM_DEVICE="$tmp/kvm" DORVANE_VM_CPUINFO="$tmp/cpuinfo-vmx")
# No qemu of this session, or of this test's fake, is running.
gone() { ! pgrep -f -- "file:$1" >/dev/null; }

# NAME WANT ENV...: the accelerator line for those settings (the probe, where one is made,
# boots the faked KVM).
accel_case() {
  local name=$1 want=$2 got why=""
  shift 2
  got=$(env "${fake[@]}" "$@" "$runner" accel --cache "$cache" --arch "$arch" 2>&1)
  # shellcheck disable=SC2053 # WANT is a pattern
  [[ $got == $want ]] || why="got '$got'"
  record "accelerator, $name: ${got:0:90}" "$why"
}
if [ "$host" = "$arch" ]; then
  accel_case "forced" "tcg forced by DORVANE_VM_ACCEL=tcg" DORVANE_VM_ACCEL=tcg
  accel_case "no device" "tcg no usable /nonexistent/kvm" DORVANE_VM_KVM_DEVICE=/nonexistent/kvm
  [ "$arch" != x86_64 ] ||
    accel_case "no CPU flag" "tcg * but the CPU has no vmx or svm flag" DORVANE_VM_CPUINFO="$tmp/cpuinfo-plain"
  accel_case "KVM that cannot start" "tcg KVM failed its probe boot: *Assertion*"
  accel_case "the probe's answer kept" "tcg KVM failed its probe boot: *probed before: *"
  want_start="tcg (KVM failed its probe boot*"
else
  accel_case "foreign guest" "tcg an $arch guest on an $host machine"
  want_start="tcg (an $arch guest on an $host machine)"
fi

# A forced KVM that cannot start fails at once and says so, leaving no qemu.
why=""
began=$SECONDS
env "${fake[@]}" DORVANE_VM_ACCEL=kvm "$runner" start "$work/forced" --cache "$cache" --arch "$arch" \
  --ready-timeout 60 >"$tmp/forced.log" 2>&1 && why="it started"
grep -q 'FAIL: qemu failed with KVM (forced by DORVANE_VM_ACCEL=kvm): .*Assertion.*console log: ' "$tmp/forced.log" ||
  why=$(why_not "$why" "$(tail -1 "$tmp/forced.log")")
[ $((SECONDS - began)) -le 30 ] || why=$(why_not "$why" "took $((SECONDS - began)) s")
gone "$work/forced/console.log" || why=$(why_not "$why" "its qemu is still running")
record "forced KVM that cannot start: reported in $((SECONDS - began)) s" "$why"

# The guest for the rest, started by a caller of its own that the last check kills.
rm -rf "$session"
began=$SECONDS
# shellcheck disable=SC2016 # expanded by the inner shell, from its arguments
env "${fake[@]}" bash -c '"$0" start "$1" --cache "$2" --arch "$3" --ro "$4" --limit 600 >"$5" 2>&1
                          echo $? >"$5.status"
                          exec sleep 900' \
  "$runner" "$session" "$cache" "$arch" "$src" "$tmp/start.log" </dev/null &
caller=$!
disown "$caller"
until [ -e "$tmp/start.log.status" ] || [ $((SECONDS - began)) -gt 300 ]; do sleep 0.2; done
why=""
[ "$(cat "$tmp/start.log.status" 2>/dev/null)" = 0 ] || why="start failed: $(tail -2 "$tmp/start.log" | tr '\n' ' ')"
# shellcheck disable=SC2053 # a pattern
[[ $(grep -m1 'accelerator:' "$tmp/start.log") == "vm-run.sh: accelerator: "$want_start ]] ||
  why=$(why_not "$why" "$(grep -m1 'accelerator:' "$tmp/start.log")")
record "guest ready in $((SECONDS - began)) s: $(grep -o 'accelerator: .*' "$tmp/start.log" | cut -c1-70)" "$why"

guest() {  # [--timeout S] -- COMMAND...: runs it in the guest, from this folder
  (cd "$work" && "$runner" run "$session" "$@")
}

# The job's output and status are the runner's own, read only once the job has ended.
why=""
out=$(guest -- sh -c 'echo out; echo err >&2; sleep 2; echo late; exit 7' 2>&1)
status=$?
[ $status = 7 ] || why="status $status, expected 7"
[ "$out" = $'out\nerr\nlate' ] || why=$(why_not "$why" "output '$out'")
record "a command's output and status 7 come back" "$why"

# Where the guest may write: refused on its root, /etc and the source tree; the session
# folder works, and is this machine's own.
probe=dorvane-write-probe-$$
# shellcheck disable=SC2016 # the guest's shell expands these
out=$(guest -- bash -c 'for dir in "$@"; do
                          if touch "$dir/'"$probe"'" 2>/dev/null; then echo "$dir written"; else echo "$dir refused"; fi
                        done' writes / /etc "$src" "$session" 2>&1)
for row in "/:refused" "/etc:refused" "$src:refused" "$session:written"; do
  dir=${row%:*} want=${row##*:}
  why=""
  grep -qxF "$dir $want" <<<"$out" || why="got '$(grep -F "$dir " <<<"$out" | head -1)'"
  [ "$want" = refused ] || [ -e "$session/$probe" ] || why=$(why_not "$why" "not in $session here")
  record "a write to $dir is $want" "$why"
done
rm -f "$session/$probe"

why=""
began=$SECONDS
out=$(guest --timeout 3 -- sleep 60 2>&1) && why="it passed"
grep -q "FAIL: no status from the guest after 3 s: sleep 60; console log: $session/console.log" <<<"$out" ||
  why=$(why_not "$why" "'$(tail -1 <<<"$out")'")
[ $((SECONDS - began)) -le 15 ] || why=$(why_not "$why" "took $((SECONDS - began)) s")
record "a command past --timeout fails, naming the console log" "$why"

# The caller goes without stopping the guest, as a killed test run would. The watcher must
# act within 10 s; the process may then take a while to end on a loaded machine.
why=""
killed_at=$(date +%s)
kill -KILL "$caller"
began=$SECONDS
until gone "$session/console.log" || [ $((SECONDS - began)) -gt 60 ]; do sleep 0.5; done
watcher=$(tr '\n' ' ' <"$session/watcher.log" 2>/dev/null)
if ! gone "$session/console.log"; then
  # What it was doing, and what the watcher made of it.
  state=$(pgrep -f -- "file:$session/console.log" | head -3 |
            while read -r pid; do ps -o pid=,stat=,wchan:24=,comm= -p "$pid"; done | tr -s ' \n' '  ')
  why="qemu still runs after $((SECONDS - began)) s ($state); watcher: '$watcher'"
fi
acted=$(sed -n 's/^\([0-9]*\): caller .* killing qemu .*/\1/p' "$session/watcher.log" 2>/dev/null)
if [ -z "$acted" ]; then
  why=$(why_not "$why" "the watcher did not kill it: '$watcher'")
elif [ $((acted - killed_at)) -gt 10 ]; then
  why=$(why_not "$why" "the watcher took $((acted - killed_at)) s")
fi
record "the caller killed: its watcher kills the guest, none left after $((SECONDS - began)) s" "$why"
pkill -KILL -f -- "file:$session/console.log" 2>/dev/null
pkill -KILL -f -- "$tmp/qemu" 2>/dev/null

finish
