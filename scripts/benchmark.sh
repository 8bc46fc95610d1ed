#!/usr/bin/env bash
# What DORVANE costs beyond starting a process at all: callgrind's instruction counts for
# the host program's usage and request paths against an empty program built by the same
# compiler with the same flags, and the Windows exes' sizes and imports. Instruction counts
# repeat exactly from run to run, unlike times. The host's stand-in refuses the request.
set -eu
cd "$(dirname "$0")/.."
scripts/ensure-tools.sh host checks
cmake --preset host >/dev/null
cmake --build --preset host --target dorvane empty_main >/dev/null

instructions() {  # PROGRAM [ARG...]
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
    sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}

floor=$(instructions build/host/empty_main)
usage=$(instructions build/host/dorvane)
request=$(instructions build/host/dorvane /reboot)
target=1.05
printf '%-28s %12s %8s\n' "run (callgrind)" instructions ratio
printf '%-28s %12d %8s\n' "empty program" "$floor" 1.000
verdict=ok
for row in "usage screen:$usage" "request (/reboot):$request"; do
  name=${row%%:*}
  count=${row##*:}
  ratio=$(awk -v a="$count" -v b="$floor" 'BEGIN { printf "%.3f", a / b }')
  awk -v r="$ratio" -v t="$target" 'BEGIN { exit !(r <= t) }' || verdict="over target"
  printf '%-28s %12d %8s\n' "dorvane, $name" "$count" "$ratio"
done
echo "target: both ratios at most $target: $verdict"

# The mingw builds, where their compilers are installed; each tree's objdump is its
# toolchain file's.
for preset in windows-x86 windows-x64; do
  cmake --preset "$preset" >/dev/null 2>&1 || { echo "$preset: not configured (scripts/ensure-tools.sh $preset)"; continue; }
  cmake --build --preset "$preset" --target dorvane >/dev/null
  exe=build/$preset/dorvane.exe
  objdump=$(sed -n 's/^CMAKE_OBJDUMP:FILEPATH=//p' "build/$preset/CMakeCache.txt")
  echo "$exe: $(stat -c %s "$exe") bytes; imports:" \
    "$("$objdump" -p "$exe" | sed -n 's/.*DLL Name: //p' | sort | paste -sd ' ')"
done
