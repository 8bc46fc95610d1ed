#!/usr/bin/env bash
# Runs dorvane.exe under wine for a table of command lines that make a request, and reads
# wine's relay trace of the program's own platform calls: their order, their arguments
# and the flag word that reaches ExitWindowsEx. Wine accepts the request by ending the
# session of the prefix, so every case gets a throwaway copy of the pristine template (but
# the one case of "last" below).
# usage: request_test.sh win32|win64|arm64 WINE_DIR DORVANE_EXE [last]
#   last: the one case that sets every flag bit, in the suite's own prefix, whose session
#         it ends: the last test that runs there (in a test VM, where a fresh prefix's
#         first start alone takes ten seconds or more)
set -u
here=$(cd "$(dirname "$0")" && pwd)
run=$here/wine-run.sh
arch=$1 dir=$2 exe=$3 last=${4-}
"$run" "$arch" --check || exit
source "$here/../checks.sh"

# NAME FLAGS [WORD...]: run one case in its own prefix (or the suite's, last); leaves its
# files in $dir/req-NAME.
run_case() {
  local name=$1
  shift 2
  local prefix=$dir/req-$name files=$dir/req-$name
  if [ "$last" = last ]; then
    prefix=$dir/prefix
  else
    bash "$here/prefix.sh" copy "$arch" "$dir" "req-$name"
  fi
  WINEDEBUG=+relay "$run" "$arch" "$prefix" "$exe" "$@" >"$files.out" 2>"$files.err" </dev/null
  echo $? >"$files.status"
  # The session has ended; the suite's own prefix is the teardown's to stop, a copy's
  # server and helpers go down with it here.
  [ "$last" != last ] || return 0
  timeout 20 "$run" "$arch" --server "$prefix" -k 2>/dev/null
  timeout 20 "$run" "$arch" --server "$prefix" -w 2>/dev/null
  rm -rf "$prefix"
}

# Wine prints each argument as at least 8 hex digits: a 32-bit one as exactly 8, a 64-bit
# one (a pointer, the pseudo-handle -1) as many as it needs.
h='[0-9a-f]{8,16}' self=ffffffffffffffff
[ "$arch" != win32 ] || h='[0-9a-f]{8}' self=ffffffff
# NAME FLAGS: judge the files run_case left.
check_case() {
  local name=$1 flags=$2 base=$dir/req-$1 why="" calls
  [ "$(cat "$base.status")" = 0 ] || why="status $(cat "$base.status"), expected 0"
  [ -s "$base.out" ] && why=$(why_not "$why" "stdout not empty")
  # Everything on stderr must be wine's own: its trace ("xxxx:...") or a message of its
  # own ("wine: ..."), which on a busy machine another process of the ending session may
  # print as it dies; a program of ours that died so would not have exited 0 above.
  local stray
  stray=$(grep -nvE '^([0-9a-f]{4}:|wine: )' "$base.err" | head -1 | cut -c1-200)
  [ -z "$stray" ] || why=$(why_not "$why" "program wrote to stderr: '$stray'")
  mapfile -t calls < <(grep -oE 'Call (advapi32|user32)\.[A-Za-z]+\([^)]*\)' "$base.err")
  if [ "${#calls[@]}" != 4 ]; then
    why=$(why_not "$why" "${#calls[@]} relayed calls, expected 4")
  else
    # (The quoted parts are literal, $h a pattern of its own.)
    # shellcheck disable=SC2027
    [[ ${calls[0]} =~ ^"Call advapi32.OpenProcessToken($self,00000028,"$h")"$ ]] ||
      why=$(why_not "$why" "bad ${calls[0]}")
    local luid_out="" token="" new_state="" previous=""
    if [[ ${calls[1]} =~ ^"Call advapi32.LookupPrivilegeValueA(00000000,"$h' "SeShutdownPrivilege",'($h)")"$ ]]; then
      luid_out=${BASH_REMATCH[1]}
    else
      why=$(why_not "$why" "bad ${calls[1]}")
    fi
    # shellcheck disable=SC2027
    if [[ ${calls[2]} =~ ^"Call advapi32.AdjustTokenPrivileges("($h)",00000000,"($h)",00000010,"($h)","$h")"$ ]]; then
      token=${BASH_REMATCH[1]} new_state=${BASH_REMATCH[2]} previous=${BASH_REMATCH[3]}
      [ "$token" != 00000000 ] || why=$(why_not "$why" "no token handle")
      [ "$new_state" != "$previous" ] || why=$(why_not "$why" "one record for both states")
      # The LUID is looked up straight into the new state's single entry.
      [ -z "$luid_out" ] || [ $((16#$luid_out)) = $((16#$new_state + 4)) ] ||
        why=$(why_not "$why" "LUID not written into the new state")
    else
      why=$(why_not "$why" "bad ${calls[2]}")
    fi
    [ "${calls[3]}" = "Call user32.ExitWindowsEx($(printf %08x "$flags"),00000000)" ] ||
      why=$(why_not "$why" "bad ${calls[3]}, expected flags $flags")
  fi
  record "$name: ExitWindowsEx($flags, 0)" "$why"
  rm -f "$base.out" "$base.err" "$base.status"
}

cases=(
  "reboot_force 6 /reboot /force"
  "logoff 0 /logoff"
  "logoff_upper_force 4 /LOGOFF /force"
  "force_alone 4 /FORCE"
  "shutdown_poweroff 9 /shutdown /poweroff"
  "shutdown_reboot 3 /SHUTDOWN /REBOOT"
  "unknown_then_reboot 2 /x /reboot"
  "logoff_shutdown 1 /logoff /shutdown"
  "every_bit 15 /SHUTDOWN /poweroff /REBOOT /force"
)

# In the test VM each run of wine is slow under software emulation (a fresh prefix's first
# start alone ten seconds or more). The flag word is worked out by the same code for every architecture, held to
# the whole table by the x64 suite, which runs natively on every machine of this kind, and
# by the unit tests; what is the guest's architecture's own is the calls and their
# arguments, which one case shows, every flag bit set.
if [ "$last" = last ]; then
  all=${#cases[@]}
  mapfile -t cases < <(printf '%s\n' "${cases[@]}" | grep -E '^every_bit ')
  echo "$arch in a VM: ${#cases[@]} of the $all cases (the x64 suite runs them all)"
fi

# Two at a time: each case spends most of its time starting wine in a fresh prefix.
for ((i = 0; i < ${#cases[@]}; i += 2)); do
  for c in "${cases[@]:i:2}"; do
    # shellcheck disable=SC2086 # the words are split on purpose
    run_case $c &
  done
  wait
done
for c in "${cases[@]}"; do
  # shellcheck disable=SC2086 # NAME FLAGS, and the words check_case leaves
  check_case $c
done

finish
