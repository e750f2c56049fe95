#!/bin/bash
# One benchmark table: the service (built without and with drift compensation) beside alsaloop
# (alsa-utils, -S 0 and -S 4), each copying card 0 to card 1 with a sine flowing through, first on
# the host's virtual sound cards, then on snd-aloop cards in an x86-64 QEMU guest (one boot).
# Figures are printed, never asserted; the machine is printed above the table. Not run by CI (nor
# by scripts/test.sh): it takes about five minutes and its figures depend on the machine's load.
#
#   bash bench/bench.sh [--host-only]
#
# Installs what is missing (apt-get, through sudo when not root), builds into build-bench-off,
# build-bench-drift and build-bench-tools, keeps the guest and its kernel in build-bench-guest
# and everything else in a temporary folder that is removed at the end; every process it starts
# is stopped. HDMI_PREVIEW_BENCH_SECONDS (default 10) sets each host run's measured span,
# HDMI_PREVIEW_BENCH_GUEST_SECONDS (default 20) the guest's.
#
# In the guest, a program's own CPU (its threads' scheduler time) does not tell its whole cost:
# snd-aloop moves the audio between its substreams in whichever context asks it for a position
# first (its timer, the program, the probe), so part of the driver's work may land on the program
# by chance. The guest table therefore also gives the whole guest's busy time over the same span:
# "guest" from the guest's /proc/stat (all vCPUs: the span times the vCPUs less the idle time,
# which the kernel counts exactly while the tick is stopped, so interrupts taken while idle
# count too), and "QEMU" from the host (the CPU time of QEMU's threads), which a host preempting
# the vCPUs does not inflate. Both include the probe's player and recorder and the idle guest's
# timers; the "probe only" row runs no copying program and is that share.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${HDMI_PREVIEW_BENCH_SECONDS:-10}
guest_seconds=${HDMI_PREVIEW_BENCH_GUEST_SECONDS:-20}
warmup=3
host_only=0
[[ ${1:-} == --host-only ]] && host_only=1

fail() {
    echo "bench: $*" >&2
    exit 1
}

# --- Packages and builds -------------------------------------------------------------------------
# shellcheck source=packages.sh
. "$root/scripts/packages.sh"
ensure_packages "${BUILD_PACKAGES[@]}" alsa-utils strace python3 binutils qemu-system-x86 cpio \
    kmod || fail "cannot install the benchmark's packages"

build() {
    local dir=$1
    shift
    mkdir -p "$root/$dir"
    cmake -S "$root" -B "$root/$dir" -DHDMI_PREVIEW_TESTS=OFF -DHDMI_PREVIEW_BENCHMARKS=OFF "$@" \
        >"$root/$dir/bench-configure.log" 2>&1 ||
        fail "configure of $dir failed: see $root/$dir/bench-configure.log"
    cmake --build "$root/$dir" -j 2 --target hdmi-preview-audio hdmi_preview_vcard \
        >"$root/$dir/bench-build.log" 2>&1 || fail "build of $dir failed: see $root/$dir/bench-build.log"
}
build build-bench-off
build build-bench-drift -DHDMI_PREVIEW_DRIFT_COMPENSATION=ON
tools=$root/build-bench-tools
mkdir -p "$tools"
flags=(-std=c++17 -O2 -Wall -Wextra -Werror)
g++ "${flags[@]}" -o "$tools/latency_probe" "$root/bench/latency_probe.cpp" -lasound ||
    fail "cannot build bench/latency_probe.cpp"
g++ "${flags[@]}" -shared -fPIC -o "$tools/queue_probe.so" "$root/bench/queue_probe.cpp" \
    -ldl -lasound || fail "cannot build bench/queue_probe.cpp"
g++ "${flags[@]}" -shared -fPIC -o "$tools/underrun_trace.so" "$root/bench/underrun_trace.cpp" \
    -ldl -lasound || fail "cannot build bench/underrun_trace.cpp"

# --- Temporary folder and the processes started ----------------------------------------------------
work=$(mktemp -d)
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

# A sine, 440 Hz at a quarter of full scale, long enough for the longest run.
python3 - "$work/sine.raw" $((warmup + seconds + 10)) <<'PY' || fail "cannot write the test sine"
import array, math, sys
frames = 48000 * int(sys.argv[2])
s = array.array("h", (int(8192 * math.sin(2 * math.pi * 440 * i / 48000)) for i in range(48000)))
stereo = array.array("h", (v for v in s for _ in (0, 1)))
with open(sys.argv[1], "wb") as f:
    for _ in range(frames // 48000):
        stereo.tofile(f)
PY

export ALSA_CONFIG_PATH=/usr/share/alsa/alsa.conf:$root/tools/virtual_cards/virtual_cards.conf
subjects=(service-off service-on alsaloop-S0 alsaloop-S4)
declare -A label=([service-off]="service" [service-on]="service, drift compensation on"
    [alsaloop-S0]="alsaloop -S 0" [alsaloop-S4]="alsaloop -S 4" [probe-only]="probe only (no program)")

# start SUBJECT DIR [PRELOAD]: starts it on the virtual cards in DIR; sets $subject_pid.
start() {
    local name=$1 dir=$2 preload=${3:-}
    mkdir -p "$dir/store"
    ln -sf "$work/sine.raw" "$dir/card0-capture.raw"
    local build=build-bench-off
    [[ $name == service-on ]] && build="build-bench-drift"
    local env=(HDMI_PREVIEW_VCARD_DIR="$dir"
        HDMI_PREVIEW_VCARD_PLUGIN="$root/$build/tools/virtual_cards/libasound_module_pcm_hdmi_preview_vcard.so"
        QUEUE_PROBE_OUT="$dir/queue.txt")
    [[ -z $preload ]] || env+=(LD_PRELOAD="$preload")
    case "$name" in
    service-*)
        echo 7 >"$dir/store/persist.sys.voice.level"
        echo 1 >"$dir/store/persist.audio.hdmi.preview"
        env "${env[@]}" HDMI_PREVIEW_PROPERTY_DIR="$dir/store" \
            "$root/$build/service/hdmi-preview-audio" >"$dir/out.log" 2>&1 &
        ;;
    alsaloop-S*)
        # The service's period (alsaloop rounds it to 1023 frames) and two of them queued.
        env "${env[@]}" alsaloop -C hw:0,0 -P hw:1,0 -f S16_LE -c 2 -r 48000 -l 2048 \
            -S "${name#alsaloop-S}" >"$dir/out.log" 2>&1 &
        ;;
    esac
    subject_pid=$!
    pids+=("$subject_pid")
}

# stop SUBJECT DIR: the service's run ends through the trigger, so that its streams are closed
# before SIGTERM ends the process; alsaloop closes its streams on SIGTERM.
stop() {
    local name=$1 dir=$2
    if [[ $name == service-* ]]; then
        echo 0 >"$dir/store/persist.audio.hdmi.preview"
        for _ in $(seq 100); do grep -q "prop exit" "$dir/out.log" && break; sleep 0.05; done
    fi
    kill "$subject_pid" 2>/dev/null || true
    wait "$subject_pid" 2>/dev/null || true
}

cpu_ns() { awk '{ s += $1 } END { print s }' /proc/"$1"/task/*/schedstat; }
played() { stat -c %s "$1/card1-playback.raw" 2>/dev/null || echo 0; }

declare -A cpu_ms rss_kib latency_ms syscalls
for name in "${subjects[@]}"; do
    # CPU and peak RSS, alone.
    dir=$work/$name-cpu
    start "$name" "$dir"
    sleep "$warmup"
    c0=$(cpu_ns "$subject_pid")
    b0=$(played "$dir")
    sleep "$seconds"
    c1=$(cpu_ns "$subject_pid")
    b1=$(played "$dir")
    rss_kib[$name]=$(awk '/^VmHWM/ { print $2 }' "/proc/$subject_pid/status")
    cpu_ms[$name]=$(awk -v c=$((c1 - c0)) -v b=$((b1 - b0)) 'BEGIN { printf "%.2f", c / 1e6 / (b / 192000) }')
    stop "$name" "$dir"

    # System calls under strace, and the queues through the preloaded probe, in one run.
    dir=$work/$name-trace
    start "$name" "$dir" "$tools/queue_probe.so"
    sleep "$warmup"
    strace -f -c -o "$dir/strace.txt" -p "$subject_pid" 2>/dev/null &
    tracer=$!
    pids+=("$tracer")
    b0=$(played "$dir")
    sleep "$seconds"
    b1=$(played "$dir")
    kill -INT "$tracer" 2>/dev/null || true
    wait "$tracer" 2>/dev/null || true
    stop "$name" "$dir"
    # The virtual cards run inside the program and read and write their files; neither program
    # reads or writes a file while it streams, so those calls are the cards' own.
    syscalls[$name]=$(awk -v b=$((b1 - b0)) '
        $NF == "total" { all = $4 }
        $NF ~ /^(read|pread64|write|pwrite64)$/ { cards += $4 }
        END { printf "%.2f (%.2f)", all / (b / 4096), (all - cards) / (b / 4096) }' "$dir/strace.txt")
    latency_ms[$name]=$(awk '{ print $4 }' "$dir/queue.txt" 2>/dev/null || echo "?")
done

# --- Guest ---------------------------------------------------------------------------------------
guest=()
if [[ $host_only -eq 0 ]]; then
    GUEST_BENCH_SUBJECTS=$(IFS=,; echo "${subjects[*]},probe-only") \
        "$root/bench/guest-bench.sh" "$root/build-bench-guest" \
        "$root/build-bench-off/service/hdmi-preview-audio" \
        "$root/build-bench-drift/service/hdmi-preview-audio" "$tools/latency_probe" \
        "$guest_seconds" 0 0 >"$work/guest.txt" || fail "the benchmark guest failed: see $root/build-bench-guest/console.log"
    mapfile -t guest <"$work/guest.txt"
fi

# --- The table -----------------------------------------------------------------------------------
echo "Machine: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1), $(nproc) cores, Linux $(uname -r), load average $(cut -d ' ' -f 1-3 /proc/loadavg)"
echo
echo "Host, virtual sound cards (${seconds} s each, after ${warmup} s):"
printf '%-34s %14s %14s %12s %16s\n' "program" "CPU ms/s audio" "peak RSS KiB" "latency ms" "syscalls/block (own)"
for name in "${subjects[@]}"; do
    printf '%-34s %14s %14s %12s %16s\n' "${label[$name]}" "${cpu_ms[$name]}" "${rss_kib[$name]}" \
        "${latency_ms[$name]}" "${syscalls[$name]}"
done
if [[ $host_only -eq 0 ]]; then
    echo
    guest_line=$(printf '%s\n' "${guest[@]}" | sed -n 's/^BENCH kernel //p')
    echo "x86-64 guest on snd-aloop, QEMU TCG (${guest_seconds} s each, one boot; kernel $guest_line):"
    printf '%-34s %14s %10s %10s %14s %12s %8s\n' "program" "CPU ms/s audio" "guest ms/s" "QEMU ms/s" \
        "wake-ups/block" "latency ms" "gaps"
    # field NAME LINE: the value of NAME=... in LINE; per_s VALUE SECONDS.
    field() { sed -n "s/.* $1=\\([0-9.-]*\\).*/\\1/p" <<<"$2"; }
    per_s() { awk -v v="$1" -v s="$2" 'BEGIN { if (s > 0 && v != "") printf "%.1f", v / s; else print "?" }'; }
    for name in "${subjects[@]}" probe-only; do
        cpu=$(printf '%s\n' "${guest[@]}" | grep -m 1 "^BENCH cpu $name " || true)
        lat=$(printf '%s\n' "${guest[@]}" | grep -m 1 "^BENCH latency $name " || true)
        host=$(printf '%s\n' "${guest[@]}" | grep -m 1 "^BENCH host $name " || true)
        span=$(field span_s "$cpu")
        own="$(per_s "$(field cpu_ms "$cpu")" "$span")"
        wakeups="$(awk -v w="$(field wakeups "$cpu")" -v s="$span" 'BEGIN { if (s > 0) printf "%.2f", w / (s * 48000 / 1024); else print "?" }')"
        latency=$(field latency5_ms "$lat")
        gaps=$(field gaps "$lat")
        if [[ $name == probe-only ]]; then
            own=-
            wakeups=-
            latency=-
            gaps=-
        fi
        printf '%-34s %14s %10s %10s %14s %12s %8s\n' "${label[$name]}" "$own" \
            "$(per_s "$(field guest_nonidle_ms "$cpu")" "$span")" \
            "$(per_s "$(field qemu_ms "$host")" "$(field host_span_s "$host")")" \
            "$wakeups" "$latency" "$gaps"
    done
fi
