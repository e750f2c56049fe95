#!/bin/bash
# ARMv7 (armhf) cross build and the unit suite under qemu-arm.
#
#   scripts/ci-armhf.sh [BUILD_DIR]     (default: build-arm in the repository)
#
# Installs what is missing (apt-get, through sudo when not root), configures with the armhf
# toolchain file, builds, and runs CTest; the test executables run under qemu-arm-static, called
# explicitly.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build-arm}
jobs=$(nproc)

fail() {
    echo "ci-armhf: $*" >&2
    exit 1
}

# shellcheck source=packages.sh
. "$root/scripts/packages.sh"
ensure_architecture armhf || fail "cannot add the armhf architecture"
ensure_packages cmake make pkg-config g++-arm-linux-gnueabihf libasound2-dev:armhf \
    libgtest-dev:armhf qemu-user-static || fail "cannot install the cross build's packages"

cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/armhf.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHDMI_PREVIEW_BENCHMARKS=OFF ||
    fail "configure of $build failed"
cmake --build "$build" -j "$jobs" || fail "build of $build failed"

header=$(readelf -h "$build/service/hdmi-preview-audio") ||
    fail "$build/service/hdmi-preview-audio is not an ELF file"
if ! grep -Eq 'Class: +ELF32' <<<"$header" || ! grep -Eq 'Machine: +ARM' <<<"$header"; then
    fail "$build/service/hdmi-preview-audio is not an ARM 32-bit executable"
fi

# The unit suite only: the functional tests start the real binaries, and an ARM process under
# qemu-arm cannot exec another ARM binary without binfmt_misc (the system suite runs those
# binaries in an ARMv7 guest instead). CTest prints its own summary.
ctest --test-dir "$build" -L unit --output-on-failure -j "$jobs" ||
    fail "unit suite under qemu-arm failed (see $build/Testing/Temporary/LastTest.log)"
