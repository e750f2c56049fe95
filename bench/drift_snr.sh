#!/usr/bin/env bash
# Signal quality through the real service with drift compensation: a 1 kHz and a 4 kHz sine
# played into virtual card 0 while its clock runs 300 ppm fast, then slow, against card 1's;
# alsabat (alsa-utils) analyses what card 1 played, from 5 s in (after the loop has settled),
# 2^18 frames, at the tone's frequency as card 1's clock hears it: f × (1 + ppm · 10⁻⁶).
# With RATE, card 0 opens only at that rate, as a receiver of a source at RATE does, and the sines
# are written at it: the service resamples them to 48 kHz.
# Prints alsabat's verdict and SNR line for each case; exits 1 if any case fails.
#
#   bash bench/drift_snr.sh BUILD_DIR [SECONDS [RATE]]    (BUILD_DIR built with the option on;
#                                                       installs alsa-utils and python3 if missing)
set -euo pipefail
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:?usage: drift_snr.sh BUILD_DIR [SECONDS [RATE]]}" && pwd)
seconds=${2:-15}
rate=${3:-48000}
[[ $rate =~ ^[1-9][0-9]{3,5}$ ]] || { echo "drift_snr.sh: RATE $rate: a rate in Hz, e.g. 44100" >&2; exit 2; }
(( seconds >= 11 )) || { echo "drift_snr.sh: SECONDS $seconds: needs 11 or more (5 s settling, then 5.5 s analysed)" >&2; exit 2; }
service=$build/service/hdmi-preview-audio
prop=$build/tools/prop/hdmi-preview-prop
plugin=$build/tools/virtual_cards/libasound_module_pcm_hdmi_preview_vcard.so
for f in "$service" "$prop" "$plugin"; do
    [[ -e $f ]] || { echo "$f: missing (build the service, hdmi-preview-prop and hdmi_preview_vcard)" >&2; exit 2; }
done
# shellcheck source=scripts/packages.sh
. "$src/scripts/packages.sh"
ensure_packages alsa-utils python3

work=$(mktemp -d)
pid=
trap '[[ -n $pid ]] && kill "$pid" 2>/dev/null; wait; rm -rf "$work"' EXIT
export ALSA_CONFIG_PATH=/usr/share/alsa/alsa.conf:$src/tools/virtual_cards/virtual_cards.conf
export HDMI_PREVIEW_VCARD_PLUGIN=$plugin
export HDMI_PREVIEW_VCARD0_RATE=$rate

failed=0
for freq in 1000 4000; do
    # One sine per frequency, at half of full scale, shared by both clock offsets.
    python3 - "$work/sine_$freq.raw" "$freq" "$((seconds + 5))" "$rate" <<'PY'
import array, math, sys
path, freq, secs, rate = sys.argv[1], float(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
samples = array.array('h')
for i in range(rate * secs):
    v = round(16384 * math.sin(2 * math.pi * freq * i / rate))
    samples.extend((v, v))
open(path, 'wb').write(samples.tobytes())
PY
    for ppm in 300 -300; do
        dir=$work/${freq}Hz_${ppm}ppm
        mkdir -p "$dir/cards" "$dir/store"
        ln -s "$work/sine_$freq.raw" "$dir/cards/card0-capture.raw"
        export HDMI_PREVIEW_PROPERTY_DIR=$dir/store HDMI_PREVIEW_VCARD_DIR=$dir/cards
        export HDMI_PREVIEW_VCARD0_PPM=$ppm
        "$prop" set persist.sys.voice.level 7
        "$service" >"$dir/service.out" 2>&1 &
        pid=$!
        "$prop" set persist.audio.hdmi.preview 1
        sleep "$seconds"
        "$prop" set persist.audio.hdmi.preview 0
        for _ in $(seq 50); do
            [[ $("$prop" get persist.audio.hdmi.preview) == 2 ]] && break
            sleep 0.1
        done
        kill "$pid"
        wait "$pid" || true
        pid=
        xruns=$(cat "$dir"/cards/card*-events.txt 2>/dev/null | grep -c '^xrun' || true)
        python3 - "$dir/cards/card1-playback.raw" "$dir/out.wav" <<'PY'
import sys, wave
raw = open(sys.argv[1], 'rb').read()
start, size = 5 * 48000 * 4, 2**18 * 4
if len(raw) < start + size:
    sys.exit(f"{sys.argv[1]}: {len(raw)} bytes played, {start + size} needed")
out = wave.open(sys.argv[2], 'wb')
out.setnchannels(2)
out.setsampwidth(2)
out.setframerate(48000)
out.writeframes(raw[start:start + size])
out.close()
PY
        heard=$(python3 -c "print(round($freq * (1 + $ppm * 1e-6), 3))")
        if alsabat --local --file="$dir/out.wav" -F "$heard" --snr-db=60 >"$dir/alsabat.txt" 2>&1; then
            verdict=pass
        else
            verdict=FAIL
            failed=1
        fi
        snr=$(grep -m1 'Average SNR' "$dir/alsabat.txt" || echo "no SNR line")
        printf '%5s Hz, card 0 at %s Hz %+4d ppm: %s, xruns %s; %s\n' "$freq" "$rate" "$ppm" "$verdict" "$xruns" "$snr"
    done
done
exit "$failed"
