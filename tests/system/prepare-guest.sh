#!/bin/bash
# Builds the system-test guest of one architecture from Debian packages alone: the kernel package
# that Debian's meta package depends on and busybox-static, both fetched with apt-get download into
# a cache, unpacked (only boot/ and the sound modules), plus our programs with their shared
# libraries and alsa-lib's configuration, packed into an initramfs (the steps are in
# guest-root.sh, which the benchmark guest shares).
#
#   prepare-guest.sh ARCH BIN_DIR CACHE_DIR OUT_DIR
#
# ARCH is x86_64 or armhf; BIN_DIR holds hdmi-preview-audio and hdmi-preview-systest of that
# architecture, and pcm-library when the service was built against a PCM library other than our
# adapter over alsa-lib (its name, e.g. tinyalsa-2.0.0: the suite expects that library's ways). Writes OUT_DIR/kernel, OUT_DIR/initramfs.cpio and OUT_DIR/kernel-version.
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

# shellcheck source=guest-root.sh
. "$here/guest-root.sh"
guest_arch "$arch"
mkdir -p "$cache" "$out" || fail "cannot create $cache or $out"
bin_dir=$(cd "$bin_dir" && pwd) || fail "binary directory $bin_dir missing"
cache=$(cd "$cache" && pwd)
out=$(cd "$out" && pwd)

for program in hdmi-preview-audio hdmi-preview-systest; do
    [[ -x $bin_dir/$program ]] || fail "$bin_dir/$program missing: build it first"
done

guest_kernel "$out"
root=$out/root
guest_root "$root" "$here/guest-init.sh"
for program in hdmi-preview-audio hdmi-preview-systest; do
    guest_add_program "$root" "$bin_dir/$program" "opt/hdmi/$program"
done
if [[ -f $bin_dir/pcm-library ]]; then
    cp "$bin_dir/pcm-library" "$root/opt/hdmi/pcm-library" || fail "cannot add pcm-library"
fi
guest_add_libraries "$root"
guest_add_alsa_config "$root"
guest_pack "$root" "$out/initramfs.cpio"
