#!/bin/sh
# /init of the Debian guest's initramfs (busybox sh): loads the modules that reach the root disk,
# mounts it and hands over to systemd. A failure powers the guest off at once; with -no-reboot a
# kernel panic (init exiting) ends QEMU too.
/bin/busybox --install -s /bin
export PATH=/bin

halt_guest() {
    echo "GUEST initramfs: $1"
    poweroff -f
}

mount -t proc proc /proc || halt_guest "cannot mount /proc"
mount -t sysfs sysfs /sys || halt_guest "cannot mount /sys"
mount -t devtmpfs devtmpfs /dev || halt_guest "cannot mount /dev"

# In dependency order, written when the initramfs was made.
while read -r module; do
    insmod "/modules/$module" || halt_guest "cannot load module $module"
done </modules/order

# The disk appears once the virtio bus has probed it; allow 10 s.
tries=0
while [ ! -b /dev/vda ]; do
    tries=$((tries + 1))
    [ "$tries" -le 1000 ] || halt_guest "/dev/vda missing: no virtio disk"
    usleep 10000
done
mkdir -p /root
mount -t ext4 -o rw /dev/vda /root || halt_guest "cannot mount /dev/vda (ext4)"
umount /proc /sys
mount --move /dev /root/dev 2>/dev/null || umount /dev
exec switch_root /root /sbin/init
