#!/usr/bin/env bash
# Runs a Windows program under wine in a private prefix of the build tree, never the
# user's own, with no display and no debug chatter unless WINEDEBUG says otherwise. An
# exit request made there ends only that prefix's wine session.
# usage: wine-run.sh win32|win64|arm64 PREFIX PROGRAM.exe [ARG...]
#        wine-run.sh win32|win64|arm64 --check   prints wine's version if this machine can
#                                                run such programs
# A machine that cannot run them at all (a kernel without 32-bit user code cannot start
# the 32-bit wine; only an ARM64 machine's wine runs ARM64 programs) is told apart from a
# failure: the message below, and status 77.
set -eu
arch=$1
case $arch in
  win32) loader=wine ;;
  # Debian keeps the 64-bit loader out of PATH; its 'wine' starts the 32-bit one. On an
  # ARM64 machine the same loader runs ARM64 programs, in a 64-bit prefix.
  win64 | arm64) loader=$(command -v wine64 || echo /usr/lib/wine/wine64) ;;
  *) echo "wine-run.sh: unknown architecture '$arch' (win32, win64, arm64)" >&2; exit 2 ;;
esac
if [ "$arch" = arm64 ] && [ "$(uname -m)" != aarch64 ]; then
  echo "wine-run.sh: this machine cannot run arm64 programs: it is $(uname -m)"
  exit 77
fi
if ! probe=$("$loader" --version 2>&1); then
  case $probe in
    *"Exec format error"*)
      echo "wine-run.sh: this machine cannot run $arch programs: $probe"
      exit 77
      ;;
  esac
  echo "wine-run.sh: wine does not start: $probe" >&2
  exit 1
fi
if [ "${2-}" = --check ]; then
  echo "$probe"
  exit 0
fi

prefix=$2
shift 2
case $prefix in
  /*/wine/*) ;;
  *) echo "wine-run.sh: refusing a prefix outside a build tree's wine/ folder: $prefix" >&2; exit 125 ;;
esac
export WINEPREFIX=$prefix
if [ "$arch" = win32 ]; then
  export WINEARCH=win32
else
  export WINEARCH=win64 WINELOADER=$loader
fi
export HOME=${HOME:-$prefix/..}
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installer prompts while a prefix is created.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
exec "$loader" "$@"
