#!/usr/bin/env bash
# Runs every test: the host build, the 32-bit, 64-bit and ARM64 Windows builds under wine,
# the whole host suite under ASan and UBSan, a bounded fuzzing run and the static checks.
# Installs missing tools first when run as root. Exits non-zero if anything fails.
set -u
cd "$(dirname "$0")/.."
scripts/ensure-tools.sh host windows records checks || exit 1

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
# In a process group of its own, which goes with this script however it ends.
mkdir -p build
setsid bash -c "$(declare -f suite); suite windows-arm64" </dev/null >build/windows-arm64.log 2>&1 &
arm64=$!
trap 'kill -- -$arm64 2>/dev/null' EXIT
trap 'exit 130' INT TERM

presets=(host windows-x86 windows-x64 asan fuzz)
failed=()
for preset in "${presets[@]}"; do
  suite "$preset" || failed+=("$preset")
done
echo "== lint"
scripts/lint.sh || failed+=(lint)

wait "$arm64" || failed+=(windows-arm64)
cat build/windows-arm64.log
presets+=(windows-arm64)

[ ${#failed[@]} = 0 ] || echo "failed suites: ${failed[*]}"
echo "suites: $((${#presets[@]} + 1 - ${#failed[@]})) passed, ${#failed[@]} failed"
[ ${#failed[@]} = 0 ]
