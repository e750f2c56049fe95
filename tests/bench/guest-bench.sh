#!/bin/bash
# Builds and boots the benchmark guest: x86-64, Debian's kernel with two snd-aloop cards, under
# QEMU (TCG), in one boot measuring the service built without and with drift compensation and
# alsaloop (-S 0, -S 4) on the real driver (tests/bench/guest-bench-init.sh says what and how).
# Prints the guest's BENCH lines; the whole console is kept in OUT_DIR/console.log.
#
#   guest-bench.sh OUT_DIR SERVICE_OFF SERVICE_ON PROBE [SECONDS [DRIFT_SECONDS [STRACE_SECONDS]]]
#
# SERVICE_ON may be "-" to leave that build out. GUEST_BENCH_PERF=S adds the host's perf to the
# guest and a profile of S seconds per subject; GUEST_BENCH_FTRACE=S a function trace of the
# driver's calls over S seconds per subject; GUEST_BENCH_SUBJECTS=A,B measures only those
# (service-off, service-on, alsaloop-S0, alsaloop-S4, probe-only); GUEST_BENCH_EXTRA="NAME=PATH ..." adds more
# builds of the service, measured as service-NAME when named in GUEST_BENCH_SUBJECTS. Kernel and busybox come from Debian's archive
# through apt-get download (cached in OUT_DIR/cache); alsaloop, amixer and strace are the host's.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
system=$here/../system

fail() {
    echo "guest-bench: $*" >&2
    exit 1
}

[[ $# -ge 4 ]] || fail "usage: guest-bench.sh OUT_DIR SERVICE_OFF SERVICE_ON PROBE [SECONDS [DRIFT_SECONDS [STRACE_SECONDS]]]"
out=$1
service_off=$2
service_on=$3
probe=$4
seconds=${5:-20}
drift=${6:-60}
strace_seconds=${7:-10}
# shellcheck disable=SC2034  # read by guest-kernel.sh
deb_arch=amd64
triple=x86_64-linux-gnu
cache=$out/cache
mkdir -p "$cache" || fail "cannot create $cache"
cache=$(cd "$cache" && pwd)

# --- Kernel and busybox --------------------------------------------------------------------------
# shellcheck source=tests/system/guest-kernel.sh
. "$system/guest-kernel.sh"
kernel_deb=$(fetch "$(kernel_package linux-image-amd64)")
busybox_deb=$(fetch busybox-static)
kernel_tree=$(unpack "$kernel_deb" tree './boot/*' './lib/modules/*/kernel/sound/*' \
    './lib/modules/*/modules.builtin*')
busybox_tree=$(unpack "$busybox_deb" tree ./bin/busybox)
kver=$(basename "$(find "$kernel_tree/lib/modules" -mindepth 1 -maxdepth 1 -type d | head -n 1)")
[[ -n $kver ]] || fail "$kernel_deb holds no lib/modules/<version>"
cp "$(elf_kernel "$kernel_tree" "$kver")" "$out/kernel"

# --- Root file system ------------------------------------------------------------------------------
root=$out/root
rm -rf "$root"
mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,lib,proc,sys,dev,tmp,opt/hdmi,usr/share}
cp "$busybox_tree/bin/busybox" "$root/bin/busybox"
ln -s busybox "$root/bin/sh"
cp "$here/guest-bench-init.sh" "$root/init"
chmod 755 "$root/init"

moddir=lib/modules/$kver
for module in soundcore snd snd-timer snd-pcm snd-aloop; do
    path=$(cd "$kernel_tree" && find "$moddir/kernel/sound" -name "$module.ko*" | head -n 1)
    [[ -n $path ]] || fail "$kernel_deb has no module $module"
    mkdir -p "$root/$(dirname "$path")"
    cp "$kernel_tree/$path" "$root/$path"
    echo "${path#"$moddir"/}" >>"$root/$moddir/modules.order"
done
cp "$kernel_tree/$moddir"/modules.builtin* "$root/$moddir/" 2>/dev/null || true
depmod -b "$root" "$kver" || fail "depmod -b $root $kver failed"

programs=()
add_program() {
    [[ -x $1 ]] || fail "$1 missing or not executable"
    strip --strip-debug -o "$root/$2" "$1" || fail "strip cannot copy $1"
    programs+=("$1")
}
add_program "$service_off" opt/hdmi/hdmi-preview-audio-off
[[ $service_on == - ]] || add_program "$service_on" opt/hdmi/hdmi-preview-audio-on
add_program "$probe" opt/hdmi/latency_probe
for extra in ${GUEST_BENCH_EXTRA:-}; do
    add_program "${extra#*=}" "opt/hdmi/hdmi-preview-audio-${extra%%=*}"
done
perf_seconds=${GUEST_BENCH_PERF:-0}
tools=(alsaloop amixer strace)
[[ $perf_seconds -eq 0 ]] || tools+=(perf)
for tool in "${tools[@]}"; do
    path=$(command -v "$tool") || fail "$tool not installed (packages alsa-utils, strace)"
    add_program "$path" "usr/bin/$tool"
done

# Shared libraries, followed recursively, and the program interpreter.
declare -A copied=()
queue=("${programs[@]}")
while [[ ${#queue[@]} -gt 0 ]]; do
    elf=${queue[0]}
    queue=("${queue[@]:1}")
    while read -r name; do
        [[ -n ${copied[$name]:-} ]] && continue
        lib=
        for dir in "/lib/$triple" "/usr/lib/$triple"; do
            [[ -e $dir/$name ]] && { lib=$dir/$name; break; }
        done
        [[ -n $lib ]] || fail "library $name (needed by $elf) not found"
        cp -L "$lib" "$root/lib/$name"
        copied[$name]=1
        queue+=("$lib")
    done < <(readelf -d "$elf" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
done
interp=$(readelf -l "$service_off" | sed -n 's/.*Requesting program interpreter: \(.*\)\]/\1/p')
mkdir -p "$root$(dirname "$interp")"
cp -L "/lib/$triple/$(basename "$interp")" "$root$interp"
mkdir -p "$root/usr/share/alsa"
(cd /usr/share/alsa && tar -c --exclude='./ucm*' --exclude='./topology' .) |
    tar -x -C "$root/usr/share/alsa" || fail "cannot copy /usr/share/alsa"
(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) >"$out/initramfs.cpio" ||
    fail "cannot pack $out/initramfs.cpio"
rm -rf "$root"

# --- Boot ------------------------------------------------------------------------------------------
# Two vCPUs: the probe and the program measured each have one.
ftrace_seconds=${GUEST_BENCH_FTRACE:-0}
subject_count=4
[[ -z ${GUEST_BENCH_SUBJECTS:-} ]] || subject_count=$(tr ',' '\n' <<<"$GUEST_BENCH_SUBJECTS" | grep -c .)
runs=$((subject_count * (seconds + strace_seconds + perf_seconds + 2 * ftrace_seconds + 8) + 4 * (drift + 4) + 60))
console=$out/console.log
marks=$out/host-marks.txt
: >"$console"
: >"$marks"
BOOT_GUEST_CPUS=2 BOOT_GUEST_MEMORY=512 "$system/boot-guest.sh" x86_64 "$out" "$((runs * 2))" \
    "bench.seconds=$seconds bench.drift=$drift bench.strace=$strace_seconds bench.perf=$perf_seconds bench.ftrace=$ftrace_seconds${GUEST_BENCH_SUBJECTS:+ bench.subjects=$GUEST_BENCH_SUBJECTS}" \
    >"$console" 2>&1 &
boot=$!

# The host's view of the whole guest: QEMU's CPU time (all its threads, as the host's scheduler
# counts it) at each of the guest's "BENCH mark" lines. Unlike the guest's own clock it does not
# grow when the host preempts a vCPU, so it is the steadier figure on a busy host.
qemu_pid() {
    local pid=$boot child
    for _ in 1 2; do  # boot-guest.sh, then timeout, then QEMU
        child=$(pgrep -P "$pid" | head -n 1) || return 1
        pid=$child
    done
    [[ $(cat "/proc/$pid/comm" 2>/dev/null) == qemu-system-* ]] && echo "$pid"
}
watch_marks() {
    local line qemu='' ns
    while IFS= read -r line; do
        [[ $line == "BENCH mark "* ]] || continue
        [[ -n $qemu ]] || qemu=$(qemu_pid) || continue
        ns=$(cat /proc/"$qemu"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%.0f", s }')
        echo "${line%$'\r'} $ns $(date +%s.%N)" >>"$marks"
    done < <(tail -n +1 -F --pid="$boot" "$console" 2>/dev/null)
}
watch_marks &
watcher=$!
# An interrupted run takes the guest (boot-guest.sh stops QEMU) and the watcher with it.
trap 'kill "$boot" "$watcher" 2>/dev/null || true' EXIT
status=0
wait "$boot" || status=$?
wait "$watcher" || true
[[ $status -eq 0 ]] || fail "the guest failed: $(tail -n 5 "$console" | tr '\n' ' ')"
grep -a '^BENCH ' "$console" | tr -d '\r' | grep -v '^BENCH mark '
# "BENCH mark start|end NAME NS T": the span's QEMU CPU in ms and its length on the host's clock.
awk '$3 == "start" { ns = $5; t = $6 }
     $3 == "end" && ns != "" { printf "BENCH host %s qemu_ms=%.0f host_span_s=%.2f\n", $4, ($5 - ns) / 1e6, $6 - t; ns = "" }' "$marks"
grep -aq '^BENCH status 0' "$console" || fail "the guest did not finish: see $console"
