#!/usr/bin/env bash
# Installs what is missing, builds, and runs the service in the foreground with a property store
# under the build tree. Drive it from another terminal with the property tool (the commands are
# printed below); stop it with Ctrl-\ (SIGQUIT) or SIGTERM, since Ctrl-C (SIGINT) only stops the
# current run, as it does on a device.
#
#   bash scripts/run.sh            (build tree: build/ in the source tree)
set -euo pipefail

src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=packages.sh
. "$src/scripts/packages.sh"
ensure_packages "${BUILD_PACKAGES[@]}"

build=$src/build
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target hdmi-preview-audio hdmi-preview-prop

export HDMI_PREVIEW_PROPERTY_DIR=$build/properties
mkdir -p "$HDMI_PREVIEW_PROPERTY_DIR"
prop=$build/platform/hdmi-preview-prop
cat <<MSG
Property store: $HDMI_PREVIEW_PROPERTY_DIR
Start a preview:  HDMI_PREVIEW_PROPERTY_DIR=$HDMI_PREVIEW_PROPERTY_DIR $prop set persist.audio.hdmi.preview 1
Set the level:    HDMI_PREVIEW_PROPERTY_DIR=$HDMI_PREVIEW_PROPERTY_DIR $prop set persist.sys.voice.level 7
Stop it:          HDMI_PREVIEW_PROPERTY_DIR=$HDMI_PREVIEW_PROPERTY_DIR $prop set persist.audio.hdmi.preview 0
Running $build/service/hdmi-preview-audio
MSG
exec "$build/service/hdmi-preview-audio"
