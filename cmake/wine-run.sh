#!/usr/bin/env bash
# Runs a Windows program under wine in a private prefix of the build tree, never the
# user's own, with no display and no debug chatter unless WINEDEBUG says otherwise. An
# exit request made there ends only that prefix's wine session.
# usage: wine-run.sh PREFIX PROGRAM.exe [ARG...]
set -eu
prefix=$1
shift
case $prefix in
  /*/wine/*) ;;
  *) echo "wine-run.sh: refusing a prefix outside a build tree's wine/ folder: $prefix" >&2; exit 125 ;;
esac
export WINEPREFIX=$prefix
export HOME=${HOME:-$prefix/..}
export WINEARCH=win32
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installer prompts while a prefix is created.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
exec wine "$@"
