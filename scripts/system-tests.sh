#!/bin/bash
# The system suite on real kernel ALSA: the x86-64 and the ARMv7 builds of the service, each in
# its own QEMU guest with two snd-aloop cards, one boot per architecture.
#
#   scripts/system-tests.sh [x86_64] [armhf]      (default: both)
#
# Installs what is missing (apt-get, through sudo when not root), builds the service and the guest-side test
# program for each architecture, builds each guest from Debian packages (cached in the build
# directory), boots the guests side by side, prints PASS/FAIL per test and the measured figures,
# and ends with "N passed, N failed". Exits non-zero when a test failed or a guest did not finish.
# HDMI_PREVIEW_SYSTEST_DIR overrides the build directory (default: build-sys in the repository).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${HDMI_PREVIEW_SYSTEST_DIR:-$root/build-sys}
guest_timeout=${HDMI_PREVIEW_SYSTEST_TIMEOUT:-300}
archs=("$@")
[[ ${#archs[@]} -gt 0 ]] || archs=(x86_64 armhf)

fail() {
    echo "system-tests: $*" >&2
    exit 1
}

# shellcheck source=stages.sh
. "$root/scripts/stages.sh"

# --- Packages ------------------------------------------------------------------------------------
mkdir -p "$out" || fail "cannot create $out"
stage "packages"
# shellcheck source=packages.sh
. "$root/scripts/packages.sh"
ensure_architecture armhf || fail "cannot add the armhf architecture"
ensure_packages cmake make g++ pkg-config libasound2-dev libgtest-dev cpio kmod python3 bc \
    qemu-system-x86 qemu-system-arm g++-arm-linux-gnueabihf libasound2-dev:armhf \
    libgtest-dev:armhf ||
    fail "cannot install the system suite's packages"
stage_done "packages"

# --- Builds ----------------------------------------------------------------------------------------
for arch in "${archs[@]}"; do
    stage "build $arch"
    toolchain=()
    case "$arch" in
    x86_64) ;;
    armhf) toolchain=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/armhf.cmake") ;;
    *) fail "unknown architecture '$arch' (x86_64 or armhf)" ;;
    esac
    cmake -S "$root/tests/system" -B "$out/$arch" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        "${toolchain[@]}" >"$out/configure-$arch.log" 2>&1 ||
        fail "configure of $out/$arch failed: see $out/configure-$arch.log"
    # Only what a guest runs: the rest of the tree is covered by the unit and functional suites.
    cmake --build "$out/$arch" -j "$(nproc)" --target hdmi-preview-audio hdmi-preview-systest \
        >"$out/build-$arch.log" 2>&1 ||
        fail "build of $out/$arch failed: see $out/build-$arch.log"
    stage_done "build $arch"
done

for arch in "${archs[@]}"; do
    stage "guest $arch"
    "$root/tests/system/prepare-guest.sh" "$arch" "$out/$arch/bin" "$out/cache" "$out/guest-$arch" ||
        fail "cannot prepare the $arch guest"
    stage_done "guest $arch"
done

# --- Boots, side by side (one vCPU each) -------------------------------------------------------
stage "boot and run"
declare -A pids=()
# An interrupted run takes its guests with it.
stop_guests() {
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
}
trap stop_guests EXIT
for arch in "${archs[@]}"; do
    "$root/tests/system/boot-guest.sh" "$arch" "$out/guest-$arch" "$guest_timeout" \
        >"$out/console-$arch.log" 2>&1 &
    pids[$arch]=$!
done
declare -A boot_status=()
for arch in "${archs[@]}"; do
    status=0
    wait "${pids[$arch]}" || status=$?
    boot_status[$arch]=$status
done
stage_done "boot and run"

passed=0
failed=0
for arch in "${archs[@]}"; do
    log=$out/console-$arch.log
    tally_console "$log" "SYSTEST " "$arch/"
    if ! grep -q '^SYSTEST STATUS ' "$log.txt" || [[ ${boot_status[$arch]} -ne 0 ]]; then
        echo "FAIL $arch/guest: the suite did not finish (boot status ${boot_status[$arch]}); console in $log.txt"
        tail -n 15 "$log.txt" | sed 's/^/     | /'
        failed=$((failed + 1))
    elif ! grep -q '^SYSTEST STATUS 0$' "$log.txt"; then
        # The suite's own failures are counted above; a setup failure shows here only.
        grep -q '^SYSTEST FAIL ' "$log.txt" || {
            echo "FAIL $arch/guest: $(grep '^SYSTEST STATUS ' "$log.txt"); console in $log.txt"
            grep '^GUEST ' "$log.txt" | sed 's/^/     | /'
            failed=$((failed + 1))
        }
    fi
done

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
