#!/bin/sh
# /init of the system-test guest (busybox sh, PID 1). Loads the loopback cards, runs the suite once
# and powers the guest off; the host reads the serial console. Every exit path ends in a power-off
# or, if init itself dies, in a kernel panic that -no-reboot turns into the end of QEMU.
. /lib/guest-init-lib.sh
# shellcheck disable=SC2034  # read by guest-init-lib.sh
guest_tag=GUEST

finish() {
    echo "GUEST suite ended at uptime $(cut -d ' ' -f 1 /proc/uptime) s"
    echo "SYSTEST STATUS $1"
    sync
    poweroff -f
    # Reached only if the power-off fails: with -no-reboot a reboot ends QEMU as well.
    reboot -f
}

guest_setup
echo "GUEST kernel $(uname -r) on $(uname -m)"
guest_load_cards
cat /proc/asound/cards
echo "GUEST suite starts at uptime $(cut -d ' ' -f 1 /proc/uptime) s"

mkdir -p /tmp/properties
# Empty for our adapter over alsa-lib.
library=$(cat /opt/hdmi/pcm-library 2>/dev/null || true)
echo "GUEST PCM library: ${library:-alsa-lib adapter}"
HDMI_PREVIEW_SYSTEST_PCM_LIBRARY=$library HDMI_PREVIEW_PROPERTY_DIR=/tmp/properties \
    /opt/hdmi/hdmi-preview-systest /opt/hdmi/hdmi-preview-audio
finish $?
