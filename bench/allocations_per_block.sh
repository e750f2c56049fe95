#!/usr/bin/env bash
# Counts the service's heap allocations under heaptrack for a short and a long run on clockless
# null sound cards (alsa-lib's null PCM stands in for hw:C,D, so blocks move as fast as the CPU
# allows). Equal totals for very different block counts mean no allocation inside the block loop.
#
#   bash bench/allocations_per_block.sh BUILD_DIR        (needs heaptrack)
set -euo pipefail
build=$(cd "${1:?usage: allocations_per_block.sh BUILD_DIR}" && pwd)
service=$build/service/hdmi-preview-audio
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/store"
cat >"$work/null-hw.conf" <<'CONF'
pcm.!hw {
    @args [ CARD DEV ]
    @args.CARD { type string }
    @args.DEV { type integer }
    type null
}
CONF
echo 7 >"$work/store/persist.sys.voice.level"

# The service runs as heaptrack's child; only that process is stopped, so a service started
# from the same build by hand or by scripts/run.sh is left alone.
service_child_of() {
    local child
    for child in $(pgrep -P "$1"); do
        if [[ $(readlink "/proc/$child/exe" 2>/dev/null) == "$service" ]]; then
            echo "$child"
            return 0
        fi
    done
    return 1
}

for seconds in 0.2 2; do
    echo 1 >"$work/store/persist.audio.hdmi.preview"
    HDMI_PREVIEW_PROPERTY_DIR=$work/store ALSA_CONFIG_PATH=/usr/share/alsa/alsa.conf:$work/null-hw.conf \
        heaptrack -o "$work/trace.$seconds" "$service" >"$work/out.$seconds" 2>&1 &
    tracer=$!
    service_pid=
    for _ in $(seq 200); do service_pid=$(service_child_of "$tracer") && break; sleep 0.05; done
    [[ -n $service_pid ]] || {
        kill "$tracer" 2>/dev/null || true
        echo "allocations_per_block: the service did not start under heaptrack" >&2
        exit 1
    }
    sleep "$seconds"
    echo 0 >"$work/store/persist.audio.hdmi.preview"
    for _ in $(seq 100); do grep -q "prop exit" "$work/out.$seconds" && break; sleep 0.05; done
    kill -TERM "$service_pid"
    wait "$tracer" || true
    frames=$(sed -n 's/^Captured \([0-9]*\) frames$/\1/p' "$work/out.$seconds")
    calls=$(heaptrack_print "$work"/trace."$seconds".* 2>/dev/null |
        sed -n 's/^calls to allocation functions: \([0-9]*\).*/\1/p')
    echo "run of $((frames / 1024)) blocks ($frames frames): $calls allocation calls in the whole process"
done
