#!/bin/bash
# The Debian package on a booted Debian 12 guest with systemd: installs it with apt as its users
# would, checks the service across reboots, and purges it.
#
#   scripts/debian-guest-tests.sh
#
# Installs what is missing (apt-get, through sudo when not root), builds the package
# (scripts/build-deb.sh) and the guest-side checker, builds the guest (tests/system/debian/
# prepare-image.sh: root file system by mmdebstrap, cached) and boots it under QEMU (TCG) until
# the checks power it off, one QEMU run per boot on the same disk. Prints PASS/FAIL per check and
# the figures, and ends with "N passed, N failed". The consoles are kept in
# build-debian-guest/console.log.txt. HDMI_PREVIEW_DEBIAN_GUEST_DIR overrides the build directory;
# HDMI_PREVIEW_DEBIAN_GUEST_TIMEOUT (default 240 s) bounds each boot.
#
# HDMI_PREVIEW_DEBIAN_GUEST_LOAD_SECONDS=N (default 0: off; not for CI, it takes N s more) adds to
# boot 2 a preview of N s through the installed service with every vCPU kept busy by nice-0 loops,
# played and recorded at SCHED_FIFO and followed frame by frame (tests/system/debian/
# long_preview.cpp), and ends with its figure: "FIGURE loaded_preview/discontinuities: D in N s ...".
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${HDMI_PREVIEW_DEBIAN_GUEST_DIR:-$root/build-debian-guest}
boot_timeout=${HDMI_PREVIEW_DEBIAN_GUEST_TIMEOUT:-240}
load_seconds=${HDMI_PREVIEW_DEBIAN_GUEST_LOAD_SECONDS:-0}
# Boot 1 installs, boot 2 checks the service, boot 3 follows a reboot during a preview.
boots=3

fail() {
    echo "debian-guest-tests: $*" >&2
    exit 1
}

# shellcheck source=stages.sh
. "$root/scripts/stages.sh"

[[ $load_seconds =~ ^[0-9]+$ ]] ||
    fail "HDMI_PREVIEW_DEBIAN_GUEST_LOAD_SECONDS is '$load_seconds', not a number of seconds"
mkdir -p "$out" || fail "cannot create $out"
stage "packages"
# shellcheck source=packages.sh
. "$root/scripts/packages.sh"
ensure_packages cmake make g++ pkg-config libasound2-dev libgtest-dev "${DEBIAN_GUEST_PACKAGES[@]}" ||
    fail "cannot install the Debian guest's packages"
stage_done "packages"

stage "package and checker"
deb=$(bash "$root/scripts/build-deb.sh" "$out/deb" 2>"$out/build-deb.log" | tail -n 1) ||
    fail "package build failed: see $out/build-deb.log"
[[ -f $deb ]] || fail "package build named no .deb: see $out/build-deb.log"
cmake -S "$root/tests/system" -B "$out/systest" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    >"$out/configure.log" 2>&1 || fail "configure of $out/systest failed: see $out/configure.log"
cmake --build "$out/systest" -j "$(nproc)" --target hdmi-preview-systest >"$out/build.log" 2>&1 ||
    fail "build of $out/systest failed: see $out/build.log"
long_preview=()
if ((load_seconds > 0)); then
    g++ -std=c++17 -O2 -Wall -Wextra -Werror -I "$root/tests/system" -I "$root/tests/support" \
        -o "$out/hdmi-preview-long-preview" "$root/tests/system/debian/long_preview.cpp" \
        "$root/tests/system/guest_audio.cpp" -lasound -pthread >"$out/long-preview-build.log" 2>&1 ||
        fail "build of tests/system/debian/long_preview.cpp failed: see $out/long-preview-build.log"
    long_preview=("$out/hdmi-preview-long-preview")
fi
stage_done "package and checker"

stage "guest"
"$root/tests/system/debian/prepare-image.sh" "$deb" "$out/systest/bin/hdmi-preview-systest" \
    "$out/cache" "$out/guest" "${long_preview[@]}" || fail "cannot prepare the Debian guest"
stage_done "guest"

# One QEMU run per boot: the guest's reboot ends QEMU (-no-reboot), the disk carries the state.
stage "boots"
log=$out/console.log
: >"$log"
boot_status=0
for ((boot = 1; boot <= boots; boot++)); do
    limit=$boot_timeout
    kernel_args="systemd.show_status=error"
    if ((boot == 2 && load_seconds > 0)); then
        limit=$((boot_timeout + load_seconds))
        kernel_args+=" hdmi_preview.load_seconds=$load_seconds"
    fi
    BOOT_GUEST_MEMORY=1024 BOOT_GUEST_CPUS=2 "$root/tests/system/boot-guest.sh" x86_64 "$out/guest" "$limit" \
        "$kernel_args" \
        -drive "file=$out/guest/disk.img,format=raw,if=virtio,cache=unsafe" \
        >"$out/console-$boot.log" 2>&1 || boot_status=$?
    cat "$out/console-$boot.log" >>"$log"
    ((boot_status == 0)) || break
    tr -d '\r' <"$out/console-$boot.log" | grep -q "^GUEST boot $boot: reboot" || break
done
stage_done "boots"

passed=0
failed=0
tally_console "$log" "" ""
# Every boot must have ended through the checks, the last with a power-off.
if [[ $boot_status -ne 0 ]] || ! grep -q "^GUEST boot $boots: poweroff" "$log.txt"; then
    echo "FAIL guest: the checks did not run to the end (QEMU status $boot_status); console in $log.txt"
    tail -n 15 "$log.txt" | sed 's/^/     | /'
    failed=$((failed + 1))
fi
if ((load_seconds > 0)); then
    grep '^FIGURE loaded_preview/discontinuities: ' "$log.txt" ||
        echo "FIGURE loaded_preview/discontinuities: none measured"
fi
echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
