#!/usr/bin/env bash
# Runs the built host program the way a user does and checks its output, its silence on
# stderr and its exit status. The host's platform refuses every request, so a request
# must print nothing and end with status 1.
# usage: program_test.sh EXPECTED_USAGE_FILE PROGRAM
set -u
expected=$1
program=$2
source "$(dirname "$0")/checks.sh"

# expect NAME WANT_STATUS WANT_STDOUT_FILE [WORD...]
expect() {
  local name=$1 want=$2 out=$3
  shift 3
  "$program" "$@" >"$tmp/out" 2>"$tmp/err"
  verdict "$name" $? "$want" "$out"
}

none=/dev/null
expect no_arguments 2 "$expected"
expect question_mark 2 "$expected" '/?'
expect empty_word 2 "$expected" ''
expect mixed_case 2 "$expected" /Reboot
expect no_slash 2 "$expected" reboot
expect dash 2 "$expected" -reboot
expect suffix 2 "$expected" /reboot:
expect several_unknown 2 "$expected" /help /x ''
expect reboot 1 "$none" /reboot
expect logoff_alone 1 "$none" /LOGOFF
expect force_alone 1 "$none" /force
expect unknown_then_shutdown 1 "$none" /x /shutdown
expect every_switch 1 "$none" /SHUTDOWN /poweroff /REBOOT /force /logoff

# The program's own name is never a switch.
(exec -a /REBOOT "$program") >"$tmp/out" 2>"$tmp/err"
verdict name_like_a_switch $? 2 "$expected"

# Through a pipe rather than into a file.
"$program" '/?' 2>"$tmp/err" | cat >"$tmp/out"
verdict through_a_pipe "${PIPESTATUS[0]}" 2 "$expected"

# A stdout that fails is not reported and changes nothing: no crash, the usual status.
: >"$tmp/out"
"$program" >/dev/full 2>"$tmp/err"
verdict stdout_full $? 2 "$none"
"$program" >&- 2>"$tmp/err"
verdict stdout_closed $? 2 "$none"

finish
