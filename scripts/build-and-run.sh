#!/usr/bin/env bash
# Builds DORVANE for this host and for 32-bit, 64-bit and ARM64 Windows, then runs each with
# no arguments, which shows the usage screen: the exes under wine in a private prefix of
# their build tree, in the test VM where this machine cannot run them (ARM64 always, 32-bit
# where the kernel runs no 32-bit code). Nothing here makes an exit request.
# An architecture whose tools cannot be set up, or whose build fails, is named with the
# reason; the others are still built and run, and the status is then 1.
# Each step's time is said as it ends, so that a slow machine shows where its time goes.
set -u
cd "$(dirname "$0")/.." || exit 1
began=$SECONDS
took() {  # WHAT: the time since the last step ended
  echo "-- $1: $((SECONDS - began)) s"
  began=$SECONDS
}
scripts/ensure-tools.sh host windows records
scripts/ensure-tools.sh --check host || exit 1
took "set-up (scripts/ensure-tools.sh)"
not_run=()

cmake --preset host >/dev/null && cmake --build --preset host || exit 1
took "the host build"
echo "== build/host/dorvane"
status=0
build/host/dorvane || status=$?
echo "(exit status $status)"

# Makes a prefix, runs the exe in it with no arguments, stops the prefix's servers.
show_usage() {  # ARCH WINE_DIR EXE
  tests/wine/prefix.sh setup "$1" "$2" >/dev/null &&
    { tests/wine/wine-run.sh "$1" "$2/prefix" "$3" || echo "(exit status $?)"; }
  tests/wine/prefix.sh teardown "$1" "$2" >/dev/null
}
# Each Windows preset, as CMake lists them; its architecture and the machine whose wine runs
# it are its build's (project.json, read with jq: one of every Windows group's tools).
mapfile -t presets < <(cmake --list-presets | sed -n 's/^  "\(windows-[^"]*\)".*/\1/p')
for preset in "${presets[@]}"; do
  build=$PWD/build/$preset
  if ! why=$(scripts/ensure-tools.sh --check "$preset" 2>&1); then
    echo "== $preset: not built, its tools could not be set up: ${why//ensure-tools.sh: /}"
    not_run+=("$preset (tools)")
    continue
  fi
  if ! { cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset"; }; then
    echo "== $preset: the build failed (above)"
    not_run+=("$preset (build)")
    continue
  fi
  IFS=$'\t' read -r arch vm_arch < <(jq -r '[.package.arch, .package.vm] | @tsv' "$build/project.json")
  took "the $preset build"
  # In the guest where this machine cannot run it, or where the tree's tests run it there
  # (-DDORVANE_WINE_VM=ON, as a kernel without 32-bit code would).
  in_vm=0 status=0
  grep -qx 'DORVANE_WINE_VM:STRING=ON' "$build/CMakeCache.txt" && in_vm=1
  [ $in_vm = 1 ] || tests/wine/wine-run.sh "$arch" --check >/dev/null || status=$?
  if [ $in_vm = 0 ] && [ $status = 0 ]; then
    echo "== build/$preset/dorvane.exe under wine ($arch)"
    show_usage "$arch" "$build/wine" "$build/dorvane.exe"
  elif { [ $in_vm = 1 ] || [ $status = 77 ]; } && command -v "qemu-system-${vm_arch/arm64/aarch64}" >/dev/null; then
    echo "== build/$preset/dorvane.exe under wine ($arch), in the test VM"
    # The prefix the tests made in an earlier guest, if any, is kept in the session folder;
    # the arm64 guest's is made on this machine, in seconds (tests/wine/prefix.sh for-guest).
    [ "$vm_arch" != arm64 ] ||
      tests/wine/prefix.sh for-guest arm64 "$build/wine" "$build/vm" "$build/vm/session/wine-template.tar"
    DORVANE_WINE_TEMPLATE_ARCHIVE=$build/vm/session/wine-template.tar tests/vm/vm-run.sh once "$build/vm/session" --cache "$build/vm" --arch "$vm_arch" --ro "$PWD" \
      --tmpfs "$build/wine" -- bash -c "$(declare -f show_usage); show_usage $arch '$build/wine' '$build/dorvane.exe'" |
      grep -v '^vm-run.sh: guest ready' || true
  else
    tests/wine/wine-run.sh "$arch" --check || true
    not_run+=("$preset (wine)")
  fi
  took "running the $preset exe"
done
if [ ${#not_run[@]} != 0 ]; then
  echo "not built or not run: ${not_run[*]}"
  exit 1
fi
