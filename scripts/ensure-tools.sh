#!/usr/bin/env bash
# Makes sure the tools a build or test step needs are installed. As root it installs what
# is missing with apt-get; otherwise it names the packages and fails. It installs Debian
# packages of this machine's own architecture only: the 32-bit wine runs from a root of
# its own (tests/wine/wine32-root.sh), and nothing arm64 is installed either.
# usage: ensure-tools.sh [--check] GROUP...
#   GROUP: host, windows (the three below), windows-x86, windows-x64, windows-arm64,
#          arm64-toolchain, records, checks
#   --check: install nothing; if any is missing, fail with one line a group naming them and
#            the command that installs them (what configure and the build steps run)
# A failed apt-get update (a mirror in mid-sync) is tried again, then the lists apt has
# serve, and one line names each index it could not read. Each group is installed on its
# own: one that cannot be installed is named with apt's reason, the others still are, and
# the status is then 1.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
# Where the checks for files look: this machine's root, or the setup test's own folder.
files=${DORVANE_TOOLS_ROOT:-}
check_only=0
[ "${1-}" != --check ] || { check_only=1; shift; }
# Installed without the packages they recommend (qemu's would bring a desktop's worth).
lean=" qemu-system-x86 qemu-system-arm reprotest diffoscope-minimal "
records=0
declare -A wanted=()  # group -> its missing packages
groups=()

missing=()
need_command() {  # COMMAND PACKAGE
  command -v "$1" >/dev/null 2>&1 || missing+=("$2")
}
need_package() {  # PACKAGE
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed' || missing+=("$1")
}
# What builds the ARM64 exe: Debian's clang, lld and LLVM tools, and what builds its
# mingw-w64 runtime from Debian's sources (toolchain/arm64-sysroot.sh), with the x86
# mingw g++'s libstdc++ headers.
need_arm64_toolchain() {
  need_command clang++-14 clang
  need_command ld.lld-14 lld
  need_command llvm-objdump-14 llvm
  need_command dpkg-source dpkg-dev
  need_command make make
  need_command bzip2 bzip2
  need_command xz xz-utils
  need_command x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64
  # The header checksum lld leaves 0 (toolchain/pe-checksum.py), by Debian's Python.
  [ -x "$files/usr/bin/python3" ] || missing+=(python3)
  need_package python3-pefile
}
# The test VM: qemu, and Debian's static busybox and cpio for its initramfs.
need_vm() {  # QEMU_COMMAND QEMU_PACKAGE
  need_command "$1" "$2"
  [ -x "$files/bin/busybox" ] && ! readelf -l "$files/bin/busybox" 2>/dev/null | grep -q 'program interpreter' ||
    missing+=(busybox-static)
  need_command cpio cpio
}
# What every Windows suite's packaging and release checks use.
need_windows_common() {
  need_command cmake cmake
  need_command ninja ninja-build
  need_command ps procps
  # The MSI packages: wixl and msibuild (msitools), run at the commit's time (faketime) by
  # release/make_msi.py, which reads MSIs as data with libmsi's GObject bindings.
  need_command wixl wixl
  need_command msibuild msitools
  need_command faketime faketime
  need_package python3-gi
  need_package gir1.2-libmsi-1.0
  # The ZIP's entries, dates, modes and owners made the same on every machine.
  need_command strip-nondeterminism strip-nondeterminism
  # Signing and its throwaway certificate; from a token: SoftHSM's token, OpenSC's
  # pkcs11-tool, OpenSSL's pkcs11 engine; strace records every signer's arguments.
  need_command osslsigncode osslsigncode
  need_package softhsm2
  need_command pkcs11-tool opensc
  need_package libengine-pkcs11-openssl
  need_command strace strace
  need_command openssl openssl
  need_command xmllint libxml2-utils
  # The SBOM and provenance checks read JSON.
  need_command jq jq
  # The manifests (PyYAML, yamllint) and scripts/verify-release: Debian's Python with
  # pefile for PE headers, asn1crypto and cryptography for signatures.
  [ -x "$files/usr/bin/python3" ] || missing+=(python3)
  need_package python3-yaml
  need_package python3-pefile
  need_package python3-asn1crypto
  need_package python3-cryptography
  need_command yamllint yamllint
  need_command unzip unzip
  need_command file file
  # The release built twice under Debian's reprotest, the second time varied
  # (tests/release/reprotest.sh): diffoscope (and zipinfo, above) to show a difference,
  # disorderfs over FUSE for the file order, sudo for the other user and host name,
  # Debian's locale sources for the varied locale.
  need_command reprotest reprotest
  need_command diffoscope diffoscope-minimal
  need_command disorderfs disorderfs
  need_command fusermount3 fuse3
  need_command sudo sudo
  [ -f "$files/usr/share/i18n/locales/et_EE" ] || missing+=(locales)
}

add_group() {  # GROUP: what it lacks, in wanted[GROUP]
  missing=()
  case $1 in
    host)
      need_command cmake cmake
      need_command ninja ninja-build
      need_command g++ g++
      need_command git git
      [ -f "$files/usr/src/googletest/CMakeLists.txt" ] || missing+=(googletest)
      # The verifier's one file and its in-process tests (verify.unit): Debian's Python with
      # asn1crypto, cryptography, pefile and PyYAML, libmsi's bindings, and the tools it runs.
      [ -x "$files/usr/bin/python3" ] || missing+=(python3)
      need_package python3-asn1crypto
      need_package python3-cryptography
      need_package python3-pefile
      need_package python3-yaml
      need_package python3-gi
      need_package gir1.2-libmsi-1.0
      need_command osslsigncode osslsigncode
      need_command msibuild msitools
      need_command openssl openssl
      ;;
    windows)
      local arch
      for arch in windows-x86 windows-x64 windows-arm64; do add_group $arch; done
      return
      ;;
    windows-x86)
      need_windows_common
      need_command i686-w64-mingw32-g++-posix g++-mingw-w64-i686
      # A machine with Debian's wine32:i386 runs it; any other gets a root of Debian's i386
      # packages (mmdebstrap, which runs their maintainer scripts), run in a mount namespace
      # of its own (bubblewrap). Where the kernel runs no 32-bit code, qemu's i386 emulator
      # runs the maintainer scripts, and the tests run in the x86 test VM.
      if [ ! -x "$files/usr/lib/wine/wine" ]; then
        need_command mmdebstrap mmdebstrap
        need_command arch-test arch-test
        need_command bwrap bubblewrap
        need_command qemu-i386-static qemu-user-static
      fi
      need_vm qemu-system-x86_64 qemu-system-x86
      ;;
    windows-x64)
      need_windows_common
      need_command x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64
      need_command wineserver wine
      need_package wine64
      # Without its preloader, wine now and then starts a process where the kernel has
      # already placed something at an address Windows reserves ("failed to map the shared
      # user data"), and that process dies.
      need_package wine64-preloader
      ;;
    windows-arm64)
      need_windows_common
      # The ARM64 exe, and the arm64 guest its tests run in, whose root is unpacked from
      # Debian's arm64 packages.
      need_arm64_toolchain
      need_vm qemu-system-aarch64 qemu-system-arm
      need_command qemu-aarch64-static qemu-user-static
      ;;
    arm64-toolchain)
      need_arm64_toolchain
      ;;
    records)
      # The SBOM and provenance: Debian's Node.js, and the npm packages that
      # release/sbom/package-lock.json pins, installed below into build/node/; what apt
      # knows of each package, read through python3-apt by Debian's Python.
      need_command node nodejs
      need_command npm npm
      [ -x "$files/usr/bin/python3" ] || missing+=(python3)
      need_package python3-apt
      records=1
      ;;
    checks)
      need_command clang++ clang
      need_command clang-tidy clang-tidy
      need_command clang-format clang-format
      need_command cppcheck cppcheck
      need_command valgrind valgrind
      # The linters of the other languages, and the docs' Markdown read as tokens
      # (scripts/lint.sh, scripts/check-doc-links).
      need_command shellcheck shellcheck
      need_command pyflakes3 pyflakes3
      need_package python3-markdown-it
      need_command node nodejs
      [ -x "$files/usr/bin/python3" ] || missing+=(python3)
      [ -n "$(find "$files/usr/lib/llvm-14/lib/clang" -name 'libclang_rt.fuzzer-x86_64.a' 2>/dev/null)" ] ||
        missing+=(libclang-rt-14-dev)
      ;;
    *)
      echo "ensure-tools.sh: unknown group '$1' (host, windows, windows-x86, windows-x64, windows-arm64," \
           "arm64-toolchain, records, checks)" >&2
      exit 2
      ;;
  esac
  groups+=("$1")
  # Each package once per group, in a fixed order.
  wanted[$1]=$(printf '%s\n' "${missing[@]}" | LC_ALL=C sort -u | tr '\n' ' ')
  wanted[$1]=${wanted[$1]% }
}
[ $# -gt 0 ] || { echo "usage: ensure-tools.sh [--check] GROUP..." >&2; exit 2; }
for group in "$@"; do add_group "$group"; done

# The npm packages, exactly as locked, outside the source tree; again only when the lock
# file changed. No install scripts run, and the optional XML parts (a native build) are
# left out: only the JSON serializer and validator are used.
npm_dest() { local dest=${DORVANE_NODE_MODULES:-$root/build/node/node_modules}; echo "${dest%/node_modules}"; }
npm_current() { cmp -s "$root/release/sbom/package-lock.json" "$(npm_dest)/node_modules/.dorvane-lock.json"; }
npm_packages() {
  local dest
  dest=$(npm_dest)
  npm_current && return
  echo "Installing the npm packages of release/sbom/package-lock.json into $dest"
  mkdir -p "$dest"
  cp "$root/release/sbom/package.json" "$root/release/sbom/package-lock.json" "$dest/"
  (cd "$dest" && npm ci --omit=optional --ignore-scripts --no-audit --no-fund --loglevel=error >/dev/null)
  cp "$root/release/sbom/package-lock.json" "$dest/node_modules/.dorvane-lock.json"
}

all=""
for group in "${groups[@]}"; do all+=" ${wanted[$group]}"; done
# The npm packages are the records group's too: a check names them when they are not the
# lock file's.
npm_lacking=0
if [ $records = 1 ] && [ $check_only = 1 ] && ! npm_current; then
  npm_lacking=1
  echo "ensure-tools.sh: records lacks the npm packages of release/sbom/package-lock.json in $(npm_dest);" \
    "install with: scripts/ensure-tools.sh records" >&2
fi
if [ -z "${all// /}" ]; then
  [ $records = 0 ] || [ $check_only = 1 ] || npm_packages
  exit $npm_lacking
fi
# shellcheck disable=SC2086 # a list of package names
all=$(printf '%s\n' $all | LC_ALL=C sort -u | tr '\n' ' ')
if [ $check_only = 1 ] || [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null; then
  for group in "${groups[@]}"; do
    [ -n "${wanted[$group]}" ] || continue
    if [ $check_only = 1 ]; then
      echo "ensure-tools.sh: $group lacks ${wanted[$group]}; install with: scripts/ensure-tools.sh $group" >&2
    else
      echo "ensure-tools.sh: $group lacks ${wanted[$group]}" >&2
    fi
  done
  [ $check_only = 1 ] || echo "Install them as root with: apt-get install ${all% }" >&2
  exit 1
fi
echo "Installing: ${all% }"
export DEBIAN_FRONTEND=noninteractive
log=$(mktemp)
trap 'rm -f "$log"' EXIT

# A mirror in mid-sync serves indexes that do not match their release file for a while:
# a few tries with a pause, then the lists apt already has.
tries=${DORVANE_APT_TRIES:-3}
for ((try = 1; ; try++)); do
  apt-get update -qq >"$log" 2>&1 && break
  if [ "$try" -ge "$tries" ]; then
    grep -E '^[EW]: Failed to fetch ' "$log" | sed -E 's/^[EW]: Failed to fetch ([^ ]*) +(.*)$/\1: \2/' |
      while read -r line; do
        echo "ensure-tools.sh: apt-get update could not read $line; going on with the lists apt has"
      done
    grep -qE '^[EW]: Failed to fetch ' "$log" ||
      echo "ensure-tools.sh: apt-get update failed ($(grep '^E: ' "$log" | head -1)); going on with the lists apt has"
    break
  fi
  sleep "${DORVANE_APT_RETRY_PAUSE:-20}"
done

status=0
install() {  # GROUP OPTION... -- PACKAGE...: says what could not be installed, and why
  local group=$1 options=()
  shift
  while [ "$1" != -- ]; do options+=("$1"); shift; done
  shift
  [ $# != 0 ] || return 0
  apt-get install -y -qq "${options[@]}" "$@" >"$log" 2>&1 && return
  echo "ensure-tools.sh: cannot install $* ($group)"
  echo "ensure-tools.sh: apt says: $(grep '^E: ' "$log" | head -1 | cut -c4-300)"
  status=1
}
for group in "${groups[@]}"; do
  plain=() sparse=()
  for package in ${wanted[$group]}; do
    if [[ $lean == *" $package "* ]]; then sparse+=("$package"); else plain+=("$package"); fi
  done
  install "$group" -- "${plain[@]}"
  install "$group" --no-install-recommends -- "${sparse[@]}"
done
[ $records = 0 ] || npm_packages
exit $status
