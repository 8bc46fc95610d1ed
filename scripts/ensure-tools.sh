#!/usr/bin/env bash
# Makes sure the Debian packages a build or test step needs are installed: each group's
# list below. As root it installs what is missing with apt-get satisfy; otherwise it names
# the packages and fails. A package is there when dpkg has it installed, or one that it
# has installed provides it. It installs packages of this machine's own architecture only:
# the 32-bit wine runs from a root of its own (tests/wine/wine32-root.sh), and nothing
# arm64 is installed either.
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
# Where dpkg's database and the 32-bit wine are looked for: this machine's root, or the
# setup test's own folder.
files=${DORVANE_TOOLS_ROOT:-}
check_only=0
[ "${1-}" != --check ] || { check_only=1; shift; }
# Installed without the packages they recommend (qemu's would bring a desktop's worth).
lean=" qemu-system-x86 qemu-system-arm reprotest diffoscope-minimal "

# Each group's Debian packages, as apt names them; add_group reads a group's list by its name.
# shellcheck disable=SC2034
{
# The verifier's one file (scripts/verify-release) and its in-process tests (verify.unit):
# Debian's Python with asn1crypto, cryptography, pefile and PyYAML, libmsi's bindings, and
# the tools it runs. Every Windows suite's release checks run it too.
verifier=(python3 python3-asn1crypto python3-cryptography python3-pefile python3-yaml python3-gi gir1.2-libmsi-1.0
  osslsigncode msitools openssl)
host=(cmake ninja-build g++ git googletest "${verifier[@]}")
# What builds the ARM64 exe: Debian's clang, lld and LLVM tools, and what builds its
# mingw-w64 runtime from Debian's sources (toolchain/arm64-sysroot.sh), with the x86 mingw
# g++'s libstdc++ headers; the header checksum lld leaves 0 (toolchain/pe-checksum.py), by
# Debian's Python with pefile.
arm64_toolchain=(clang lld llvm dpkg-dev make bzip2 xz-utils g++-mingw-w64-x86-64 python3 python3-pefile)
# The test VMs: qemu (one a group, below), and Debian's static busybox and cpio for their
# initramfs.
vm=(busybox-static cpio)
# What every Windows suite's packaging and release checks use.
windows_common=(cmake ninja-build procps "${verifier[@]}"
  # The MSI packages, made of the contract's tables by release/make_msi.py: msibuild
  # (msitools) and libmsi's GObject bindings (the verifier's), and gcab's, which write the
  # cabinet.
  gir1.2-gcab-1.0
  # The tests' clocks: certificates out of their time, a signing run near a certificate's end.
  faketime
  # The ZIP's entries, dates, modes and owners made the same on every machine.
  strip-nondeterminism
  # Signing (osslsigncode and openssl, the verifier's) and its throwaway certificate; from a
  # token: SoftHSM's token, OpenSC's pkcs11-tool, OpenSSL's pkcs11 engine; strace records
  # every signer's arguments.
  softhsm2 opensc libengine-pkcs11-openssl strace libxml2-utils
  # The SBOM and provenance checks read JSON.
  jq
  # The manifests (the verifier's PyYAML, and yamllint).
  yamllint unzip file
  # The release built twice under Debian's reprotest, the second time varied
  # (tests/release/reprotest.sh): diffoscope (and zipinfo, above) to show a difference,
  # disorderfs over FUSE for the file order, sudo for the other user and host name,
  # Debian's locale sources for the varied locale.
  reprotest diffoscope-minimal disorderfs fuse3 sudo locales)
windows_x86=("${windows_common[@]}" g++-mingw-w64-i686 qemu-system-x86 "${vm[@]}")
# A machine with Debian's wine32:i386 runs it; any other gets a root of Debian's i386
# packages (unpacked by mmdebstrap), run in a mount namespace of its own (bubblewrap).
# Where the kernel runs no 32-bit code, the tests run in the x86 test VM.
[ -x "$files/usr/lib/wine/wine" ] || windows_x86+=(mmdebstrap bubblewrap)
# Without its preloader, wine now and then starts a process where the kernel has already
# placed something at an address Windows reserves ("failed to map the shared user data"),
# and that process dies.
windows_x64=("${windows_common[@]}" g++-mingw-w64-x86-64 wine wine64 wine64-preloader)
# The ARM64 exe, and the arm64 guest its tests run in, whose root is unpacked from
# Debian's arm64 packages; this machine's 64-bit wine makes the guest's prefix.
windows_arm64=("${windows_common[@]}" "${arm64_toolchain[@]}" qemu-system-arm qemu-user-static "${vm[@]}"
  wine wine64 wine64-preloader)
# The SBOM and provenance: Debian's Node.js, and the npm packages that
# release/sbom/package-lock.json pins, installed below; what apt knows of
# each package, read through python3-apt by Debian's Python.
records=(nodejs npm python3 python3-apt)
# The C++ checks (clang-tidy, clang-format, cppcheck, valgrind, the fuzzers' runtime), the
# linters of the other languages, and the docs' Markdown read as tokens (scripts/lint.sh,
# scripts/check-doc-links).
checks=(clang clang-tidy clang-format cppcheck valgrind libclang-rt-14-dev shellcheck pyflakes3 nodejs python3
  python3-markdown-it)
}

# What is there: each installed package, and each name one of them provides (NodeSource's
# nodejs provides npm), as apt counts a dependency without a version satisfied.
there=$(dpkg-query ${files:+"--admindir=$files/var/lib/dpkg"} -W -f='${db:Status-Abbrev} ${Package}, ${Provides}\n' \
  2>/dev/null | sed -n 's/^.i. //p' | tr ',' '\n' | sed 's/^ *//; s/ .*//' | LC_ALL=C sort -u)
declare -A wanted=()  # group -> its packages that are not there
groups=()
want_records=0
# The groups by name; "windows" stands for its three.
windows=(windows-x86 windows-x64 windows-arm64)
group_names=(host windows "${windows[@]}" arm64-toolchain records checks)
add_group() {  # GROUP: what it lacks, in wanted[GROUP]
  local name known=0
  for name in "${group_names[@]}"; do [ "$1" != "$name" ] || known=1; done
  if [ $known = 0 ]; then
    echo "ensure-tools.sh: unknown group '$1' ($(printf '%s, ' "${group_names[@]}" | sed 's/, $//'))" >&2
    exit 2
  fi
  if [ "$1" = windows ]; then
    for name in "${windows[@]}"; do add_group "$name"; done
    return
  fi
  [ "$1" != records ] || want_records=1
  groups+=("$1")
  local -n list=${1//-/_}
  # Each package once per group, in a fixed order.
  wanted[$1]=$(printf '%s\n' "${list[@]}" | LC_ALL=C sort -u | grep -vxF -e "$there" | tr '\n' ' ')
  wanted[$1]=${wanted[$1]% }
}
[ $# -gt 0 ] || { echo "usage: ensure-tools.sh [--check] GROUP..." >&2; exit 2; }
for group in "$@"; do add_group "$group"; done

# The npm packages, exactly as locked, outside the source tree; again only when the lock
# file changed. No install scripts run, and the optional XML parts (a native build) are
# left out: only the JSON serializer and validator are used. They go where
# DORVANE_NODE_MODULES says, else into the checkout's folder that release/contract.json
# names, read by the Node.js they are for.
npm_dest() {
  local dest=${DORVANE_NODE_MODULES:-$root/$(node -p 'require(process.argv[1]).paths.node_modules' "$root/release/contract.json")}
  echo "${dest%/node_modules}"
}
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
# (Without Node.js, which the group's packages then name, their default folder is not read.)
if [ $want_records = 1 ] && [ $check_only = 1 ] && { [ -n "${DORVANE_NODE_MODULES:-}" ] || command -v node >/dev/null; } &&
  ! npm_current; then
  npm_lacking=1
  echo "ensure-tools.sh: records lacks the npm packages of release/sbom/package-lock.json in $(npm_dest);" \
    "install with: scripts/ensure-tools.sh records" >&2
fi
if [ -z "${all// /}" ]; then
  [ $want_records = 0 ] || [ $check_only = 1 ] || npm_packages
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
# a few tries with a pause, then the lists apt already has. (apt's own retries, below, are
# for a download that failed; an index of the wrong size or hash it does not fetch again.)
tries=${DORVANE_APT_TRIES:-3}
for ((try = 1; ; try++)); do
  apt-get update -qq -o Acquire::Retries=3 >"$log" 2>&1 && break
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

# Each group's packages in one transaction of apt's (those without their recommends in a
# second): one that cannot be installed is named with what apt says of it, first the
# dependencies it could not meet.
status=0
satisfy() {  # GROUP OPTION... -- PACKAGE...
  local group=$1 options=() why
  shift
  while [ "$1" != -- ]; do options+=("$1"); shift; done
  shift
  [ $# != 0 ] || return 0
  why=$(printf '%s, ' "$@")
  apt-get satisfy -y -q -o Acquire::Retries=3 "${options[@]}" "${why%, }" >"$log" 2>&1 && return
  why=$(sed -n 's/^.* Depends: //p' "$log" | head -5 | tr '\n' ';' | sed 's/;$//; s/;/; /g')
  echo "ensure-tools.sh: cannot install $* ($group)"
  echo "ensure-tools.sh: apt says: $(echo "${why:-$(grep '^E: ' "$log" | head -1 | cut -c4-)}" | cut -c1-300)"
  status=1
}
for group in "${groups[@]}"; do
  plain=() sparse=()
  for package in ${wanted[$group]}; do
    if [[ $lean == *" $package "* ]]; then sparse+=("$package"); else plain+=("$package"); fi
  done
  satisfy "$group" -- "${plain[@]}"
  satisfy "$group" --no-install-recommends -- "${sparse[@]}"
done
[ $want_records = 0 ] || npm_packages
exit $status
