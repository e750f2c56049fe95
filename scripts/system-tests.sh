#!/bin/bash
# The system suite on real kernel ALSA: the x86-64 and the ARMv7 builds of the service, each in
# its own QEMU guest with two snd-aloop cards, one boot per build.
#
#   scripts/system-tests.sh [ARCH[:TINYALSA]]...
#
# ARCH is x86_64 or armhf; ARCH:TINYALSA builds the service against tinyalsa built from
# $HDMI_PREVIEW_THIRD_PARTY_DIR/tinyalsa-TINYALSA.tar.gz (default: the shared/third_party folder
# beside the repository) instead of the adapter over alsa-lib, and takes the checker of ARCH's
# build, which must be named before it: x86_64 armhf x86_64:2c3a8e2 armhf:2c3a8e2 x86_64:2.0.0.
# Default: x86_64 and armhf, then x86_64:2c3a8e2 armhf:2c3a8e2 x86_64:2.0.0 when those snapshots
# are in the third-party folder (the runs against tinyalsa are skipped, with a line that says so,
# when they are not). 2c3a8e2 is the library Android 4.2 shipped; 2.0.0 the current release line.
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
third_party=${HDMI_PREVIEW_THIRD_PARTY_DIR:-$root/../shared/third_party}
archs=("$@")
if [[ ${#archs[@]} -eq 0 ]]; then
    archs=(x86_64 armhf)
    if [[ -f $third_party/tinyalsa-2c3a8e2.tar.gz && -f $third_party/tinyalsa-2.0.0.tar.gz ]]; then
        archs+=(x86_64:2c3a8e2 armhf:2c3a8e2 x86_64:2.0.0)
    else
        echo "system-tests: SKIPPED the runs against tinyalsa: no tinyalsa-2c3a8e2.tar.gz and" \
            "tinyalsa-2.0.0.tar.gz in $third_party (set HDMI_PREVIEW_THIRD_PARTY_DIR)"
    fi
fi

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
ensure_packages cmake make g++ pkg-config libasound2-dev libgtest-dev "${SYSTEM_TEST_PACKAGES[@]}" ||
    fail "cannot install the system suite's packages"
stage_done "packages"

# --- Builds ----------------------------------------------------------------------------------------
# Each build's folder: ARCH, or ARCH-tinyalsa-TINYALSA.
declare -A dirs=()
for target in "${archs[@]}"; do
    arch=${target%%:*}
    [[ $target == *:* ]] && dirs[$target]=$arch-tinyalsa-${target#*:} || dirs[$target]=$arch
done
for target in "${archs[@]}"; do
    stage "build $target"
    arch=${target%%:*}
    dir=$out/${dirs[$target]}
    options=()
    targets=(hdmi-preview-audio hdmi-preview-systest)
    case "$arch" in
    x86_64) ;;
    armhf) options=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/armhf.cmake") ;;
    *) fail "unknown architecture '$arch' (x86_64 or armhf)" ;;
    esac
    if [[ $target == *:* ]]; then
        tarball=$third_party/tinyalsa-${target#*:}.tar.gz
        [[ -f $tarball ]] || fail "no $tarball for $target"
        options+=(-DHDMI_PREVIEW_PCM_BACKEND=tinyalsa -DTINYALSA_SOURCE="$tarball")
        targets=(hdmi-preview-audio)
    fi
    cmake -S "$root/tests/system" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        "${options[@]}" >"$dir.configure.log" 2>&1 ||
        fail "configure of $dir failed: see $dir.configure.log"
    # Only what a guest runs: the rest of the tree is covered by the unit and functional suites.
    cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}" >"$dir.build.log" 2>&1 ||
        fail "build of $dir failed: see $dir.build.log"
    # A build against tinyalsa takes the checker of its architecture's build, named before it.
    if [[ $target == *:* ]]; then
        cp "$out/$arch/bin/hdmi-preview-systest" "$dir/bin/" ||
            fail "$target needs the checker of $arch: name $arch before it"
        echo "tinyalsa-${target#*:}" >"$dir/bin/pcm-library"
    fi
    stage_done "build $target"
done

for target in "${archs[@]}"; do
    name=${dirs[$target]}
    stage "guest $name"
    "$root/tests/system/prepare-guest.sh" "${target%%:*}" "$out/$name/bin" "$out/cache" \
        "$out/guest-$name" || fail "cannot prepare the $name guest"
    stage_done "guest $name"
done

# --- Boots, side by side, as many at once as there are cores (one vCPU each) --------------------
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
declare -A boot_status=()
names=()
for target in "${archs[@]}"; do names+=("${dirs[$target]}"); done
for ((first = 0; first < ${#names[@]}; first += $(nproc))); do
    batch=("${names[@]:first:$(nproc)}")
    for name in "${batch[@]}"; do
        "$root/tests/system/boot-guest.sh" "${name%%-*}" "$out/guest-$name" "$guest_timeout" \
            >"$out/console-$name.log" 2>&1 &
        pids[$name]=$!
    done
    for name in "${batch[@]}"; do
        status=0
        wait "${pids[$name]}" || status=$?
        boot_status[$name]=$status
    done
done
stage_done "boot and run"

passed=0
failed=0
for arch in "${names[@]}"; do
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
