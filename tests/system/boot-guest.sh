#!/bin/bash
# Boots a guest made by prepare-guest.sh under QEMU (TCG) and copies its serial console to
# standard output. The guest powers itself off after the suite; a crashed guest ends QEMU at once
# (panic=-1 with -no-reboot), and a hung one is killed at the deadline.
#
#   boot-guest.sh ARCH GUEST_DIR [TIMEOUT_SECONDS [KERNEL_ARGS [QEMU_ARG...]]]
#
# KERNEL_ARGS are added to the kernel command line, QEMU_ARGs (disks) to QEMU's;
# BOOT_GUEST_MEMORY (MiB, default 512) and BOOT_GUEST_CPUS (default 1) size the guest.
set -euo pipefail

fail() {
    echo "boot-guest: $*" >&2
    exit 1
}

[[ $# -ge 2 ]] || fail "usage: boot-guest.sh ARCH GUEST_DIR [TIMEOUT_SECONDS [KERNEL_ARGS [QEMU_ARG...]]]"
arch=$1
guest=$2
limit=${3:-300}
extra_append=${4:-}
shift $(($# < 4 ? $# : 4))
for f in kernel initramfs.cpio; do
    [[ -f $guest/$f ]] || fail "$guest/$f missing: run prepare-guest.sh first"
done

# KVM is not used: on the machines this was written on it hangs the guest after real-mode setup,
# and TCG keeps the guest's pacing within 1 % of real time, which is all the suite needs.
common=(-accel tcg -m "${BOOT_GUEST_MEMORY:-512}" -smp "${BOOT_GUEST_CPUS:-1}" -display none
    -monitor none -serial stdio -no-reboot -kernel "$guest/kernel" -initrd "$guest/initramfs.cpio"
    "$@")
case "$arch" in
x86_64)
    # The ELF kernel boots through its PVH entry.
    qemu=(qemu-system-x86_64 -M pc "${common[@]}"
        -append "console=ttyS0 panic=-1 rdinit=/init loglevel=4 tsc=unstable $extra_append")
    ;;
armhf)
    qemu=(qemu-system-arm -M "virt,highmem=off" -cpu cortex-a15 "${common[@]}"
        -append "console=ttyAMA0 panic=-1 rdinit=/init loglevel=4 $extra_append")
    ;;
*) fail "unknown architecture '$arch' (x86_64 or armhf)" ;;
esac
command -v "${qemu[0]}" >/dev/null || fail "${qemu[0]} not installed (package qemu-system-x86 or qemu-system-arm)"

# In the background so that a TERM to this script (an interrupted run) reaches QEMU too.
timeout --kill-after=10 "$limit" "${qemu[@]}" </dev/null &
qemu_pid=$!
trap 'kill "$qemu_pid" 2>/dev/null || true' TERM INT EXIT
status=0
wait "$qemu_pid" || status=$?
if [[ $status -eq 124 || $status -eq 137 ]]; then
    fail "$arch guest still running after $limit s: killed"
fi
[[ $status -eq 0 ]] || fail "${qemu[0]} ended with status $status"
