#!/bin/bash
# ARMv7 (armhf) cross builds and their unit tests under qemu-arm.
#
#   scripts/ci-armhf.sh [BUILD_DIR]     (default: build-arm in the repository)
#
# Installs what is missing (apt-get, through sudo when not root), configures with the armhf
# toolchain file, builds, and runs CTest; the test executables run under qemu-arm-static, called
# explicitly. Four builds, all under BUILD_DIR:
#   BUILD_DIR                   the default build (no drift compensation), its unit suite but
#                               the drift tables (those run for the resampler Android ships, below)
#   BUILD_DIR/drift             drift compensation as a Linux build has it by default
#   BUILD_DIR/drift-samplerate  drift compensation with libsamplerate
#   BUILD_DIR/drift-speex       drift compensation as Android has it: speex, quality 3, step 1/4093,
#                               with its own rows of the drift tables
# Each part prints the seconds it took.
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
ensure_packages cmake make pkg-config "${ARMHF_PACKAGES[@]}" ||
    fail "cannot install the cross build's packages"

part_start=$SECONDS
part_done() {
    echo "ci-armhf: $1 took $((SECONDS - part_start)) s"
    part_start=$SECONDS
}

# An ARM 32-bit ELF file whose dynamic section names (or, with !, does not name) each library.
#   check_arm FILE [[!]LIBRARY...]
check_arm() {
    local file=$1 header dynamic lib
    shift
    header=$(readelf -h "$file") || fail "$file is not an ELF file"
    if ! grep -Eq 'Class: +ELF32' <<<"$header" || ! grep -Eq 'Machine: +ARM' <<<"$header"; then
        fail "$file is not an ARM 32-bit executable"
    fi
    dynamic=$(readelf -d "$file") || fail "$file has no readable dynamic section"
    for lib in "$@"; do
        if [[ $lib == !* ]]; then
            ! grep -Fq "[${lib#!}" <<<"$dynamic" || fail "$file links ${lib#!}, which it must not"
        else
            grep -Fq "[$lib" <<<"$dynamic" || fail "$file does not link $lib"
        fi
    done
}

configure() {
    local dir=$1
    shift
    cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/armhf.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHDMI_PREVIEW_BENCHMARKS=OFF "$@" ||
        fail "configure of $dir failed"
}

# --- The default build: everything compiles for ARM; its unit suite runs ----------------------------
configure "$build"
cmake --build "$build" -j "$jobs" || fail "build of $build failed"
# Without the option none of the compensation is in the service; the drift tests are built with
# every resampler found, and both must be found here so that they run on ARM too.
check_arm "$build/service/hdmi-preview-audio" '!libsamplerate' '!libspeexdsp'
check_arm "$build/tools/prop/hdmi-preview-prop"
[[ -f $build/tests/unit/unit_drift_tests ]] ||
    fail "$build/tests/unit/unit_drift_tests was not built: armhf libsamplerate or speexdsp not found"
check_arm "$build/tests/unit/unit_drift_tests" libsamplerate.so libspeexdsp.so
part_done "the default build"

# The unit suite only: the functional tests start the real binaries, and an ARM process under
# qemu-arm cannot exec another ARM binary without binfmt_misc (the system suite runs those
# binaries in an ARMv7 guest instead). The drift tables (DriftTest.*/BACKEND) run under emulation
# only for the resampler that ARM devices ship, speex as Android builds it (drift-speex below):
# emulated, every row is slow, and the other backends' rows run natively in the host stages.
# CTest prints its own summary.
ctest --test-dir "$build" -L unit -E '^DriftTest\.' --output-on-failure -j "$jobs" ||
    fail "unit suite under qemu-arm failed (see $build/Testing/Temporary/LastTest.log)"
part_done "the default build's unit suite"

# --- Drift compensation on --------------------------------------------------------------------------
# The service and the test programs that the option changes: unit_tests (the service's loop with
# the compensation compiled in) and unit_drift_tests (the run over the fakes through the build's
# resampler; its table rows run each resampler found, at the build's speex step and quality). The
# other unit programs do not see the option and are not built again; their tests are left out by
# their placeholder's name (_NOT_BUILT). The loopback cases that compare the audio bit for bit
# cannot pass with resampled blocks (label exact_audio). The table rows (DriftTest.X/BACKEND) run
# only in the build that ARM devices ship: ROWS is what the selected rows' names must end with ('' when
# none may be selected). Each program must link the resampler
# library that the build's cache names.
#   variant NAME CTEST_EXCLUDE ROWS CMAKE_OPTION...
variant() {
    local name=$1 exclude=$2 rows=$3
    shift 3
    local dir=$build/$name resampler lib program selected others
    configure "$dir" -DHDMI_PREVIEW_DRIFT_COMPENSATION=ON "$@" >/dev/null
    cmake --build "$dir" -j "$jobs" --target hdmi-preview-audio unit_tests unit_drift_tests ||
        fail "build of $dir failed"
    resampler=$(sed -n 's/^HDMI_PREVIEW_DRIFT_RESAMPLER:STRING=//p' "$dir/CMakeCache.txt")
    case $resampler in
    samplerate) lib=libsamplerate.so ;;
    speex) lib=libspeexdsp.so ;;
    *) fail "$dir/CMakeCache.txt names no known resampler ('$resampler')" ;;
    esac
    for program in service/hdmi-preview-audio tests/unit/unit_tests tests/unit/unit_drift_tests; do
        check_arm "$dir/$program" "$lib"
    done
    part_done "the $name build ($resampler)"
    selected=$(ctest --test-dir "$dir" -N -L unit -LE exact_audio -E "$exclude" |
        sed -n 's/^ *Test *#[0-9]*: \(DriftTest\..*\)$/\1/p') ||
        fail "cannot list the unit tests of $dir"
    if [[ -z $rows ]]; then
        [[ -z $selected ]] || fail "$dir selects table rows, which run on the host"
    else
        [[ -n $selected ]] || fail "$dir selects none of its table rows (names ending $rows)"
        others=$(grep -Evc -- "$rows\$" <<<"$selected" || true)
        [[ $others == 0 ]] || fail "$dir selects $others table rows of other backends"
        echo "ci-armhf: the $name build runs $(wc -l <<<"$selected") table rows ($rows)"
    fi
    ctest --test-dir "$dir" -L unit -LE exact_audio -E "$exclude" --output-on-failure -j "$jobs" ||
        fail "unit tests of $dir under qemu-arm failed (see $dir/Testing/Temporary/LastTest.log)"
    part_done "the $name build's unit tests"
}
# What an armhf Debian board gets: the option alone, and with libsamplerate, which stays
# selectable. Their table rows (same resamplers, same speex step and quality as the host's) run in
# the host stages.
variant drift '_NOT_BUILT$|^DriftTest\.' ''
variant drift-samplerate '_NOT_BUILT$|^DriftTest\.' '' -DHDMI_PREVIEW_DRIFT_RESAMPLER=samplerate
# What an Android device gets: speex at quality 3 in steps of 1/4093 (android/README.md), with its
# own table rows, the only ones run under emulation.
variant drift-speex '_NOT_BUILT$|^DriftTest\..*/samplerate$' /speex_q3 \
    -DHDMI_PREVIEW_DRIFT_RESAMPLER=speex \
    -DHDMI_PREVIEW_SPEEX_DENOMINATOR=4093 -DHDMI_PREVIEW_SPEEX_QUALITY=3
