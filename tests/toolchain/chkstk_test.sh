#!/usr/bin/env bash
# Runs chkstk_test.c against chkstk.S, both built for aarch64 Linux, under qemu's user-mode
# aarch64 emulator: no Arm Windows machine needed. Prints "N passed, N failed".
# usage: chkstk_test.sh
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)

qemu=$(command -v qemu-aarch64-static || command -v qemu-aarch64 || true)
if [ -z "$qemu" ]; then
  echo "chkstk_test.sh: needs qemu-aarch64 (Debian: qemu-user-static or qemu-user)" >&2
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
clang-14 --target=aarch64-linux-gnu -ffreestanding -fno-stack-protector -nostdlib -static \
  -fuse-ld=lld -O1 -Wall -Wextra -Werror \
  "$here/chkstk_test.c" "$here/../../toolchain/chkstk.S" -o "$work/chkstk_test"
# A __chkstk that loses the real sp can loop in the fault handler: never hang.
timeout 60 "$qemu" "$work/chkstk_test"
