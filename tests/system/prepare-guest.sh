#!/bin/bash
# Builds the system-test guest of one architecture from Debian packages alone: the kernel package
# that Debian's meta package depends on and busybox-static, both fetched with apt-get download into
# a cache, unpacked (only boot/ and the sound modules), plus our programs with their shared
# libraries and alsa-lib's configuration, packed into an initramfs.
#
#   prepare-guest.sh ARCH BIN_DIR CACHE_DIR OUT_DIR
#
# ARCH is x86_64 or armhf; BIN_DIR holds hdmi-preview-audio and hdmi-preview-systest of that
# architecture. Writes OUT_DIR/kernel, OUT_DIR/initramfs.cpio and OUT_DIR/kernel-version.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

fail() {
    echo "prepare-guest: $*" >&2
    exit 1
}

[[ $# -eq 4 ]] || fail "usage: prepare-guest.sh ARCH BIN_DIR CACHE_DIR OUT_DIR"
arch=$1
bin_dir=$2
cache=$3
out=$4

case "$arch" in
x86_64)
    deb_arch=amd64
    meta=linux-image-amd64
    triple=x86_64-linux-gnu
    lib_dirs=("/lib/$triple" "/usr/lib/$triple")
    strip="strip"
    ;;
armhf)
    deb_arch=armhf
    meta=linux-image-armmp:armhf
    triple=arm-linux-gnueabihf
    # The host's multiarch copies first, then the cross toolchain's own libraries (libstdc++).
    lib_dirs=("/lib/$triple" "/usr/lib/$triple" "/usr/$triple/lib")
    strip=$triple-strip
    ;;
*) fail "unknown architecture '$arch' (x86_64 or armhf)" ;;
esac

mkdir -p "$cache" "$out" || fail "cannot create $cache or $out"
bin_dir=$(cd "$bin_dir" && pwd) || fail "binary directory $bin_dir missing"
cache=$(cd "$cache" && pwd)
out=$(cd "$out" && pwd)

for program in hdmi-preview-audio hdmi-preview-systest; do
    [[ -x $bin_dir/$program ]] || fail "$bin_dir/$program missing: build it first"
done

# --- Packages ------------------------------------------------------------------------------------
# shellcheck source=guest-kernel.sh
. "$here/guest-kernel.sh"
kernel_pkg=$(kernel_package "$meta")
kernel_deb=$(fetch "$kernel_pkg")
busybox_deb=$(fetch busybox-static)
kernel_tree=$(unpack "$kernel_deb" tree './boot/*' './lib/modules/*/kernel/sound/*' \
    './lib/modules/*/modules.builtin*')
busybox_tree=$(unpack "$busybox_deb" tree ./bin/busybox)

kver=$(basename "$(find "$kernel_tree/lib/modules" -mindepth 1 -maxdepth 1 -type d | head -n 1)")
[[ -n $kver ]] || fail "$kernel_deb holds no lib/modules/<version>"
vmlinuz=$kernel_tree/boot/vmlinuz-$kver
[[ -f $vmlinuz ]] || fail "$kernel_deb holds no boot/vmlinuz-$kver"

echo "$kver" >"$out/kernel-version"
if [[ $arch == x86_64 ]]; then
    vmlinux=$(elf_kernel "$kernel_tree" "$kver")
    cp "$vmlinux" "$out/kernel"
else
    cp "$vmlinuz" "$out/kernel"
fi

# --- The root file system --------------------------------------------------------------------------
root=$out/root
rm -rf "$root"
mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,lib,proc,sys,dev,tmp,opt/hdmi,usr/share}
cp "$busybox_tree/bin/busybox" "$root/bin/busybox"
ln -s busybox "$root/bin/sh"  # /init's interpreter, before init installs the other applets
cp "$here/guest-init.sh" "$root/init"
chmod 755 "$root/init"

# The five modules of the loopback cards (all modules in Debian's kernels), and their index.
moddir=lib/modules/$kver
for module in soundcore snd snd-timer snd-pcm snd-aloop; do
    path=$(cd "$kernel_tree" && find "$moddir/kernel/sound" -name "$module.ko*" | head -n 1)
    [[ -n $path ]] || fail "$kernel_deb has no module $module (built in? check boot/config-$kver)"
    mkdir -p "$root/$(dirname "$path")"
    cp "$kernel_tree/$path" "$root/$path"
    echo "${path#"$moddir"/}" >>"$root/$moddir/modules.order"
done
cp "$kernel_tree/$moddir"/modules.builtin* "$root/$moddir/" 2>/dev/null || true
depmod -b "$root" "$kver" || fail "depmod -b $root $kver failed"

# Without debug information: the guest unpacks its initramfs at emulated speed.
for program in hdmi-preview-audio hdmi-preview-systest; do
    "$strip" --strip-debug -o "$root/opt/hdmi/$program" "$bin_dir/$program" ||
        fail "$strip cannot copy $bin_dir/$program"
done

# Shared libraries: the NEEDED entries, followed recursively, and the program interpreter.
find_lib() {
    local name=$1 dir
    for dir in "${lib_dirs[@]}"; do
        if [[ -e $dir/$name ]]; then
            echo "$dir/$name"
            return 0
        fi
    done
    return 1
}
declare -A copied=()
queue=("$bin_dir/hdmi-preview-audio" "$bin_dir/hdmi-preview-systest")
while [[ ${#queue[@]} -gt 0 ]]; do
    elf=${queue[0]}
    queue=("${queue[@]:1}")
    while read -r name; do
        [[ -n ${copied[$name]:-} ]] && continue
        lib=$(find_lib "$name") || fail "library $name (needed by $elf) not found in ${lib_dirs[*]}"
        cp -L "$lib" "$root/lib/$name"
        copied[$name]=1
        queue+=("$lib")
    done < <(readelf -d "$elf" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
done
interp=$(readelf -l "$bin_dir/hdmi-preview-audio" |
    sed -n 's/.*Requesting program interpreter: \(.*\)\]/\1/p')
[[ -n $interp ]] || fail "$bin_dir/hdmi-preview-audio names no program interpreter"
loader=$(find_lib "$(basename "$interp")") || fail "program interpreter $interp not found"
mkdir -p "$root$(dirname "$interp")"
cp -L "$loader" "$root$interp"

# alsa-lib's configuration; use-case and topology files are of no use for hw: devices.
mkdir -p "$root/usr/share/alsa"
(cd /usr/share/alsa && tar -c --exclude='./ucm*' --exclude='./topology' .) |
    tar -x -C "$root/usr/share/alsa" || fail "cannot copy /usr/share/alsa"

(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) >"$out/initramfs.cpio" ||
    fail "cannot pack $out/initramfs.cpio"
