#!/usr/bin/env bash
# Makes the throwaway guest that vm-run.sh boots: Debian's own kernel, fetched as a package
# and unpacked into CACHE_DIR (never installed into /boot), and a minimal initramfs of
# Debian's static busybox, the virtio, 9p and overlay modules of that same kernel and
# vm-init.sh. An x86_64 guest's root is this machine's own; an arm64 guest gets a root
# unpacked from Debian's arm64 packages (wine and what the tests run), through a private
# apt that leaves this machine's apt setup and architectures alone: nothing arm64 is
# installed here. Kept per package versions and recipe; prints the image folder (vmlinuz,
# initrd and, for arm64, root).
# usage: vm-image.sh [--refresh] x86_64|arm64 CACHE_DIR
# Without --refresh the image made last for this recipe serves at once, with no apt
# look-up; the build refreshes it.
set -euo pipefail
refresh=0
[ "${1-}" != --refresh ] || { refresh=1; shift; }
arch=${1-}
case $arch in
  x86_64) meta=linux-image-amd64 busybox=/bin/busybox group=windows-x86 ;;
  arm64) meta=linux-image-arm64 busybox="" group=windows-arm64 ;;
  *) echo "vm-image.sh: unknown guest architecture '$arch' (x86_64, arm64)" >&2; exit 2 ;;
esac
mkdir -p "$2"
cache=$(cd "$2" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
# Each needs the ones before it; the order is the order of loading. The arm64 kernel has
# virtio itself built in.
modules=(virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci netfs fscache 9pnet
         9pnet_virtio 9p overlay)
[ "$arch" = arm64 ] || modules=(virtio_ring virtio "${modules[@]}")
# What the tests run in the arm64 guest: wine, and the shell tools of their scripts.
root_packages=(wine64 wine dash bash coreutils sed grep gawk diffutils findutils tar procps
               util-linux libc-bin)

fail() { echo "vm-image.sh: $*" >&2; exit 1; }
# Checked only, with the command that installs what is missing.
if [ -n "$busybox" ] && { [ ! -x $busybox ] || readelf -l $busybox 2>/dev/null | grep -q 'program interpreter'; }; then
  fail "needs Debian's static busybox at $busybox (busybox-static; install it with: scripts/ensure-tools.sh $group)"
fi
[ "$arch" = x86_64 ] || command -v qemu-aarch64-static >/dev/null ||
  fail "needs qemu-aarch64-static to index the arm64 root's libraries (qemu-user-static; install it with: scripts/ensure-tools.sh $group)"

# A new init script, this script or busybox makes a new image.
recipe=$(cat "$here/vm-init.sh" "$0" $busybox | sha256sum | cut -c1-12)
pointer=$cache/image-$arch
if [ $refresh = 0 ] && image=$(cat "$pointer" 2>/dev/null) && [[ $image == *_$recipe ]] &&
   [ -f "$image/complete" ]; then
  echo "$image"
  exit 0
fi

# apt as it is for the x86_64 guest; for arm64 one of its own in the cache, over this
# machine's sources, with an empty dpkg status.
apt_env=()
if [ "$arch" = arm64 ]; then
  apt_dir=$cache/apt-arm64
  mkdir -p "$apt_dir"/{etc/apt.conf.d,etc/preferences.d,state/lists/partial,cache/archives/partial}
  touch "$apt_dir/state/status"
  cat >"$apt_dir/etc/apt.conf" <<EOF
APT::Architecture "arm64";
APT::Architectures { "arm64"; };
Dir::State "$apt_dir/state";
Dir::State::status "$apt_dir/state/status";
Dir::Cache "$apt_dir/cache";
Dir::Cache::pkgcache "";
Dir::Cache::srcpkgcache "";
Dir::Etc::Parts "$apt_dir/etc/apt.conf.d";
Dir::Etc::PreferencesParts "$apt_dir/etc/preferences.d";
Acquire::Languages "none";
APT::Sandbox::User "root";
Debug::NoLocking "true";
EOF
  apt_env=(env APT_CONFIG="$apt_dir/etc/apt.conf")
  # The lists are fetched once a day at most; the versions then name everything below.
  if [ -z "$(find "$apt_dir/state/lists" -maxdepth 1 -name '*Packages*' -mtime -1 2>/dev/null | head -1)" ]; then
    "${apt_env[@]}" apt-get -qq update >"$apt_dir/update.log" 2>&1 ||
      fail "apt-get update for arm64 failed: $(tail -1 "$apt_dir/update.log")"
  fi
fi
# The kernel the metapackage stands for now, e.g. linux-image-6.1.0-57-amd64 6.1.192-3.
# One look-up: apt reads all its lists for each.
candidate() {
  "${apt_env[@]}" apt-cache show --no-all-versions "$meta" 2>/dev/null |
    sed -n 's/^Depends: \(linux-image-[^ ,]*\) (= \([^)]*\)).*/\1 \2/p' | head -1 | grep .
}
# This machine's apt is only read: lists without the kernel (none fetched yet) are named,
# with the command that fetches them.
if ! read -r package version < <(candidate); then
  [ "$arch" = arm64 ] && fail "apt knows no $meta for arm64 (its lists: $apt_dir/state/lists)"
  fail "apt knows no $meta: fetch apt's lists as root with: apt-get update"
fi
closure=""
name=${package}_${version}
if [ "$arch" = arm64 ]; then
  # Every package of the root, with its version, as apt resolves them for an empty system.
  closure=$("${apt_env[@]}" apt-get -s -qq --no-install-recommends install "${root_packages[@]}" busybox-static |
    awk '$1 == "Inst" { print $2 "=" substr($3, 2) }' | LC_ALL=C sort)
  [ -n "$closure" ] || fail "apt resolved no packages for the arm64 guest's root"
  name=${name}_root-$(echo "$closure" | sha256sum | cut -c1-12)
fi
image=$cache/${name}_$recipe
[ ! -f "$image/complete" ] || { echo "$image" | tee "$pointer"; exit 0; }

rm -rf "$image" "$image.new"
mkdir -p "$image.new/deb" "$image.new"/initramfs/{bin,dev,proc,sys,host,lib/modules} "$cache/debs"
cd "$image.new"
# apt's sandbox user may not write into a build tree; the download is checked all the same.
sandbox=()
[ "$(id -u)" != 0 ] || sandbox=(-o APT::Sandbox::User=root)
# Downloads are kept, so that new versions fetch only what changed.
# shellcheck disable=SC2086 # the closure is a list of words
(cd "$cache/debs" && "${apt_env[@]}" apt-get download -qq "${sandbox[@]}" "$package=$version" $closure) \
  >download.log 2>&1 || fail "apt-get download failed: $(tail -1 download.log)"
deb() {  # PACKAGE=VERSION: its file among the downloads, which name an epoch's colon %3a
  local version=${1#*=} files
  files=("$cache/debs/${1%%=*}_${version//:/%3a}"_*.deb)
  [ -f "${files[0]}" ] || fail "no download of $1"
  echo "${files[0]}"
}
dpkg-deb --fsys-tarfile "$(deb "$package=$version")" | tar -x -C deb --wildcards './boot/vmlinuz-*' \
  './lib/modules/*/kernel/drivers/virtio/*' './lib/modules/*/kernel/net/9p/*' \
  './lib/modules/*/kernel/fs/9p/*' './lib/modules/*/kernel/fs/netfs/*' \
  './lib/modules/*/kernel/fs/fscache/*' './lib/modules/*/kernel/fs/overlayfs/*'
mv deb/boot/vmlinuz-* vmlinuz
for module in "${modules[@]}"; do
  file=$(find deb/lib/modules -name "$module.ko" | head -1)
  [ -n "$file" ] || fail "$package has no module $module"
  cp "$file" initramfs/lib/modules/
  echo "$module" >>initramfs/lib/modules/order
done
if [ -n "$busybox" ]; then
  cp $busybox initramfs/bin/busybox
else
  dpkg-deb --fsys-tarfile "$(deb "$(grep '^busybox-static=' <<<"$closure")")" |
    tar -x -O ./bin/busybox >initramfs/bin/busybox
fi
cp "$here/vm-init.sh" initramfs/init
chmod 755 initramfs/init initramfs/bin/busybox
(cd initramfs && find . | LC_ALL=C sort | cpio --quiet -o -H newc -R 0:0) | gzip -n >initrd
rm -rf deb initramfs

if [ "$arch" = arm64 ]; then
  mkdir root
  for item in $closure; do
    [[ $item == busybox-static=* ]] && continue
    dpkg-deb --fsys-tarfile "$(deb "$item")" |
      tar -x -C root --exclude=./usr/share/doc --exclude=./usr/share/man \
        --exclude=./usr/share/info --exclude=./usr/share/locale || fail "cannot unpack $item"
  done
  # No maintainer script ran: what they would have made, made here.
  printf '%s\n' 'root:x:0:0:root:/root:/bin/bash' \
    'nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin' >root/etc/passwd
  printf '%s\n' 'root:x:0:' 'nogroup:x:65534:' >root/etc/group
  ln -sf gawk root/usr/bin/awk
  for link in root/usr/bin/*-stable; do  # wine, wineserver, msiexec, ...: Debian's alternatives
    ln -sf "${link##*/}" "${link%-stable}"
  done
  mkdir -p root/tmp root/run root/root root/dev root/proc root/sys
  qemu-aarch64-static root/sbin/ldconfig -r "$PWD/root" || fail "ldconfig for the arm64 root failed"
fi
touch complete
cd ..
mv "$image.new" "$image"
echo "$image" | tee "$pointer"
