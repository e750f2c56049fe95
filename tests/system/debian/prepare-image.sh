#!/bin/bash
# Builds the Debian 12 guest: a root file system made by mmdebstrap from the host's Debian sources
# (cached, keyed on its inputs), with the loopback cards' modules and the checks added, written
# into an ext4 disk image; Debian's kernel as an ELF image (PVH entry); and a busybox initramfs
# that loads the disk's modules and hands over to systemd on the disk.
#
#   prepare-image.sh PACKAGE_DEB SYSTEST_BINARY CACHE_DIR OUT_DIR [LONG_PREVIEW]
#
# LONG_PREVIEW (long_preview.cpp, built) goes into the image for the loaded preview.
# Writes OUT_DIR/kernel, OUT_DIR/initramfs.cpio and OUT_DIR/disk.img (made anew every time: the
# boots change it).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

fail() {
    echo "prepare-image: $*" >&2
    exit 1
}

[[ $# -eq 4 || $# -eq 5 ]] ||
    fail "usage: prepare-image.sh PACKAGE_DEB SYSTEST_BINARY CACHE_DIR OUT_DIR [LONG_PREVIEW]"
package_deb=$1
systest=$2
cache=$3
out=$4
long_preview=${5:-}
[[ -z $long_preview || -x $long_preview ]] || fail "test program $long_preview missing"
[[ -f $package_deb ]] || fail "package $package_deb missing"
[[ -x $systest ]] || fail "test program $systest missing: build it first"
mkdir -p "$cache" "$out" || fail "cannot create $cache or $out"
cache=$(cd "$cache" && pwd)
out=$(cd "$out" && pwd)

# --- Kernel, busybox and the modules of the root disk ----------------------------------------------
deb_arch=amd64
# shellcheck source=../guest-kernel.sh
. "$here/../guest-kernel.sh"
kernel_deb=$(fetch "$(kernel_package linux-image-amd64)")
busybox_deb=$(fetch busybox-static)
kernel_tree=$(unpack "$kernel_deb" debian-guest './boot/*' './lib/modules/*/modules.*' \
    './lib/modules/*/kernel/sound/*' './lib/modules/*/kernel/drivers/virtio/*' \
    './lib/modules/*/kernel/drivers/block/virtio_blk.ko' './lib/modules/*/kernel/fs/ext4/*' \
    './lib/modules/*/kernel/fs/jbd2/*' './lib/modules/*/kernel/fs/mbcache.ko' \
    './lib/modules/*/kernel/lib/crc16.ko' './lib/modules/*/kernel/crypto/crc32c_generic.ko')
busybox_tree=$(unpack "$busybox_deb" tree ./bin/busybox)
kver=$(basename "$(find "$kernel_tree/lib/modules" -mindepth 1 -maxdepth 1 -type d | head -n 1)")
[[ -n $kver ]] || fail "$kernel_deb holds no lib/modules/<version>"
kernel=$(elf_kernel "$kernel_tree" "$kver")
cp "$kernel" "$out/kernel"
[[ -f $kernel_tree/lib/modules/$kver/modules.dep ]] || depmod -b "$kernel_tree" "$kver" ||
    fail "depmod -b $kernel_tree $kver failed"

# --- The root file system, cached ------------------------------------------------------------------
# The host's Debian sources, as files mmdebstrap pastes into the guest's apt configuration.
sources=()
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [[ -s $f ]] && sources+=("$f")
done
((${#sources[@]})) || fail "no apt sources on this host (/etc/apt/sources.list, /etc/apt/sources.list.d)"
# Offline installation of our package needs its dependencies (libasound2, through alsa-utils) in
# the image already.
include=systemd-sysv,udev,kmod,alsa-utils,procps
key=$( (
    echo "bookworm apt $include"
    mmdebstrap --version
    cat "${sources[@]}"
) | sha256sum | cut -c 1-16)
base=$cache/rootfs-$key
if [[ ! -f $base/.complete ]]; then
    rm -rf "$base" "$base.part"
    mmdebstrap --variant=apt --include="$include" bookworm "$base.part" "${sources[@]}" \
        </dev/null >"$cache/mmdebstrap.log" 2>&1 ||
        fail "mmdebstrap failed: $(tail -n 3 "$cache/mmdebstrap.log")"
    touch "$base.part/.complete"
    mv "$base.part" "$base"
    # Older roots of other inputs.
    find "$cache" -maxdepth 1 -name 'rootfs-*' ! -name "rootfs-$key" -exec rm -rf {} +
fi

root=$out/root
rm -rf "$root"
cp -a "$base" "$root" || fail "cannot copy $base"
rm "$root/.complete"

# The loopback cards, loaded by systemd-modules-load at every boot: cards 0 and 1, one substream
# per device, as in the system suite.
for module in soundcore snd snd-timer snd-pcm snd-aloop; do
    path=$(cd "$kernel_tree" && find "lib/modules/$kver/kernel/sound" -name "$module.ko*" | head -n 1)
    [[ -n $path ]] || fail "$kernel_deb has no module $module"
    mkdir -p "$root/$(dirname "$path")"
    cp "$kernel_tree/$path" "$root/$path"
    echo "${path#"lib/modules/$kver/"}" >>"$root/lib/modules/$kver/modules.order"
done
cp "$kernel_tree/lib/modules/$kver"/modules.builtin* "$root/lib/modules/$kver/"
depmod -b "$root" "$kver" || fail "depmod -b $root $kver failed"
echo snd-aloop >"$root/etc/modules-load.d/snd-aloop.conf"
echo "options snd-aloop index=0,1 enable=1,1 pcm_substreams=1,1" >"$root/etc/modprobe.d/snd-aloop.conf"

echo debian-guest >"$root/etc/hostname"
echo "/dev/vda / ext4 rw 0 1" >"$root/etc/fstab"
# The checks own the console; no login prompts, and no apt timers in a guest without a network.
# getty-static (gettys on tty2-6 where D-Bus is missing) restarts them a few seconds after boot,
# while the checks stream audio.
for unit in serial-getty@ttyS0.service getty@tty1.service getty-static.service apt-daily.timer \
    apt-daily-upgrade.timer; do
    ln -sf /dev/null "$root/etc/systemd/system/$unit"
done

mkdir -p "$root/opt/guest"
cp "$package_deb" "$root/opt/guest/"
strip --strip-debug -o "$root/opt/guest/hdmi-preview-systest" "$systest"
[[ -z $long_preview ]] || strip --strip-debug -o "$root/opt/guest/hdmi-preview-long-preview" "$long_preview"
install -m 755 "$here/guest-checks.sh" "$root/opt/guest/guest-checks.sh"
install -m 644 "$here/hdmi-preview-guest-checks.service" "$root/etc/systemd/system/"
ln -sf /etc/systemd/system/hdmi-preview-guest-checks.service \
    "$root/etc/systemd/system/multi-user.target.wants/hdmi-preview-guest-checks.service"

# Room for the package, the journal and the store beyond the base's 230 MB; the file is sparse.
# Inode tables and journal are written here, at host speed, rather than by the guest's kernel in
# the background while the checks stream audio.
rm -f "$out/disk.img"
mkfs.ext4 -q -F -L root -E lazy_itable_init=0,lazy_journal_init=0 -d "$root" "$out/disk.img" 1G \
    >"$out/mkfs.log" 2>&1 ||
    fail "mkfs.ext4 -d $root failed: $(tail -n 3 "$out/mkfs.log")"
rm -rf "$root"

# --- The initramfs: busybox, the disk's modules in load order, /init -------------------------------
initramfs=$out/initramfs
rm -rf "$initramfs"
mkdir -p "$initramfs"/{bin,proc,sys,dev,modules}
cp "$busybox_tree/bin/busybox" "$initramfs/bin/busybox"
ln -s busybox "$initramfs/bin/sh"
install -m 755 "$here/initramfs-init.sh" "$initramfs/init"
# ext4 asks for crc32c through the crypto API, which finds no module loader here: load it first.
: >"$initramfs/modules/order"
for module in crc32c_generic virtio_pci virtio_blk ext4; do
    steps=$(modprobe -d "$kernel_tree" -S "$kver" --show-depends "$module") ||
        fail "module $module or its dependencies missing from $kernel_tree"
    while read -r verb path _; do
        [[ $verb == insmod ]] || continue
        name=$(basename "$path")
        grep -qx "$name" "$initramfs/modules/order" && continue
        cp "$path" "$initramfs/modules/$name"
        echo "$name" >>"$initramfs/modules/order"
    done <<<"$steps"
done
(cd "$initramfs" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) >"$out/initramfs.cpio" ||
    fail "cannot pack $out/initramfs.cpio"
rm -rf "$initramfs"
