# shellcheck shell=bash disable=SC2154
# Sourced by the guest builders: Debian's kernel and busybox-static, fetched with apt-get download
# into a cache and unpacked there once per package version. The caller defines fail() and sets
# deb_arch (amd64, armhf) and cache (an existing directory).
#
#   kernel_package META                 the linux-image-* package that META depends on
#   fetch PACKAGE                       the cached .deb, downloaded when missing
#   unpack DEB NAME PATTERN...          the members matching PATTERNs, in a tree named NAME
#   elf_kernel TREE VERSION             the ELF image inside boot/vmlinuz-VERSION (x86-64)

guest_kernel_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

kernel_package() {
    local pkg
    pkg=$(apt-cache depends "$1" 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[^ ]*\)$/\1/p' | head -n 1) || true
    [[ -n $pkg ]] || fail "cannot tell which kernel $1 depends on (apt-get update, and for armhf dpkg --add-architecture armhf)"
    echo "${pkg%:armhf}"
}

fetch() {
    local pkg=$1 deb
    deb=$(find "$cache" -maxdepth 1 -name "${pkg}_*_${deb_arch}.deb" | sort | tail -n 1)
    if [[ -z $deb ]]; then
        (cd "$cache" && apt-get download "$pkg:$deb_arch" >/dev/null 2>"$cache/download-$pkg.log") ||
            fail "apt-get download $pkg:$deb_arch failed: $(tail -n 3 "$cache/download-$pkg.log")"
        deb=$(find "$cache" -maxdepth 1 -name "${pkg}_*_${deb_arch}.deb" | sort | tail -n 1)
        [[ -n $deb ]] || fail "apt-get download $pkg:$deb_arch left no .deb in $cache"
    fi
    echo "$deb"
}

# Each NAME is its own tree beside the .deb, so builders that need different members do not undo
# each other's unpacking.
unpack() {
    local deb=$1 tree=${1%.deb}.$2
    shift 2
    if [[ ! -f $tree/.complete ]]; then
        rm -rf "$tree"
        mkdir -p "$tree"
        dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$tree" --wildcards "$@" ||
            fail "cannot unpack $deb"
        touch "$tree/.complete"
    fi
    echo "$tree"
}

# The ELF image inside the bzImage boots through its PVH entry, skipping the real-mode setup and
# the self-decompression that take most of a TCG boot.
elf_kernel() {
    local vmlinuz=$1/boot/vmlinuz-$2 vmlinux=$1/boot/vmlinux-$2
    [[ -f $vmlinuz ]] || fail "$1 holds no boot/vmlinuz-$2"
    if [[ ! -f $vmlinux ]]; then
        python3 "$guest_kernel_dir/extract-vmlinux.py" "$vmlinuz" "$vmlinux.part" ||
            fail "cannot extract an ELF kernel from $vmlinuz"
        mv "$vmlinux.part" "$vmlinux"
    fi
    echo "$vmlinux"
}
