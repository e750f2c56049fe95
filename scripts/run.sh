#!/usr/bin/env bash
# Installs what is missing, builds, and runs the service in the foreground with a property store
# under the build tree, on virtual sound cards or on the machine's real cards 0 and 1. Drive it
# from another terminal with the property tool (the commands are printed before it starts).
#
#   bash scripts/run.sh             virtual cards when the machine lacks card 0 or card 1, else real
#   bash scripts/run.sh --virtual   always the virtual cards (files under build/run-cards)
#   bash scripts/run.sh --real      always hw:0,0 and hw:1,0 as the machine has them
#
# Ctrl-C (SIGINT) only ends the current run and leaves every later run empty, as on a device;
# Ctrl-\ (SIGQUIT) or SIGTERM ends the service.
set -euo pipefail

src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$src/build

mode=auto
case "${1:-}" in
"") ;;
--virtual) mode=virtual ;;
--real) mode=real ;;
*)
    echo "usage: bash scripts/run.sh [--virtual | --real]" >&2
    exit 2
    ;;
esac
if [[ $mode == auto ]]; then
    if [[ -e /proc/asound/card0 && -e /proc/asound/card1 ]]; then mode=real; else mode=virtual; fi
fi

# shellcheck source=packages.sh
. "$src/scripts/packages.sh"
ensure_packages "${BUILD_PACKAGES[@]}"

cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=(hdmi-preview-audio hdmi-preview-prop)
[[ $mode == virtual ]] && targets+=(hdmi_preview_vcard)
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

export HDMI_PREVIEW_PROPERTY_DIR=$build/properties
mkdir -p "$HDMI_PREVIEW_PROPERTY_DIR"
prop="HDMI_PREVIEW_PROPERTY_DIR=$HDMI_PREVIEW_PROPERTY_DIR $build/tools/prop/hdmi-preview-prop"

if [[ $mode == virtual ]]; then
    cards=$build/run-cards
    mkdir -p "$cards"
    export HDMI_PREVIEW_VCARD_DIR=$cards
    export HDMI_PREVIEW_VCARD_PLUGIN=$build/tools/virtual_cards/libasound_module_pcm_hdmi_preview_vcard.so
    export ALSA_CONFIG_PATH=/usr/share/alsa/alsa.conf:$src/tools/virtual_cards/virtual_cards.conf
    cat <<MSG
Sound cards: virtual, in $cards
  card 0 captures card0-capture.raw (raw S16_LE, 2 ch, 48 kHz; silence without it),
  card 1 appends what it plays to card1-playback.raw.
MSG
else
    echo "Sound cards: the machine's hw:0,0 (capture) and hw:1,0 (playback)"
fi
cat <<MSG
Property store: $HDMI_PREVIEW_PROPERTY_DIR
From another terminal:
  1. set the level (7 passes the signal; unset, it is 0 and the preview is silent):
       $prop set persist.sys.voice.level 7
  2. start a preview:
       $prop set persist.audio.hdmi.preview 1
  3. stop it (the service then writes 2 into the trigger):
       $prop set persist.audio.hdmi.preview 0
Stop the service with Ctrl-\\ here, or: kill $$
  Stopped during a preview, it leaves the trigger at 1, so its next start streams at once.
  To prevent that, once it has ended, write the 2 as the installed unit does:
       $prop acknowledge
Running $build/service/hdmi-preview-audio
MSG
exec "$build/service/hdmi-preview-audio"
