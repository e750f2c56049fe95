#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test:
#   1. the unit tests and a 20 s fault storm built with AddressSanitizer and
#      UndefinedBehaviorSanitizer (build-sanitize/)
#   2. the ARMv7 cross build and its unit tests under qemu-arm, drift tests included, and the
#      service with drift compensation (Linux's speex, libsamplerate, Android's speex) with the unit
#      tests that see the option (build-arm/, build-arm/drift*/)
#   3. the system suite on real kernel ALSA in x86-64 and ARMv7 QEMU guests (build-sys/)
#   4. the Debian package installed with apt in a booted Debian 12 guest (build-debian-guest/)
#   5. drift compensation on: the drift runs and every test that does not compare the audio bit
#      for bit (build-drift/), and the drift tests and runs with speex as Android builds it
#      (quality 3, step 1/4093: build-drift-speex/)
#   6. the whole host suite: unit, functional, virtual-card and storm tests (build/)
# Every stage runs even when an earlier one failed; the exit status is non-zero if any did.
#
#   bash scripts/test.sh            every stage
#   bash scripts/test.sh --host     stage 6 only
set -euo pipefail

src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=packages.sh
. "$src/scripts/packages.sh"
ensure_packages "${BUILD_PACKAGES[@]}"

jobs=$(nproc)
failed=()

if [[ ${1:-} != --host ]]; then
    echo "== 1. Unit tests and fault storm with AddressSanitizer and UndefinedBehaviorSanitizer: $src/build-sanitize"
    cmake -S "$src" -B "$src/build-sanitize" -DCMAKE_BUILD_TYPE=Debug -DHDMI_PREVIEW_SANITIZE=ON \
        -DHDMI_PREVIEW_BENCHMARKS=OFF >/dev/null
    cmake --build "$src/build-sanitize" -j"$jobs"
    (cd "$src/build-sanitize" && ctest --output-on-failure -j"$jobs" -L 'unit|storm') ||
        failed+=(sanitize)

    echo "== 2. ARMv7 cross builds (drift compensation off and on), unit tests under qemu-arm: $src/build-arm"
    bash "$src/scripts/ci-armhf.sh" "$src/build-arm" || failed+=(armhf)

    echo "== 3. System suite in QEMU guests with snd-aloop cards: $src/build-sys"
    bash "$src/scripts/system-tests.sh" || failed+=(system)

    echo "== 4. Debian package in a booted Debian 12 guest: $src/build-debian-guest"
    bash "$src/scripts/debian-guest-tests.sh" || failed+=(debian-guest)

    echo "== 5. Drift compensation on, every test that does not compare the audio bit for bit: $src/build-drift"
    cmake -S "$src" -B "$src/build-drift" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DHDMI_PREVIEW_DRIFT_COMPENSATION=ON -DHDMI_PREVIEW_BENCHMARKS=OFF >/dev/null
    cmake --build "$src/build-drift" -j"$jobs"
    (cd "$src/build-drift" && ctest --output-on-failure -j"$jobs" -LE 'exact_audio|storm') ||
        failed+=(drift)
    # Android builds take speex with a coarse step (android/README.md): its drift tests, the
    # service's drift runs on the virtual cards, and the check that the Android files list the
    # option's sources.
    cmake -S "$src" -B "$src/build-drift-speex" -DHDMI_PREVIEW_DRIFT_COMPENSATION=ON \
        -DHDMI_PREVIEW_DRIFT_RESAMPLER=speex -DHDMI_PREVIEW_SPEEX_DENOMINATOR=4093 \
        -DHDMI_PREVIEW_SPEEX_QUALITY=3 -DHDMI_PREVIEW_BENCHMARKS=OFF >/dev/null
    cmake --build "$src/build-drift-speex" -j"$jobs" --target unit_drift_tests drift_run_tests
    (cd "$src/build-drift-speex" && ctest --output-on-failure -j"$jobs" -R 'Drift|android' \
        -E '^DriftTest\..*/samplerate$') ||
        failed+=(drift-speex)
fi

echo "== 6. Host suite: $src/build"
cmake -S "$src" -B "$src/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$src/build" -j"$jobs"
if ((${#failed[@]})); then
    echo "== Failed before this stage: ${failed[*]}"
fi
(cd "$src/build" && ctest --output-on-failure -j"$jobs") || failed+=(host)
((${#failed[@]} == 0))
