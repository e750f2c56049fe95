#!/usr/bin/env bash
# One preview on virtual sound cards, from a fresh Debian 12 machine without sound hardware:
# installs what is missing, builds, plays a test tone through the service at levels 7, 3 and 14,
# and leaves the played audio, a picture of it and the service's lines in an output folder.
#
#   bash scripts/demo.sh [build-dir]      (default: build-demo in the source tree)
set -euo pipefail

src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(mkdir -p "${1:-$src/build-demo}" && cd "${1:-$src/build-demo}" && pwd)
out=$build/demo-output
store=$build/demo-store
cards=$build/demo-cards

say() { printf '\n== %s\n' "$*"; }

# --- Packages: only the missing ones ------------------------------------------------------
# shellcheck source=packages.sh
. "$src/scripts/packages.sh"
ensure_packages "${BUILD_PACKAGES[@]}" python3 gnuplot-nox
# Debian's interpreter, whatever else is first on the PATH.
python=/usr/bin/python3

# --- Build --------------------------------------------------------------------------------
say "Building in $build"
cmake -S "$src" -B "$build" -DHDMI_PREVIEW_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target hdmi-preview-audio hdmi-preview-prop hdmi_preview_vcard \
    scale_samples
service_bin=$build/service/hdmi-preview-audio
prop_bin=$build/tools/prop/hdmi-preview-prop
plugin=$build/tools/virtual_cards/libasound_module_pcm_hdmi_preview_vcard.so
# The tests' gain reference, to tell from the audio which level each block was played at.
scale_bin=$build/tests/support/scale_samples

rm -rf "$out" "$store" "$cards"
mkdir -p "$out" "$store" "$cards"

# --- Test signal: two tones whose loudness swells and fades every 3 s ---------------------
say "Generating the test signal"
"$python" - "$cards/card0-capture.raw" <<'PY'
import math, struct, sys
rate, seconds = 48000, 4.0
frames = []
for i in range(int(rate * seconds)):
    t = i / rate
    envelope = 0.1 + 0.8 * math.sin(math.pi * t / 3) ** 2
    left = envelope * math.sin(2 * math.pi * 440 * t)
    right = envelope * math.sin(2 * math.pi * 660 * t)
    frames.append(struct.pack('<hh', int(32767 * left), int(32767 * right)))
open(sys.argv[1], 'wb').write(b''.join(frames))
PY

# --- The service on the virtual cards -----------------------------------------------------
export HDMI_PREVIEW_PROPERTY_DIR=$store
export HDMI_PREVIEW_VCARD_DIR=$cards
export HDMI_PREVIEW_VCARD_PLUGIN=$plugin
export ALSA_CONFIG_PATH=/usr/share/alsa/alsa.conf:$src/tools/virtual_cards/virtual_cards.conf

log=$out/service.log
service_pid=
stop_service() {
    if [[ -n $service_pid ]] && kill -0 "$service_pid" 2>/dev/null; then
        kill -TERM "$service_pid" 2>/dev/null || true
        wait "$service_pid" 2>/dev/null || true
    fi
}
trap stop_service EXIT
trap 'exit 130' INT TERM

"$service_bin" >"$log" 2>&1 &
service_pid=$!

# Waits, up to a deadline in seconds, until the command succeeds.
wait_until() {
    local deadline=$(($(date +%s) + $1))
    shift
    until "$@"; do
        if (($(date +%s) >= deadline)); then
            echo "timed out waiting for: $*" >&2
            return 1
        fi
        sleep 0.01
    done
}
played_frames() { echo $(($(stat -c %s "$cards/card1-playback.raw" 2>/dev/null || echo 0) / 4)); }
played_at_least() { (($(played_frames) >= $1)); }
log_has() { grep -qx "$1" "$log"; }
# The run has started; a run that ended without starting (a card that does not open) ends the demo.
run_started() {
    log_has 'Capturing sample: 2 ch, 48000 hz, 16 bit' && return 0
    if log_has 'prop exit'; then
        echo "the run ended before it started:" >&2
        cat "$log" >&2
        exit 1
    fi
    return 1
}

say "Preview: level 7, then 3, then 14"
"$prop_bin" set persist.sys.voice.level 7
"$prop_bin" set persist.audio.hdmi.preview 1
wait_until 10 run_started
wait_until 10 played_at_least 48000
"$prop_bin" set persist.sys.voice.level 3
wait_until 10 played_at_least 96000
"$prop_bin" set persist.sys.voice.level 14
wait_until 10 played_at_least 144000
"$prop_bin" set persist.audio.hdmi.preview 0
wait_until 10 log_has 'prop exit'
echo "trigger after the run: $("$prop_bin" get persist.audio.hdmi.preview)" | tee "$out/trigger.txt"
stop_service
service_pid=

# --- Results: WAV files, the level of every block, the picture ----------------------------
say "Writing results to $out"
for level in 7 3 14; do
    "$scale_bin" "$level" <"$cards/card0-capture-copy.raw" >"$cards/expected-$level.raw" ||
        { echo "demo: $scale_bin cannot scale $cards/card0-capture-copy.raw" >&2; exit 1; }
done
"$python" - "$cards" "$out" <<'PY'
import struct, sys, wave
cards, out = sys.argv[1], sys.argv[2]
played = open(cards + '/card1-playback.raw', 'rb').read()
delivered = open(cards + '/card0-capture-copy.raw', 'rb').read()
for name, data in (('played.wav', played), ('input.wav', delivered)):
    with wave.open(out + '/' + name, 'wb') as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(48000)
        w.writeframes(data)

# Which level each 1024-frame block was played at, found from the audio itself: the block equals
# the captured block scaled at that level.
expected = {l: open('%s/expected-%d.raw' % (cards, l), 'rb').read() for l in (7, 3, 14)}
block = 4096
levels = []
for b in range(len(played) // block):
    span = slice(b * block, (b + 1) * block)
    match = [l for l in (7, 3, 14) if expected[l][span] == played[span]]
    levels.append(match[0] if match else None)
with open(out + '/levels.txt', 'w') as f:
    f.write('# first second of each stretch played at one level\n')
    prev = 'start'
    for b, l in enumerate(levels):
        if l != prev:
            f.write('%.4f %s\n' % (b * 1024 / 48000, l))
            prev = l

# Peak envelopes, 10 ms per point, of the left channel.
def envelope(data, path):
    samples = struct.unpack('<%dh' % (len(data) // 2), data)[0::2]
    step = 480
    with open(path, 'w') as f:
        for i in range(0, len(samples), step):
            chunk = samples[i:i + step]
            f.write('%.4f %d %d\n' % (i / 48000, min(chunk), max(chunk)))
envelope(delivered[:len(played)], out + '/input.dat')
envelope(played, out + '/played.dat')
PY

{
    echo 'set terminal pngcairo size 1200,700 font "sans,10"'
    echo "set output '$out/waveforms.png'"
    echo 'set multiplot layout 2,1 title "Left channel, peaks per 10 ms; red: the level in force from there on"'
    echo 'set xlabel "seconds since the run started"; set ylabel "sample"'
    echo 'set yrange [-36000:36000]; set grid front; unset key'
    i=0
    while read -r t level; do
        [[ $t == \#* ]] && continue
        i=$((i + 1))
        echo "set arrow $i from $t,graph 0 to $t,graph 1 nohead front lc rgb 'red' dt 2 lw 2"
        echo "set label $i 'level $level' at $t,graph 0.95 offset 0.5,0 front tc rgb 'red'"
    done <"$out/levels.txt"
    echo "set title 'captured on card 0'"
    echo "plot '$out/input.dat' using 1:2:3 with filledcurves lc rgb '#4060c0'"
    echo "set title 'played on card 1'"
    echo "plot '$out/played.dat' using 1:2:3 with filledcurves lc rgb '#208040'"
    echo 'unset multiplot'
} | gnuplot

rm -f "$out/input.dat" "$out/played.dat"
say "Done"
cat "$log"
ls -l "$out"
