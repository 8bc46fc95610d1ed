#!/usr/bin/env bash
# Runs every test: the host build, the 32- and 64-bit Windows builds under wine, the whole host suite
# under ASan and UBSan, a bounded fuzzing run and the static checks. Installs missing
# tools first when run as root. Exits non-zero if anything fails.
set -u
cd "$(dirname "$0")/.."
scripts/ensure-tools.sh host windows checks || exit 1

presets=(host windows-x86 windows-x64 asan fuzz)
failed=()
for preset in "${presets[@]}"; do
  echo "== $preset"
  if ! { cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" &&
         ctest --preset "$preset"; }; then
    failed+=("$preset")
  fi
done
echo "== lint"
scripts/lint.sh || failed+=(lint)

[ ${#failed[@]} = 0 ] || echo "failed suites: ${failed[*]}"
echo "suites: $((${#presets[@]} + 1 - ${#failed[@]})) passed, ${#failed[@]} failed"
[ ${#failed[@]} = 0 ]
