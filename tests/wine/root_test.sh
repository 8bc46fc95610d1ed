#!/usr/bin/env bash
# The 32-bit wine's root (wine32-root.sh), where this machine has no wine32 of its own: the
# host stays without an i386 architecture or package while the tests run from the root
# (any other foreign architecture, arm64 on a machine that cross-builds for ARM, is not the
# project's and is left alone),
# and a root is still made when the security archive's index cannot be read, from the
# main archive alone, saying so in one line. That second root is made in a folder of the
# test's own, from the .debs the build's root already fetched, and removed.
# usage: root_test.sh CACHE_DIR
set -u
cache=$1
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../checks.sh
source "$here/../checks.sh"
if [ -x /usr/lib/wine/wine ]; then
  echo "left out: this machine has its own wine32, which the tests use"
  record "this machine's own wine32 runs" "$("$here/wine-run.sh" win32 --check >/dev/null 2>&1 || echo "it does not")"
  finish
  exit
fi

why=""
foreign=$(dpkg --print-foreign-architectures | tr '\n' ' ')
[[ " $foreign" != *" i386 "* ]] || why="foreign architectures: ${foreign% }"
i386=$(dpkg-query -W -f='${Package}:${Architecture}\n' 2>/dev/null | grep ':i386$' | head -3 | tr '\n' ' ')
[ -z "$i386" ] || why=$(why_not "$why" "i386 packages: $i386")
record "the host has no i386 architecture and no i386 package" "$why"
why=""
status=0
version=$(DORVANE_WINE32_ROOT=$cache/root "$here/wine-run.sh" win32 --check 2>&1) || status=$?
if [ $status = 77 ]; then
  echo "left out: starting the root's wine here ($version); the x86 test VM runs it"
  [ -x "$cache/root/usr/lib/wine/wine" ] || why="no /usr/lib/wine/wine in $cache/root"
  record "the root holds the 32-bit wine" "$why"
else
  [ $status = 0 ] && [[ $version == wine-* ]] || why="status $status: $version"
  record "the root's wine starts: $version" "$why"
fi

# The main archive as the build's root had it, and a security archive that refuses every
# connection (nothing listens on port 9 of this machine's loopback). The build's own root
# shows the wine it holds works; this one holds a small package only, which keeps the test
# short (the fallback is in reading the indexes).
test_cache=$cache/test-$$
trap 'rm -rf "$test_cache" "$tmp"' EXIT
mkdir -p "$test_cache/debs"
cp -l "$cache"/debs/*.deb "$test_cache/debs/" 2>/dev/null || cp "$cache"/debs/*.deb "$test_cache/debs/"
{
  grep -v -e '-security ' "$cache/sources.list"
  echo "deb http://127.0.0.1:9/debian-security bookworm-security main"
} >"$tmp/sources.list"
why=""
start=$(date +%s)
DORVANE_WINE32_SOURCES=$tmp/sources.list DORVANE_WINE32_INCLUDE=hello \
  timeout 1200 bash "$here/wine32-root.sh" "$test_cache" >"$tmp/out" 2>&1 ||
  why="status $?: $(tail -2 "$tmp/out" | tr '\n' ' ')"
# Exactly these lines, in this order: the security index, the root.
mapfile -t lines <"$tmp/out"
[[ ${lines[0]-} =~ ^"wine32-root.sh: the security archive's index cannot be read (".*127.0.0.1:9.*"); the root is made from the main archive alone"$ ]] ||
  why=$(why_not "$why" "no line saying the security index was left out")
[ "${lines[1]-}" = "$test_cache/root" ] || why=$(why_not "$why" "no line naming the root")
[ ${#lines[@]} = 2 ] || why=$(why_not "$why" "${#lines[@]} lines, expected 2")
[ -x "$test_cache/root/usr/bin/hello" ] || why=$(why_not "$why" "no /usr/bin/hello in the root")
record "a root made with the security index unreadable, in $(($(date +%s) - start)) s" "$why"
[ -z "$why" ] || cat "$tmp/out"
finish
