# shellcheck shell=bash
# Sourced by scripts/release.sh and release/sign.sh: a long step run in the background and
# waited for, so that a signal to the script (to its pid alone, as a job's timeout sends it)
# runs its trap at once rather than when the step ends by itself (bash runs a trap only
# after the command in the foreground ends). The step stays in the script's process group,
# so that Ctrl-C still reaches what ignores no SIGINT. $child is the step's pid while it
# runs, for the trap to stop.
child=""
step() {  # COMMAND...: its status
  local status=0
  "$@" &
  child=$!
  wait "$child" || status=$?
  child=""
  return "$status"
}
