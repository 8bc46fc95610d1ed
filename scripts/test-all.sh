#!/usr/bin/env bash
# Runs every test: the host build, the 32-bit, 64-bit and ARM64 Windows builds under wine,
# the whole host suite under ASan and UBSan, a bounded fuzzing run and the static checks.
# Installs missing tools first when run as root. A suite whose tools cannot be set up is
# not run and counts as failed, with the reason; the others still run. Exits non-zero if
# anything fails.
# usage: test-all.sh [--quick]
#   --quick: a developer's loop, in a couple of minutes: the host suite and the static
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

suite() {  # PRESET: configure, build and test it
  echo "== $1"
  cmake --preset "$1" >/dev/null && cmake --build --preset "$1" && ctest --preset "$1"
}

# The ARM64 suite spends its time in an emulated arm64 guest, which keeps about one core
# busy: it runs beside the others, and its output follows theirs.
# A guest that shares the machine gets one virtual CPU: with two, each spins on locks held
# by the other while the host's suites (or, where the 32-bit suite needs the x86 VM too,
# the other guest) have descheduled it.
export DORVANE_VM_CPUS=1
mkdir -p build
arm64=""
if [ $quick = 0 ] && ready windows-arm64; then
  # In a process group of its own, which goes with this script however it ends.
  setsid bash -c "$(declare -f suite); suite windows-arm64" </dev/null >build/windows-arm64.log 2>&1 &
  arm64=$!
  trap 'kill -- -$arm64 2>/dev/null' EXIT
fi
trap 'exit 130' INT TERM

presets=()
for preset in "${all_presets[@]}"; do [ "$preset" = windows-arm64 ] || presets+=("$preset"); done
[ $quick = 0 ] || presets=(host)
for preset in "${presets[@]}"; do
  if ready "$preset"; then
    suite "$preset" || failed+=("$preset")
  fi
done
echo "== lint"
if ready lint; then
  scripts/lint.sh || failed+=(lint)
fi

if [ -n "$arm64" ]; then
  wait "$arm64" || failed+=(windows-arm64)
  cat build/windows-arm64.log
fi
[ $quick = 1 ] || presets+=(windows-arm64)

[ ${#failed[@]} = 0 ] || printf 'failed suite: %s\n' "${failed[@]}"
[ $quick = 0 ] || echo "the quick tier: the host suite and lint only; scripts/test-all.sh without --quick runs every suite"
echo "suites: $((${#presets[@]} + 1 - ${#failed[@]})) passed, ${#failed[@]} failed"
[ ${#failed[@]} = 0 ]
