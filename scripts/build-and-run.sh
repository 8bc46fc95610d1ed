#!/usr/bin/env bash
# Builds DORVANE for this host and for Windows, then runs both with no arguments, which
# shows the usage screen. Nothing here makes an exit request.
set -eu
cd "$(dirname "$0")/.."
scripts/ensure-tools.sh host windows

cmake --preset host >/dev/null
cmake --build --preset host
cmake --preset windows-x86 >/dev/null
cmake --build --preset windows-x86

echo "== build/host/dorvane"
status=0
build/host/dorvane || status=$?
echo "(exit status $status)"

echo "== build/windows-x86/dorvane.exe under wine"
tests/wine/prefix.sh setup "$PWD/build/windows-x86/wine" >/dev/null
status=0
cmake/wine-run.sh "$PWD/build/windows-x86/wine/prefix" build/windows-x86/dorvane.exe || status=$?
tests/wine/prefix.sh teardown "$PWD/build/windows-x86/wine"
echo "(exit status $status)"
