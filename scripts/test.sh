#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test:
#   1. the unit tests and a 20 s fault storm built with AddressSanitizer and
#      UndefinedBehaviorSanitizer (build-sanitize/)
#   2. the ARMv7 cross build and its unit tests under qemu-arm, and the service with drift
#      compensation (Linux's speex, libsamplerate, Android's speex) with the unit tests that see
#      the option (build-arm/, build-arm/drift*/); it runs beside the other stages, at the lowest
#      CPU priority, and its output is printed after stage 6
#   3. the system suite on real kernel ALSA in x86-64 and ARMv7 QEMU guests, over alsa-lib and
#      against the tinyalsa snapshots of the shared third-party folder (build-sys/)
#   4. the Debian package installed with apt in a booted Debian 12 guest (build-debian-guest/)
#   5. drift compensation on: the drift runs and every test that does not compare the audio bit
#      for bit (build-drift/), and the drift tests and runs with speex as Android builds it
#      (quality 3, step 1/4093: build-drift-speex/)
#   6. the whole host suite: unit, functional, virtual-card and storm tests (build/)
# Every stage runs even when an earlier one failed; the exit status is non-zero if any did. The
# last lines give each stage's time and the total, and whether every stage passed.
#
#   bash scripts/test.sh            every stage
#   bash scripts/test.sh --host     stage 6 only
set -euo pipefail

src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=packages.sh
. "$src/scripts/packages.sh"
# Everything at once: one index update, and no stage waits on another's dpkg lock.
if [[ ${1:-} == --host ]]; then
    ensure_packages "${BUILD_PACKAGES[@]}"
else
    ensure_architecture armhf
    ensure_packages "${BUILD_PACKAGES[@]}" "${ARMHF_PACKAGES[@]}" "${SYSTEM_TEST_PACKAGES[@]}" \
        "${DEB_PACKAGES[@]}" "${DEBIAN_GUEST_PACKAGES[@]}"
fi

jobs=$(nproc)
failed=()
times=()
begin=$SECONDS

minutes() { printf '%d min %02d s' $(($1 / 60)) $(($1 % 60)); }

# stage N TITLE FUNCTION: runs FUNCTION under a heading, notes its time and whether it failed.
stage() {
    local number=$1 title=$2 start=$SECONDS
    echo "== $number. $title"
    "$3" || failed+=("$number")
    times+=("$(printf '%s. %-68s %s' "$number" "$title" "$(minutes $((SECONDS - start)))")")
}

# beside N TITLE COMMAND...: starts COMMAND at the lowest CPU priority while the other stages run,
# its output kept in build-stage-N.log; beside_done prints it under its heading when it has ended.
# The stage must assert nothing about time: it takes the CPU the others leave (their tests wait on
# sound cards in real time most of the time), and yields it at once when they want it.
beside() {
    beside_number=$1 beside_title=$2 beside_log=$src/build-stage-$1.log
    (
        start=$SECONDS
        status=0
        nice -n 19 "${@:3}" >"$beside_log" 2>&1 || status=$?
        echo "$status $((SECONDS - start))" >"$beside_log.result"
    ) &
    beside_pid=$!
}
beside_done() {
    local status seconds
    wait "$beside_pid" || true
    read -r status seconds <"$beside_log.result" || { status=1 seconds=0; }
    echo "== $beside_number. $beside_title (ran beside the other stages; its output follows)"
    cat "$beside_log"
    ((status == 0)) || failed+=("$beside_number")
    times+=("$(printf '%s. %-68s %s' "$beside_number" "$beside_title" "$(minutes "$seconds")")")
}

sanitize_stage() {
    cmake -S "$src" -B "$src/build-sanitize" -DCMAKE_BUILD_TYPE=Debug -DHDMI_PREVIEW_SANITIZE=ON \
        -DHDMI_PREVIEW_BENCHMARKS=OFF >/dev/null &&
        cmake --build "$src/build-sanitize" -j"$jobs" --target unit_tests unit_drift_tests \
            unit_variant_tests property_store_tests support_tests storm &&
        (cd "$src/build-sanitize" && ctest --output-on-failure -j"$jobs" -L 'unit|storm')
}

system_stage() { bash "$src/scripts/system-tests.sh"; }

debian_guest_stage() { bash "$src/scripts/debian-guest-tests.sh"; }

drift_stage() {
    cmake -S "$src" -B "$src/build-drift" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DHDMI_PREVIEW_DRIFT_COMPENSATION=ON -DHDMI_PREVIEW_BENCHMARKS=OFF >/dev/null &&
        cmake --build "$src/build-drift" -j"$jobs" || return 1
    # Android builds take speex with a coarse step (android/README.md): its drift tests, the
    # service's drift runs on the virtual cards, and the check that the Android files list the
    # option's sources.
    cmake -S "$src" -B "$src/build-drift-speex" -DHDMI_PREVIEW_DRIFT_COMPENSATION=ON \
        -DHDMI_PREVIEW_DRIFT_RESAMPLER=speex -DHDMI_PREVIEW_SPEEX_DENOMINATOR=4093 \
        -DHDMI_PREVIEW_SPEEX_QUALITY=3 -DHDMI_PREVIEW_BENCHMARKS=OFF >/dev/null &&
        cmake --build "$src/build-drift-speex" -j"$jobs" --target unit_drift_tests drift_run_tests ||
        return 1
    # The drift runs are a minute of audio each in real time at little CPU: both builds' runs go
    # on beside the other tests instead of holding their CPUs.
    local runs=$src/build-drift/drift-runs.log status=0
    (cd "$src/build-drift" && ctest --output-on-failure -j8 -L functional_drift) >"$runs" 2>&1 &
    local runs_pid=$!
    (cd "$src/build-drift-speex" && ctest --output-on-failure -j8 -L functional_drift) \
        >"$runs.speex" 2>&1 &
    local speex_pid=$!
    (cd "$src/build-drift" && ctest --output-on-failure -j"$jobs" \
        -LE 'exact_audio|storm|functional_drift') || status=1
    (cd "$src/build-drift-speex" && ctest --output-on-failure -j"$jobs" -R 'Drift|android' \
        -LE functional_drift -E '^DriftTest\..*/samplerate$') || status=1
    wait "$runs_pid" || status=1
    echo "-- the drift runs (build-drift):"
    cat "$runs"
    wait "$speex_pid" || status=1
    echo "-- the drift runs (build-drift-speex):"
    cat "$runs.speex"
    return "$status"
}

host_stage() {
    cmake -S "$src" -B "$src/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
        cmake --build "$src/build" -j"$jobs" &&
        (cd "$src/build" && ctest --output-on-failure -j"$jobs")
}

if [[ ${1:-} != --host ]]; then
    beside 2 "ARMv7 cross builds, unit tests under qemu-arm (build-arm/)" \
        bash "$src/scripts/ci-armhf.sh" "$src/build-arm"
    stage 1 "Unit tests and fault storm with ASan and UBSan (build-sanitize/)" sanitize_stage
    stage 3 "System suite in QEMU guests with snd-aloop cards (build-sys/)" system_stage
    stage 4 "Debian package in a booted Debian 12 guest (build-debian-guest/)" debian_guest_stage
    stage 5 "Drift compensation on (build-drift/, build-drift-speex/)" drift_stage
fi
stage 6 "Host suite (build/)" host_stage
[[ ${1:-} == --host ]] || beside_done

echo "== Stage times"
printf '   %s\n' "${times[@]}"
if ((${#failed[@]})); then
    echo "FAILED: stage ${failed[*]} of the test command ($(minutes $((SECONDS - begin))) in all)"
    exit 1
fi
echo "PASSED: every stage of the test command ($(minutes $((SECONDS - begin))) in all)"
