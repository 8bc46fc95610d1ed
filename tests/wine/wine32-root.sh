#!/usr/bin/env bash
# Makes and keeps the root that the 32-bit wine runs from on a machine with no wine32 of its
# own (wine-run.sh runs it there): Debian's i386 wine32 and what it needs, unpacked by
# mmdebstrap into CACHE_DIR/root. No i386 program runs while it is made (no maintainer
# script: the one step of theirs wine needs is done here), so any x86_64 kernel makes it
# alike, one that runs no 32-bit code too. The host gets no foreign architecture and no
# i386 package; removing CACHE_DIR removes it all.
# usage: wine32-root.sh [--refresh] CACHE_DIR    prints the root's path
# Without --refresh a root made by this recipe serves at once; with it (the build), a root
# older than a week is made anew, for the archive's updates. The packages come from the
# Debian archives this machine's apt uses, or from the sources file DORVANE_WINE32_SOURCES
# names (one-line format). When the security archive's index cannot be read (a mirror in
# mid-sync), the root is made from the main archive alone, and one line says so: it is a
# throwaway root for tests, and a consistent one beats none.
set -euo pipefail
refresh=0
[ "${1-}" != --refresh ] || { refresh=1; shift; }
[ $# = 1 ] || { echo "usage: wine32-root.sh [--refresh] CACHE_DIR" >&2; exit 2; }
mkdir -p "$1"
cache=$(cd "$1" && pwd)
root=$cache/root
# DORVANE_WINE32_INCLUDE names other packages, for a test of this script's own.
packages=${DORVANE_WINE32_INCLUDE:-wine32,wine32-preloader,wine}
fail() { echo "wine32-root.sh: $*" >&2; exit 1; }

recipe=$( { cat "$0"; echo "$packages"; } | sha256sum | cut -c1-16)
fresh() {
  [ "$(cat "$root/.made-by" 2>/dev/null)" = "$recipe" ] &&
    { [ $refresh = 0 ] || [ -n "$(find "$root/.made-by" -mtime -7)" ]; }
}
if fresh; then
  echo "$root"
  exit 0
fi
[ "$(id -u)" = 0 ] || fail "making the 32-bit wine's root needs root (mmdebstrap installs into it as root)"
command -v mmdebstrap >/dev/null || fail "needs mmdebstrap (scripts/ensure-tools.sh windows-x86)"

# One maker at a time; the second finds the first one's root.
exec 9>"$cache/lock"
flock 9
if fresh; then
  echo "$root"
  exit 0
fi

# The Debian archives apt uses here, as one-line sources; the security archive's apart.
sources=$cache/sources.list main=$cache/sources-main.list
if [ -n "${DORVANE_WINE32_SOURCES-}" ]; then
  cp "$DORVANE_WINE32_SOURCES" "$sources"
else
  apt-cache policy | awk '
    $1 ~ /^[0-9]+$/ && $2 ~ /:\/\// && $3 ~ /\// { uri = $2; split($3, part, "/"); next }
    uri != "" && /^ *release / && /o=Debian,/ { print "deb " uri " " part[1] " " part[2] }
    { uri = "" }' | LC_ALL=C sort -u >"$sources"
  [ -s "$sources" ] || fail "apt names no Debian archive here (run apt-get update)"
fi
grep -v -e '-security ' "$sources" >"$main" || true
trap 'rm -rf "$root.new"' EXIT

# SOURCES_FILE: mmdebstrap into root.new; the .debs are kept, so that a new root fetches
# only what changed.
make_root() {
  rm -rf "$root.new"
  mkdir -p "$cache/debs"
  # extract: unpacked by the host's dpkg-deb; merged-usr: /bin, /lib and /sbin links to /usr,
  # which is all that wine-run.sh mounts.
  # shellcheck disable=SC2016 # $1 is the hook's, the root being made
  mmdebstrap --variant=extract --hook-dir=/usr/share/mmdebstrap/hooks/merged-usr \
    --architectures=i386 --include="$packages" \
    --aptopt='APT::Install-Recommends "false"' --skip=essential/unlink \
    --setup-hook='mkdir -p "$1"/var/cache/apt/archives/' \
    --setup-hook="sync-in '$cache/debs' /var/cache/apt/archives/" \
    --customize-hook="sync-out /var/cache/apt/archives '$cache/debs'" \
    bookworm "$root.new" "$1" >"$cache/mmdebstrap.log" 2>&1
}
why() { grep -E '^E: ' "$cache/mmdebstrap.log" | grep -v -e 'mmdebstrap failed' -e 'failed$' -e 'Some index files' | head -1 | cut -c1-300; }
if ! make_root "$sources"; then
  failure=$(why)
  if [[ $failure == *-security* ]] && [ -s "$main" ] && ! cmp -s "$sources" "$main"; then
    echo "wine32-root.sh: the security archive's index cannot be read ($failure); the root is made from the main archive alone"
    make_root "$main" || fail "mmdebstrap failed: $(why) (log: $cache/mmdebstrap.log)"
  else
    fail "mmdebstrap failed: $failure (log: $cache/mmdebstrap.log)"
  fi
fi
if [ -z "${DORVANE_WINE32_INCLUDE-}" ]; then
  [ -x "$root.new/usr/lib/wine/wine" ] || fail "the root has no /usr/lib/wine/wine"
  # What libwine's maintainer script makes and wine cannot start without (user32 imports
  # it): wine's builtin zlib1.dll, libz-mingw-w64's with the builtin mark in its header.
  for pair in i686:i386 x86_64:x86_64; do
    zlib=$root.new/usr/${pair%:*}-w64-mingw32/lib/zlib1.dll
    [ -f "$zlib" ] || fail "the root has no $zlib"
    { head -c 64 "$zlib" && printf 'Wine builtin DLL' && head -c 16 /dev/zero && tail -c +97 "$zlib"; } \
      >"$root.new/usr/lib/i386-linux-gnu/wine/${pair#*:}-windows/zlib1.dll"
  done
fi
echo "$recipe" >"$root.new/.made-by"
rm -rf "$root"
mv "$root.new" "$root"
echo "$root"
