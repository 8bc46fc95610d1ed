#!/usr/bin/env bash
# Builds DORVANE for this host and for 32- and 64-bit Windows, then runs each with no
# arguments, which shows the usage screen. Nothing here makes an exit request.
set -eu
cd "$(dirname "$0")/.."
scripts/ensure-tools.sh host windows

for preset in host windows-x86 windows-x64; do
  cmake --preset $preset >/dev/null
  cmake --build --preset $preset
done

echo "== build/host/dorvane"
status=0
build/host/dorvane || status=$?
echo "(exit status $status)"

for row in windows-x86:win32 windows-x64:win64; do
  preset=${row%:*}
  arch=${row#*:}
  echo "== build/$preset/dorvane.exe under wine ($arch)"
  wine_dir=$PWD/build/$preset/wine
  if ! tests/wine/prefix.sh setup $arch "$wine_dir" >/dev/null; then
    cmake/wine-run.sh $arch --check || true
    continue
  fi
  status=0
  cmake/wine-run.sh $arch "$wine_dir/prefix" build/$preset/dorvane.exe || status=$?
  tests/wine/prefix.sh teardown $arch "$wine_dir"
  echo "(exit status $status)"
done
