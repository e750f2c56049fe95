#!/bin/bash
# Builds and boots the benchmark guest: x86-64, Debian's kernel with two snd-aloop cards, under
# QEMU (TCG), in one boot measuring the service built without and with drift compensation and
# alsaloop (-S 0, -S 4) on the real driver (bench/guest-bench-init.sh says what and how).
# Prints the guest's BENCH lines; the whole console is kept in OUT_DIR/console.log.
#
#   guest-bench.sh OUT_DIR SERVICE_OFF SERVICE_ON PROBE [SECONDS [DRIFT_SECONDS [STRACE_SECONDS]]]
#
# SERVICE_ON may be "-" to leave that build out. GUEST_BENCH_PERF=S adds the host's perf to the
# guest and a profile of S seconds per subject; GUEST_BENCH_FTRACE=S a function trace of the
# driver's calls over S seconds per subject; GUEST_BENCH_SUBJECTS=A,B measures only those
# (service-off, service-on, alsaloop-S0, alsaloop-S4, probe-only); GUEST_BENCH_EXTRA="NAME=PATH
# ..." adds more builds of the service, measured as service-NAME when named in
# GUEST_BENCH_SUBJECTS; GUEST_BENCH_CPUS=N boots the guest with N vCPUs (default 2);
# GUEST_BENCH_SHIFTS=A,B sets card 0's rate shifts for the drift runs, which every service subject
# runs (default 99970,100030; 100000 is no drift); GUEST_BENCH_TRACE=PATH preloads that build of
# bench/underrun_trace.cpp into every service subject, which then says what came before
# each of its underruns; GUEST_BENCH_SOURCE_RATES=A,B sets the rates (Hz) the probe plays its source
# at into card 0, the drift runs repeated for each and the CPU runs at the first (default 48000).
# Kernel and busybox come from Debian's archive
# through apt-get download (cached in OUT_DIR/cache); alsaloop, amixer and strace are the host's.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
system=$here/../tests/system

fail() {
    echo "guest-bench: $*" >&2
    exit 1
}

[[ $# -ge 4 ]] || fail "usage: guest-bench.sh OUT_DIR SERVICE_OFF SERVICE_ON PROBE [SECONDS [DRIFT_SECONDS [STRACE_SECONDS]]]"
out=$1
service_off=$2
service_on=$3
probe=$4
seconds=${5:-20}
drift=${6:-60}
strace_seconds=${7:-10}
cache=$out/cache
mkdir -p "$cache" || fail "cannot create $cache"
cache=$(cd "$cache" && pwd)
out=$(cd "$out" && pwd)

# --- Kernel and root file system: the system guest's steps (tests/system/guest-root.sh) ----------
# shellcheck source=tests/system/guest-root.sh
. "$system/guest-root.sh"
guest_arch x86_64
guest_kernel "$out"
root=$out/root
guest_root "$root" "$here/guest-bench-init.sh"
guest_add_program "$root" "$service_off" opt/hdmi/hdmi-preview-audio-off
[[ $service_on == - ]] || guest_add_program "$root" "$service_on" opt/hdmi/hdmi-preview-audio-on
guest_add_program "$root" "$probe" opt/hdmi/latency_probe
[[ -z ${GUEST_BENCH_TRACE:-} ]] || guest_add_program "$root" "$GUEST_BENCH_TRACE" opt/hdmi/underrun_trace.so
for extra in ${GUEST_BENCH_EXTRA:-}; do
    guest_add_program "$root" "${extra#*=}" "opt/hdmi/hdmi-preview-audio-${extra%%=*}"
done
perf_seconds=${GUEST_BENCH_PERF:-0}
tools=(alsaloop amixer strace)
[[ $perf_seconds -eq 0 ]] || tools+=(perf)
for tool in "${tools[@]}"; do
    path=$(command -v "$tool") || fail "$tool not installed (packages alsa-utils, strace)"
    guest_add_program "$root" "$path" "usr/bin/$tool"
done
guest_add_libraries "$root"
guest_add_alsa_config "$root"
guest_pack "$root" "$out/initramfs.cpio"
rm -rf "$root"

# --- Boot ------------------------------------------------------------------------------------------
# Two vCPUs: the probe and the program measured each have one.
ftrace_seconds=${GUEST_BENCH_FTRACE:-0}
# count LIST DEFAULT: the items of a comma-separated list, DEFAULT when it is empty.
count() { if [[ -n $1 ]]; then tr ',' '\n' <<<"$1" | grep -c .; else echo "$2"; fi; }
subject_count=$(count "${GUEST_BENCH_SUBJECTS:-}" 4)
shift_count=$(count "${GUEST_BENCH_SHIFTS:-}" 2)
rate_count=$(count "${GUEST_BENCH_SOURCE_RATES:-}" 1)
runs=$((subject_count * (seconds + strace_seconds + perf_seconds + 2 * ftrace_seconds + 8) + subject_count * shift_count * rate_count * (drift + 4) + 60))
console=$out/console.log
marks=$out/host-marks.txt
: >"$console"
: >"$marks"
BOOT_GUEST_CPUS=${GUEST_BENCH_CPUS:-2} BOOT_GUEST_MEMORY=512 "$system/boot-guest.sh" x86_64 "$out" "$((runs * 2))" \
    "bench.seconds=$seconds bench.drift=$drift bench.strace=$strace_seconds bench.perf=$perf_seconds bench.ftrace=$ftrace_seconds${GUEST_BENCH_SUBJECTS:+ bench.subjects=$GUEST_BENCH_SUBJECTS}${GUEST_BENCH_SHIFTS:+ bench.shifts=$GUEST_BENCH_SHIFTS}${GUEST_BENCH_SOURCE_RATES:+ bench.rates=$GUEST_BENCH_SOURCE_RATES}" \
    >"$console" 2>&1 &
boot=$!

# The host's view of the whole guest: QEMU's CPU time (all its threads, as the host's scheduler
# counts it) at each of the guest's "BENCH mark" lines. Unlike the guest's own clock it does not
# grow when the host preempts a vCPU, so it is the steadier figure on a busy host.
qemu_pid() {
    local pid=$boot child
    for _ in 1 2; do  # boot-guest.sh, then timeout, then QEMU
        child=$(pgrep -P "$pid" | head -n 1) || return 1
        pid=$child
    done
    [[ $(cat "/proc/$pid/comm" 2>/dev/null) == qemu-system-* ]] && echo "$pid"
}
watch_marks() {
    local line qemu='' ns
    while IFS= read -r line; do
        [[ $line == "BENCH mark "* ]] || continue
        [[ -n $qemu ]] || qemu=$(qemu_pid) || continue
        ns=$(cat /proc/"$qemu"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%.0f", s }')
        echo "${line%$'\r'} $ns $(date +%s.%N)" >>"$marks"
    done < <(tail -n +1 -F --pid="$boot" "$console" 2>/dev/null)
}
watch_marks &
watcher=$!
# An interrupted run takes the guest (boot-guest.sh stops QEMU) and the watcher with it.
trap 'kill "$boot" "$watcher" 2>/dev/null || true' EXIT
status=0
wait "$boot" || status=$?
wait "$watcher" || true
[[ $status -eq 0 ]] || fail "the guest failed: $(tail -n 5 "$console" | tr '\n' ' ')"
grep -a '^BENCH ' "$console" | tr -d '\r' | grep -v '^BENCH mark '
# "BENCH mark start|end NAME NS T": the span's QEMU CPU in ms and its length on the host's clock.
awk '$3 == "start" { ns = $5; t = $6 }
     $3 == "end" && ns != "" { printf "BENCH host %s qemu_ms=%.0f host_span_s=%.2f\n", $4, ($5 - ns) / 1e6, $6 - t; ns = "" }' "$marks"
grep -aq '^BENCH status 0' "$console" || fail "the guest did not finish: see $console"
