#!/usr/bin/env bash
# Makes the throwaway guest that vm-run.sh boots: Debian's own kernel, fetched as a package
# and unpacked into CACHE_DIR (never installed into /boot), and a minimal initramfs of
# Debian's static busybox, the virtio and 9p modules of that same kernel and vm-init.sh.
# Kept per kernel package version and recipe; prints the folder that holds vmlinuz and initrd.
# usage: vm-image.sh CACHE_DIR
set -euo pipefail
mkdir -p "$1"
cache=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
busybox=/bin/busybox
# Each needs the ones before it; the order is the order of loading.
modules=(virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci
         netfs fscache 9pnet 9pnet_virtio 9p)

fail() { echo "vm-image.sh: $*" >&2; exit 1; }
[ -x $busybox ] && ! readelf -l $busybox 2>/dev/null | grep -q 'program interpreter' ||
  fail "needs Debian's static busybox at $busybox (package busybox-static)"

# The kernel the metapackage stands for now, e.g. linux-image-6.1.0-57-amd64 6.1.192-3.
candidate() {
  local version
  version=$(apt-cache policy linux-image-amd64 2>/dev/null | sed -n 's/^ *Candidate: //p')
  [ -n "$version" ] && [ "$version" != "(none)" ] || return 1
  apt-cache show "linux-image-amd64=$version" 2>/dev/null |
    sed -n 's/^Depends: \(linux-image-[^ ,]*\) (= \([^)]*\)).*/\1 \2/p' | head -1
}
if ! read -r package version < <(candidate); then
  [ "$(id -u)" = 0 ] || fail "apt knows no linux-image-amd64: run apt-get update"
  apt-get update -qq
  read -r package version < <(candidate) || fail "apt knows no linux-image-amd64"
fi
# A new init script or busybox makes a new image; the kernel's version names it too.
recipe=$(cat "$here/vm-init.sh" "$0" $busybox | sha256sum | cut -c1-12)
image=$cache/${package}_${version}_$recipe
if [ -f "$image/complete" ]; then
  echo "$image"
  exit 0
fi

rm -rf "$image" "$image.new"
mkdir -p "$image.new/deb" "$image.new"/root/{bin,dev,proc,sys,host,lib/modules}
cd "$image.new"
# apt's sandbox user may not write into a build tree; the download is checked all the same.
sandbox=()
[ "$(id -u)" != 0 ] || sandbox=(-o APT::Sandbox::User=root)
apt-get download -qq "${sandbox[@]}" "$package=$version" >download.log 2>&1 ||
  fail "apt-get download $package=$version failed: $(tail -1 download.log)"
dpkg-deb --fsys-tarfile ./*.deb | tar -x -C deb --wildcards './boot/vmlinuz-*' \
  './lib/modules/*/kernel/drivers/virtio/*' './lib/modules/*/kernel/net/9p/*' \
  './lib/modules/*/kernel/fs/9p/*' './lib/modules/*/kernel/fs/netfs/*' \
  './lib/modules/*/kernel/fs/fscache/*'
rm -f ./*.deb
mv deb/boot/vmlinuz-* vmlinuz

for module in "${modules[@]}"; do
  file=$(find deb/lib/modules -name "$module.ko" | head -1)
  [ -n "$file" ] || fail "$package has no module $module"
  cp "$file" root/lib/modules/
  echo "$module" >>root/lib/modules/order
done
cp $busybox root/bin/busybox
cp "$here/vm-init.sh" root/init
chmod 755 root/init root/bin/busybox
(cd root && find . | LC_ALL=C sort | cpio --quiet -o -H newc -R 0:0) | gzip -n >initrd
rm -rf deb root
touch complete
cd ..
mv "$image.new" "$image"
echo "$image"
