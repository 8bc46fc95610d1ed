#!/usr/bin/env bash
# Runs a Windows program under wine in a private prefix of the build tree, never the
# user's own, with no display and no debug chatter unless WINEDEBUG says otherwise. An
# exit request made there ends only that prefix's wine session.
# usage: wine-run.sh win32|win64|arm64 PREFIX PROGRAM.exe [ARG...]
#        wine-run.sh win32|win64|arm64 --server PREFIX [ARG...]
#                                      the wineserver that serves that prefix (-k, -w, -p)
#        wine-run.sh win32|win64|arm64 --check
#                                      prints wine's version if this machine can run such
#                                      programs
# A machine that cannot run them at all (a kernel without 32-bit user code cannot start
# the 32-bit wine; only an ARM64 machine's wine runs ARM64 programs) is told apart from a
# failure: the message below, and status 77.
#
# The 32-bit wine is this machine's own where it has one (Debian's wine32:i386). Otherwise
# it is the one in a root of Debian's i386 packages that wine32-root.sh keeps in
# DORVANE_WINE32_ROOT (by default build/wine32-root/root of the source tree), run in a
# mount namespace of its own (bubblewrap) that sees the root read-only and, at their own
# paths, /dev, /tmp, the source tree, the build tree, the working folder and TMPDIR: the
# host needs no foreign architecture.
set -eu
# cannot WHAT: a machine that cannot run such programs at all, told apart from a failure.
cannot() { echo "wine-run.sh: this machine cannot run $1"; exit 77; }
here=$(cd "$(dirname "$0")" && pwd)
arch=$1
case $arch in
  win32)
    loader=wine server=wineserver
    if [ ! -x /usr/lib/wine/wine ]; then
      root=${DORVANE_WINE32_ROOT:-$here/../../build/wine32-root/root}
      loader=/usr/lib/wine/wine server=/usr/lib/wine/wineserver32
    fi
    ;;
  # Debian keeps the 64-bit loader out of PATH; its 'wine' starts the 32-bit one. On an
  # ARM64 machine the same loader runs ARM64 programs, in a 64-bit prefix.
  win64 | arm64)
    loader=$(command -v wine64 || echo /usr/lib/wine/wine64)
    server=wineserver
    ;;
  *) echo "wine-run.sh: unknown architecture '$arch' (win32, win64, arm64)" >&2; exit 2 ;;
esac
[ "$arch" != arm64 ] || [ "$(uname -m)" = aarch64 ] || cannot "arm64 programs: it is $(uname -m)"

# Whether the kernel refuses 32-bit x86 code, asked of the kernel itself with the smallest
# i386 program (it only exits): known before any root exists, so that configure picks the
# VM on a machine that needs one. Anything but that refusal (a temporary folder mounted
# noexec, say) leaves the answer to wine's own start below.
kernel_refuses_i386() {
  local probe answer
  probe=$(mktemp)
  printf '\177ELF\1\1\1\0\0\0\0\0\0\0\0\0\2\0\3\0\1\0\0\0\124\200\4\10\64\0\0\0\0\0\0\0\0\0\0\0\64\0\40\0\1\0\0\0\0\0\0\0' >"$probe"
  printf '\1\0\0\0\0\0\0\0\0\200\4\10\0\200\4\10\140\0\0\0\140\0\0\0\5\0\0\0\0\20\0\0' >>"$probe"
  printf '\270\1\0\0\0\273\52\0\0\0\315\200' >>"$probe"
  chmod 700 "$probe"
  answer=$( ("$probe") 2>&1) || true
  rm -f "$probe"
  [[ $answer == *"Exec format error"* ]]
}

# COMMAND...: COMMAND in the 32-bit wine's root: its /usr and /etc read-only over an empty
# root in memory, so that the mount points below never touch the root itself (which is
# read-only in a test VM); and the paths a run names at their own paths (the working
# folder, the source tree, /tmp, TMPDIR and the array binds). Should the caller be
# killed, what it ran here goes with it.
in_root() {
  local path entry args=(--tmpfs / --dev-bind /dev /dev --proc /proc)
  for entry in "$root"/*; do
    [ ! -L "$entry" ] || args+=(--symlink "$(readlink "$entry")" "/${entry##*/}")
  done
  args+=(--ro-bind "$root/usr" /usr --ro-bind "$root/etc" /etc)
  for path in "$PWD" "$(cd "$here/../.." && pwd)" /tmp ${TMPDIR:+"$TMPDIR"} "${binds[@]}"; do
    [ -d "$path" ] || continue
    path=$(realpath "$path")
    case $path in / | /usr | /usr/* | /etc | /etc/*) continue ;; esac
    args+=(--bind "$path" "$path")
  done
  exec bwrap "${args[@]}" --remount-ro / --die-with-parent --chdir "$PWD" --setenv WINESERVER "$server" "$@"
}
binds=()
if [ -n "${root-}" ] && [ ! -x "$root$loader" ]; then
  ! kernel_refuses_i386 || cannot "win32 programs: its kernel runs no 32-bit code"
  echo "wine-run.sh: no 32-bit wine: this machine has no wine32, and there is no root at $root" \
       "(tests/wine/wine32-root.sh makes it; the windows-x86 build does)" >&2
  exit 1
fi
run() { if [ -n "${root-}" ]; then in_root "$@"; else exec "$@"; fi; }

if ! probe=$(run "$loader" --version 2>&1); then
  [[ $probe != *"Exec format error"* ]] || cannot "$arch programs: $probe"
  echo "wine-run.sh: wine does not start: $probe" >&2
  exit 1
fi
[ "${2-}" != --check ] || { echo "$probe"; exit 0; }

program=$loader
[ "$2" != --server ] || { program=$server; shift; }
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
# No Mono or Gecko installer prompts while a prefix is created, and no desktop menu entries
# (winemenubuilder, one process less in every session a prefix starts).
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY
# The build tree (the prefix's wine folder's parent) and the program's folder are seen in
# the root too, and the root's HOME is the wine folder.
binds=("${prefix%/wine/*}" "$(dirname -- "${1-.}")")
[ -z "${root-}" ] || export HOME=${prefix%/*}
run "$program" "$@"
