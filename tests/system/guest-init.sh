#!/bin/sh
# /init of the system-test guest (busybox sh, PID 1). Loads the loopback cards, runs the suite once
# and powers the guest off; the host reads the serial console. Every exit path ends in a power-off
# or, if init itself dies, in a kernel panic that -no-reboot turns into the end of QEMU.
/bin/busybox --install -s
export PATH=/bin:/sbin:/usr/bin:/usr/sbin
export LD_LIBRARY_PATH=/lib

finish() {
    echo "GUEST suite ended at uptime $(cut -d ' ' -f 1 /proc/uptime) s"
    echo "SYSTEST STATUS $1"
    sync
    poweroff -f
    # Reached only if the power-off fails: with -no-reboot a reboot ends QEMU as well.
    reboot -f
}

mount -t proc proc /proc || finish 90
mount -t sysfs sysfs /sys || finish 90
# devtmpfs: the kernel creates the /dev/snd nodes itself as the cards register.
mount -t devtmpfs devtmpfs /dev || finish 90
mount -t tmpfs tmpfs /tmp || finish 90

echo "GUEST kernel $(uname -r) on $(uname -m)"
for module in soundcore snd snd-timer snd-pcm; do
    modprobe "$module" || { echo "GUEST cannot load module $module"; finish 91; }
done
# Cards 0 and 1, one substream per device, so that a second open of a device is refused (EBUSY)
# instead of being given another substream.
modprobe snd-aloop index=0,1 enable=1,1 pcm_substreams=1,1 ||
    { echo "GUEST cannot load module snd-aloop"; finish 91; }

# The nodes normally exist once modprobe returns; allow the kernel 5 s in any case.
deadline=$(($(date +%s) + 5))
for node in pcmC0D0c pcmC0D1p pcmC1D0p pcmC1D1c; do
    while [ ! -e "/dev/snd/$node" ]; do
        if [ "$(date +%s)" -ge "$deadline" ]; then
            echo "GUEST /dev/snd/$node missing: loopback card not created"
            finish 92
        fi
        usleep 10000
    done
done
cat /proc/asound/cards
echo "GUEST suite starts at uptime $(cut -d ' ' -f 1 /proc/uptime) s"

mkdir -p /tmp/properties
HDMI_PREVIEW_PROPERTY_DIR=/tmp/properties /opt/hdmi/hdmi-preview-systest /opt/hdmi/hdmi-preview-audio
finish $?
