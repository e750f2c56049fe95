# shellcheck shell=sh disable=SC2154  # guest_tag and finish come from the caller
# Sourced by the guests' /init (busybox sh, PID 1) from /lib/guest-init-lib.sh: the steps every
# guest takes before its own work. The caller defines finish CODE (its status line, then the
# power-off) and sets guest_tag, the prefix of its console lines.
#
#   guest_setup         busybox's applets, PATH, /proc, /sys, /dev and /tmp
#   guest_load_cards    snd-aloop cards 0 and 1 (ids LoopbackCapture and LoopbackPlayout), once
#                       their PCM nodes exist

guest_setup() {
    /bin/busybox --install -s
    export PATH=/bin:/sbin:/usr/bin:/usr/sbin
    export LD_LIBRARY_PATH=/lib
    mount -t proc proc /proc || finish 90
    mount -t sysfs sysfs /sys || finish 90
    # devtmpfs: the kernel creates the /dev/snd nodes itself as the cards register.
    mount -t devtmpfs devtmpfs /dev || finish 90
    mount -t tmpfs tmpfs /tmp || finish 90
}

guest_load_cards() {
    for module in soundcore snd snd-timer snd-pcm; do
        modprobe "$module" || {
            echo "$guest_tag cannot load module $module"
            finish 91
        }
    done
    # One substream per device, so that a second open of a device is refused (EBUSY) instead of
    # being given another substream. The ids are 15 characters, the longest the kernel keeps, so
    # that a service that names the cards by id is run at that limit.
    modprobe snd-aloop index=0,1 enable=1,1 pcm_substreams=1,1 \
        id=LoopbackCapture,LoopbackPlayout || {
        echo "$guest_tag cannot load module snd-aloop"
        finish 91
    }
    # The nodes normally exist once modprobe returns; allow the kernel 5 s in any case.
    for node in pcmC0D0c pcmC0D1p pcmC1D0p pcmC1D1c; do
        n=0
        while [ ! -e "/dev/snd/$node" ]; do
            n=$((n + 1))
            if [ $n -gt 500 ]; then
                echo "$guest_tag /dev/snd/$node missing: loopback card not created"
                finish 92
            fi
            usleep 10000
        done
    done
}
