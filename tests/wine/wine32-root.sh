#!/usr/bin/env bash
# Makes and keeps the root that the 32-bit wine runs from on a machine with no wine32 of its
# own (wine-run.sh runs it there): Debian's i386 wine32 and what it needs, installed by
# mmdebstrap, which runs the packages' maintainer scripts, into CACHE_DIR/root. The host
# gets no foreign architecture and no i386 package; removing CACHE_DIR removes it all.
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
# DORVANE_WINE32_INCLUDE names other packages, and DORVANE_WINE32_VARIANT another of
# mmdebstrap's variants (extract: unpacked, no maintainer script run), for a test of this
# script's own.
packages=${DORVANE_WINE32_INCLUDE:-wine32,wine32-preloader,wine}
variant=${DORVANE_WINE32_VARIANT:-apt}
fail() { echo "wine32-root.sh: $*" >&2; exit 1; }

recipe=$( { cat "$0"; echo "$packages $variant"; } | sha256sum | cut -c1-16)
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

# A kernel that runs no 32-bit code still makes the root, emulated: qemu's i386 emulator
# takes the i386 programs of the maintainer scripts for as long as this runs. That kernel
# could not run them anyway, so nothing else on the machine changes.
# DORVANE_WINE32_EMULATE=1 does so here too, to try that way on a kernel that runs them.
handler=""
if [ "${DORVANE_WINE32_EMULATE-}" = 1 ] || ! arch-test i386 >/dev/null 2>&1; then
  qemu=$(command -v qemu-i386-static) || fail "this kernel runs no 32-bit code, and qemu-i386-static (qemu-user-static) is missing"
  binfmt=/proc/sys/fs/binfmt_misc
  [ -e $binfmt/register ] || mount -t binfmt_misc binfmt_misc $binfmt || fail "no binfmt_misc for qemu"
  handler=$binfmt/dorvane-i386
  [ -e $handler ] || printf '%s\n' ":dorvane-i386:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:$qemu:F" >$binfmt/register
  echo "wine32-root.sh: the root's i386 programs run under $qemu while it is made (this kernel runs no 32-bit code, or DORVANE_WINE32_EMULATE=1)"
fi
trap 'rm -rf "$root.new"; [ -z "$handler" ] || [ ! -e "$handler" ] || echo -1 >"$handler"' EXIT

# SOURCES_FILE: mmdebstrap into root.new; the .debs are kept, so that a new root fetches
# only what changed.
make_root() {
  rm -rf "$root.new"
  mkdir -p "$cache/debs"
  # shellcheck disable=SC2016 # $1 is the hook's, the root being made
  mmdebstrap --variant="$variant" --architectures=i386 --include="$packages" \
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
[ -n "${DORVANE_WINE32_INCLUDE-}" ] || [ -x "$root.new/usr/lib/wine/wine" ] || fail "the root has no /usr/lib/wine/wine"
echo "$recipe" >"$root.new/.made-by"
rm -rf "$root"
mv "$root.new" "$root"
echo "$root"
