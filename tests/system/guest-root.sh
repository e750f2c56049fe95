# shellcheck shell=bash disable=SC2154,SC2034  # the variables are shared with the caller and guest-kernel.sh
# Sourced by the guest builders (tests/system/prepare-guest.sh, bench/guest-bench.sh): the
# steps that make a busybox guest with two snd-aloop cards from Debian packages alone. The caller
# defines fail() and sets cache (a directory for the downloaded packages).
#
#   guest_arch ARCH                     x86_64 or armhf: sets deb_arch, meta, triple, lib_dirs, strip
#   guest_kernel OUT_DIR                the kernel package and busybox-static, fetched and unpacked;
#                                       writes OUT_DIR/kernel and OUT_DIR/kernel-version, sets kver
#   guest_root ROOT INIT                a fresh root: busybox, INIT as /init with the init library,
#                                       the sound modules and their index
#   guest_add_program ROOT SRC DEST     SRC without debug information at ROOT/DEST
#   guest_add_libraries ROOT            the shared libraries of the programs added, and the loader
#   guest_add_alsa_config ROOT          alsa-lib's configuration
#   guest_pack ROOT CPIO                ROOT packed into an initramfs

guest_root_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=guest-kernel.sh
. "$guest_root_dir/guest-kernel.sh"

guest_arch() {
    case "$1" in
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
    *) fail "unknown architecture '$1' (x86_64 or armhf)" ;;
    esac
    guest_arch_name=$1
    guest_programs=()
}

guest_kernel() {
    local out=$1 kernel_deb vmlinuz
    kernel_deb=$(fetch "$(kernel_package "$meta")")
    busybox_deb=$(fetch busybox-static)
    kernel_tree=$(unpack "$kernel_deb" tree './boot/*' './lib/modules/*/kernel/sound/*' \
        './lib/modules/*/modules.builtin*')
    busybox_tree=$(unpack "$busybox_deb" tree ./bin/busybox)
    kver=$(basename "$(find "$kernel_tree/lib/modules" -mindepth 1 -maxdepth 1 -type d | head -n 1)")
    [[ -n $kver ]] || fail "$kernel_deb holds no lib/modules/<version>"
    vmlinuz=$kernel_tree/boot/vmlinuz-$kver
    [[ -f $vmlinuz ]] || fail "$kernel_deb holds no boot/vmlinuz-$kver"
    echo "$kver" >"$out/kernel-version"
    if [[ $guest_arch_name == x86_64 ]]; then
        cp "$(elf_kernel "$kernel_tree" "$kver")" "$out/kernel"
    else
        cp "$vmlinuz" "$out/kernel"
    fi
}

guest_root() {
    local root=$1 init=$2 moddir=lib/modules/$kver module path
    rm -rf "$root"
    mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,lib,proc,sys,dev,tmp,opt/hdmi,usr/share}
    cp "$busybox_tree/bin/busybox" "$root/bin/busybox"
    ln -s busybox "$root/bin/sh" # /init's interpreter, before init installs the other applets
    cp "$init" "$root/init"
    chmod 755 "$root/init"
    cp "$guest_root_dir/guest-init-lib.sh" "$root/lib/guest-init-lib.sh"

    # The five modules of the loopback cards (all modules in Debian's kernels), and their index.
    for module in soundcore snd snd-timer snd-pcm snd-aloop; do
        path=$(cd "$kernel_tree" && find "$moddir/kernel/sound" -name "$module.ko*" | head -n 1)
        [[ -n $path ]] || fail "the kernel $kver has no module $module (built in? check boot/config-$kver)"
        mkdir -p "$root/$(dirname "$path")"
        cp "$kernel_tree/$path" "$root/$path"
        echo "${path#"$moddir"/}" >>"$root/$moddir/modules.order"
    done
    cp "$kernel_tree/$moddir"/modules.builtin* "$root/$moddir/" 2>/dev/null || true
    depmod -b "$root" "$kver" || fail "depmod -b $root $kver failed"
}

# Without debug information: the guest unpacks its initramfs at emulated speed.
guest_add_program() {
    local root=$1 src=$2 dest=$3
    [[ -x $src ]] || fail "$src missing or not executable"
    mkdir -p "$(dirname "$root/$dest")"
    "$strip" --strip-debug -o "$root/$dest" "$src" || fail "$strip cannot copy $src"
    guest_programs+=("$src")
}

guest_find_lib() {
    local name=$1 dir
    for dir in "${lib_dirs[@]}"; do
        if [[ -e $dir/$name ]]; then
            echo "$dir/$name"
            return 0
        fi
    done
    return 1
}

# The NEEDED entries, followed recursively, and the program interpreter.
guest_add_libraries() {
    local root=$1 elf name lib interp loader
    local -A copied=()
    local queue=("${guest_programs[@]}")
    while [[ ${#queue[@]} -gt 0 ]]; do
        elf=${queue[0]}
        queue=("${queue[@]:1}")
        while read -r name; do
            [[ -n ${copied[$name]:-} ]] && continue
            lib=$(guest_find_lib "$name") ||
                fail "library $name (needed by $elf) not found in ${lib_dirs[*]}"
            cp -L "$lib" "$root/lib/$name"
            copied[$name]=1
            queue+=("$lib")
        done < <(readelf -d "$elf" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    done
    interp=$(readelf -l "${guest_programs[0]}" |
        sed -n 's/.*Requesting program interpreter: \(.*\)\]/\1/p')
    [[ -n $interp ]] || fail "${guest_programs[0]} names no program interpreter"
    loader=$(guest_find_lib "$(basename "$interp")") || fail "program interpreter $interp not found"
    mkdir -p "$root$(dirname "$interp")"
    cp -L "$loader" "$root$interp"
}

# Use-case and topology files are of no use for hw: devices.
guest_add_alsa_config() {
    mkdir -p "$1/usr/share/alsa"
    (cd /usr/share/alsa && tar -c --exclude='./ucm*' --exclude='./topology' .) |
        tar -x -C "$1/usr/share/alsa" || fail "cannot copy /usr/share/alsa"
}

guest_pack() {
    (cd "$1" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) >"$2" || fail "cannot pack $2"
}
