#!/usr/bin/env bash
# Makes sure the tools a build or test step needs are installed. As root it installs what
# is missing with apt-get; otherwise it names the packages and fails.
# usage: ensure-tools.sh host|windows|arm64-toolchain|records|checks...
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
missing=()
records=0
# Installed without the packages they recommend (qemu's would bring a desktop's worth).
lean=()
need_i386=0

need_command() {  # COMMAND PACKAGE
  command -v "$1" >/dev/null 2>&1 || missing+=("$2")
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
}
installed() {  # PACKAGE
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'
}

for group in "$@"; do
  case $group in
    host)
      need_command cmake cmake
      need_command ninja ninja-build
      need_command g++ g++
      need_command git git
      [ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
      ;;
    windows)
      need_command i686-w64-mingw32-g++-posix g++-mingw-w64-i686
      need_command x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64
      need_command wine wine
      installed wine64 || missing+=(wine64)
      # Without its preloader, wine now and then starts a process where the kernel has
      # already placed something at an address Windows reserves ("failed to map the shared
      # user data"), and that process dies.
      installed wine64-preloader || missing+=(wine64-preloader)
      for package in wine32:i386 wine32-preloader:i386; do
        if ! installed $package; then
          missing+=($package)
          need_i386=1
        fi
      done
      need_command ps procps
      # Where this machine's kernel runs no 32-bit code, the 32-bit exe's tests run in a VM:
      # qemu, and Debian's static busybox and cpio to make its initramfs.
      need_command qemu-system-x86_64 qemu-system-x86
      lean+=(qemu-system-x86)
      [ -x /bin/busybox ] && ! readelf -l /bin/busybox 2>/dev/null | grep -q 'program interpreter' ||
        missing+=(busybox-static)
      need_command cpio cpio
      # The MSI packages: wixl and msibuild (msitools), run at the commit's time (faketime).
      need_command wixl wixl
      need_command msibuild msitools
      need_command faketime faketime
      # The ZIP's entries, dates, modes and owners made the same on every machine.
      need_command strip-nondeterminism strip-nondeterminism
      # The ARM64 exe, and the arm64 guest its tests run in, whose root is unpacked from
      # Debian's arm64 packages.
      need_arm64_toolchain
      need_command qemu-system-aarch64 qemu-system-arm
      lean+=(qemu-system-arm)
      need_command qemu-aarch64-static qemu-user-static
      # The release checks: signing, its throwaway certificate, the manifest's XML.
      need_command osslsigncode osslsigncode
      # Signing from a token: SoftHSM's token, OpenSC's pkcs11-tool, OpenSSL's pkcs11
      # engine; strace records every signer's arguments.
      installed softhsm2 || missing+=(softhsm2)
      need_command pkcs11-tool opensc
      installed libengine-pkcs11-openssl || missing+=(libengine-pkcs11-openssl)
      need_command strace strace
      need_command openssl openssl
      need_command xmllint libxml2-utils
      # The SBOM and provenance checks read JSON.
      need_command jq jq
      # The release's manifests: Debian's Python with PyYAML, and yamllint; the test reads
      # the ZIPs' listings and the exes' machine (file).
      [ -x /usr/bin/python3 ] || missing+=(python3)
      installed python3-yaml || missing+=(python3-yaml)
      # ... and its exes' PE headers read with pefile, as scripts/verify-release reads them
      # (which needs nothing more but osslsigncode, msitools and openssl, above).
      installed python3-pefile || missing+=(python3-pefile)
      need_command yamllint yamllint
      need_command unzip unzip
      need_command file file
      # The release built twice under Debian's reprotest, the second time varied
      # (tests/release/reprotest.sh): diffoscope (and zipinfo, above) to show a difference,
      # disorderfs over FUSE for the file order, sudo for the other user and host name,
      # Debian's locale sources for the varied locale.
      need_command reprotest reprotest
      need_command diffoscope diffoscope-minimal
      lean+=(reprotest diffoscope-minimal)
      need_command disorderfs disorderfs
      need_command fusermount3 fuse3
      need_command sudo sudo
      [ -f /usr/share/i18n/locales/et_EE ] || missing+=(locales)
      ;;
    arm64-toolchain)
      need_arm64_toolchain
      ;;
    records)
      # The SBOM and provenance: Debian's Node.js, and the npm packages that
      # release/sbom/package-lock.json pins, installed below into build/node/.
      need_command node nodejs
      need_command npm npm
      records=1
      ;;
    checks)
      need_command clang++ clang
      need_command clang-tidy clang-tidy
      need_command clang-format clang-format
      need_command cppcheck cppcheck
      need_command valgrind valgrind
      [ -n "$(find /usr/lib/llvm-14/lib/clang -name 'libclang_rt.fuzzer-x86_64.a' 2>/dev/null)" ] ||
        missing+=(libclang-rt-14-dev)
      ;;
    *)
      echo "ensure-tools.sh: unknown group '$group' (host, windows, arm64-toolchain, records, checks)" >&2
      exit 2
      ;;
  esac
done

# The npm packages, exactly as locked, outside the source tree; again only when the lock
# file changed. No install scripts run, and the optional XML parts (a native build) are
# left out: only the JSON serializer and validator are used.
npm_packages() {
  local dest=${DORVANE_NODE_MODULES:-$root/build/node/node_modules}
  dest=${dest%/node_modules}
  cmp -s "$root/release/sbom/package-lock.json" "$dest/node_modules/.dorvane-lock.json" && return
  echo "Installing the npm packages of release/sbom/package-lock.json into $dest"
  mkdir -p "$dest"
  cp "$root/release/sbom/package.json" "$root/release/sbom/package-lock.json" "$dest/"
  (cd "$dest" && npm ci --omit=optional --ignore-scripts --no-audit --no-fund --loglevel=error >/dev/null)
  cp "$root/release/sbom/package-lock.json" "$dest/node_modules/.dorvane-lock.json"
}

if [ ${#missing[@]} = 0 ]; then
  [ $records = 0 ] || npm_packages
  exit 0
fi
if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null; then
  echo "Missing: ${missing[*]}" >&2
  [ $need_i386 = 1 ] && echo "wine32 needs the i386 architecture: dpkg --add-architecture i386" >&2
  echo "Install them with: apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
[ $need_i386 = 1 ] && dpkg --add-architecture i386
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
plain=() sparse=()
for package in "${missing[@]}"; do
  if [[ " ${lean[*]} " == *" $package "* ]]; then sparse+=("$package"); else plain+=("$package"); fi
done
[ ${#plain[@]} = 0 ] || apt-get install -y -qq "${plain[@]}" >/dev/null
[ ${#sparse[@]} = 0 ] || apt-get install -y -qq --no-install-recommends "${sparse[@]}" >/dev/null
[ $records = 0 ] || npm_packages
