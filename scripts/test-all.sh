#!/usr/bin/env bash
# Runs every test: the host build, the 32-bit, 64-bit and ARM64 Windows builds under wine,
# the host tests of our C++ under ASan and UBSan, a bounded fuzzing run and the static checks.
# Installs missing tools first when run as root. A suite whose tools cannot be set up is
# not run and counts as failed, with the reason; the others still run. Exits non-zero if
# anything fails.
# usage: test-all.sh [--quick]
#   --quick: a developer's loop, in seconds: the host suite and the static
#            checks only (and only their tools installed); CI runs everything.
set -u
cd "$(dirname "$0")/.." || exit 1
quick=0
case ${1-} in
  --quick) quick=1 ;;
  "") ;;
  *) echo "usage: test-all.sh [--quick]" >&2; exit 2 ;;
esac
# Every suite is a test preset of CMakePresets.json, as CTest lists them. What each needs
# (scripts/ensure-tools.sh groups): a Windows one its own group and the records', the
# others and lint the checks'.
needs() { case $1 in host) echo host ;; windows-*) echo "host $1 records" ;; *) echo "host checks" ;; esac; }
if [ $quick = 1 ]; then
  scripts/ensure-tools.sh host checks
else
  scripts/ensure-tools.sh host windows records checks
fi
mapfile -t all_presets < <(ctest --list-presets 2>/dev/null | sed -n 's/^  "\(.*\)"$/\1/p')
[ ${#all_presets[@]} != 0 ] || { echo "test-all.sh: ctest --list-presets lists no suite (is cmake installed?)" >&2; exit 1; }
# SUITE: why its tools are not all here, or nothing.
lacks() {
  # shellcheck disable=SC2046 # a list of groups
  scripts/ensure-tools.sh --check $(needs "$1") 2>&1 | sed 's/^ensure-tools.sh: //' | tr '\n' ' '
}
failed=()
# SUITE: true when it may run; otherwise it is counted as failed, with the reason.
ready() {
  local why
  why=$(lacks "$1")
  [ -n "$why" ] || return 0
  echo "== $1: not run, its tools could not be set up: $why"
  failed+=("$1 (tools: $why)")
  return 1
}

suite() {  # PRESET: configure, build and test it, saying how long that took
  local began=$SECONDS status=0
  echo "== $1"
  cmake --preset "$1" >/dev/null && cmake --build --preset "$1" && ctest --preset "$1" || status=$?
  echo "== $1: $((SECONDS - began)) s, ended $(date +%T)"
  return $status
}

# The suites run in lanes, the lanes at once, the suites of a lane one after another: this
# script's own is windows-x64, the longest on the host; the suites whose exes run in a
# guest, or may (the 32-bit one, where the kernel runs no 32-bit code), wait on it and on
# wine for most of their time, and have one each; the short ones (host, asan, fuzz and the
# static checks) share the last, which starts once another lane has ended: started at
# once, they slowed the ARM64 sysroot's making and its guest, the run's longest chain, by
# more than they took. A lane runs in a process group of its own that goes with this
# script however it ends, and its output follows this one's. (Run one after another, the
# suites kept two cores about half busy.) --quick: the host suite and lint, here.
# A guest that shares the machine gets one virtual CPU: with two, each spins on locks held
# by the other while the host's suites (or the other guest) have descheduled it.
export DORVANE_VM_CPUS=1
mkdir -p build
# LOG PRESET...: the suites one after another ("lint" is scripts/lint.sh), each one's
# status written to LOG.status as "PRESET STATUS".
# (--after: once another lane has ended, which leaves its LOG.done.)
lane() {
  local log=$1 preset
  shift
  : >"$log.status"
  if [ "${1-}" = --after ]; then
    shift
    until compgen -G 'build/*.done' >/dev/null; do sleep 2; done
  fi
  for preset; do
    if [ "$preset" = lint ]; then
      echo "== lint"
      scripts/lint.sh
    else
      suite "$preset"
    fi
    echo "$preset $?" >>"$log.status"
  done
  touch "$log.done"
}
runnable=()
for preset in "${all_presets[@]}" lint; do
  [ $quick = 0 ] || [ "$preset" = host ] || [ "$preset" = lint ] || continue
  ready "$preset" && runnable+=("$preset")
done
own=() alone=() shared=()
for preset in "${runnable[@]}"; do
  case $quick:$preset in
    1:* | 0:windows-x64) own+=("$preset") ;;
    0:windows-x86 | 0:windows-arm64) alone+=("$preset") ;;
    *) shared+=("$preset") ;;
  esac
done
logs=() groups=()
stop_beside() { local group; for group in "${groups[@]}"; do kill -- -"$group" 2>/dev/null; done; }
trap stop_beside EXIT
trap 'exit 130' INT TERM
# NAME [--after] PRESET...: a lane beside this one, its output in build/NAME.log. The short
# suites' lane yields the CPU to the others (nice): it ends well before them however
# slowly it runs, and what it takes from the longest lane's chain of tests is time added
# to the whole run.
beside() {
  local niceness=0
  [ "$1" != short ] || niceness=10
  setsid nice -n "$niceness" bash -c "$(declare -f suite lane); lane build/$1 ${*:2}" </dev/null >"build/$1.log" 2>&1 &
  groups+=($!) logs+=("$1")
}
rm -f build/*.done
for preset in "${alone[@]}"; do beside "$preset" "$preset"; done
[ ${#shared[@]} = 0 ] || beside short --after "${shared[@]}"
lane build/test-all "${own[@]}"
for group in "${groups[@]}"; do wait "$group"; done
for log in "${logs[@]}"; do cat "build/$log.log"; done
# A suite passed where its lane says so; one it never reached (a lane killed) did not.
statuses=$(cd build && cat test-all.status "${logs[@]/%/.status}" 2>/dev/null)
for preset in "${runnable[@]}"; do
  grep -qx "$preset 0" <<<"$statuses" || failed+=("$preset")
done

total=$((${#all_presets[@]} + 1))
[ $quick = 0 ] || total=2
[ ${#failed[@]} = 0 ] || printf 'failed suite: %s\n' "${failed[@]}"
[ $quick = 0 ] || echo "the quick tier: the host suite and lint only; scripts/test-all.sh without --quick runs every suite"
echo "suites: $((total - ${#failed[@]})) passed, ${#failed[@]} failed"
[ ${#failed[@]} = 0 ]
