#!/bin/sh
# /init of the benchmark guest (busybox sh, PID 1), made by tests/bench/guest-bench.sh. Loads two
# snd-aloop cards and measures, one after the other, each loopback program copying hw:0,0 to
# hw:1,0 while the probe plays a tone with bursts into hw:0,1 and records hw:1,1: CPU ticks and
# voluntary context switches over the measured span, then system calls under strace, then the
# drift runs with card 0's clock shifted. Prints BENCH lines on the serial console and powers off.
#
# Kernel command line: bench.seconds=S (CPU span, default 20), bench.drift=S (each drift run,
# default 60; 0 skips them), bench.strace=S (default 10; 0 skips it).
/bin/busybox --install -s
export PATH=/bin:/sbin:/usr/bin:/usr/sbin
export LD_LIBRARY_PATH=/lib

finish() {
    echo "BENCH status $1"
    sync
    poweroff -f
    reboot -f
}

mount -t proc proc /proc || finish 90
mount -t sysfs sysfs /sys || finish 90
mount -t devtmpfs devtmpfs /dev || finish 90
mount -t tmpfs tmpfs /tmp || finish 90

seconds=20
drift=60
strace_seconds=10
for word in $(cat /proc/cmdline); do
    case "$word" in
    bench.seconds=*) seconds=${word#bench.seconds=} ;;
    bench.drift=*) drift=${word#bench.drift=} ;;
    bench.strace=*) strace_seconds=${word#bench.strace=} ;;
    esac
done

for module in soundcore snd snd-timer snd-pcm; do
    modprobe "$module" || { echo "BENCH cannot load module $module"; finish 91; }
done
modprobe snd-aloop index=0,1 enable=1,1 pcm_substreams=1,1 || finish 91
for node in pcmC0D0c pcmC0D1p pcmC1D0p pcmC1D1c; do
    n=0
    while [ ! -e "/dev/snd/$node" ]; do
        n=$((n + 1))
        [ $n -lt 500 ] || { echo "BENCH /dev/snd/$node missing"; finish 92; }
        usleep 10000
    done
done
echo "BENCH kernel $(uname -r), $(grep -c ^processor /proc/cpuinfo) vCPU, HZ tick $(getconf CLK_TCK 2>/dev/null || echo 100)"

store=/tmp/store
mkdir -p "$store"
export HDMI_PREVIEW_PROPERTY_DIR=$store
subject_pid=

# The subject's CPU ticks (utime + stime) and voluntary context switches of all its threads.
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
wakeups() { cat /proc/"$1"/task/*/status | awk '/^voluntary_ctxt_switches/ { s += $2 } END { print s }'; }

start_subject() {
    case "$1" in
    service-off | service-on)
        echo 7 >"$store/persist.sys.voice.level"
        echo 1 >"$store/persist.audio.hdmi.preview"
        "/opt/hdmi/hdmi-preview-audio-${1#service-}" >/tmp/subject.log 2>&1 &
        ;;
    alsaloop-S*)
        alsaloop -C hw:0,0 -P hw:1,0 -f S16_LE -c 2 -r 48000 -l 2048 -S "${1#alsaloop-S}" \
            >/tmp/subject.log 2>&1 &
        ;;
    esac
    subject_pid=$!
}

stop_subject() {
    case "$1" in
    service-*)
        echo 0 >"$store/persist.audio.hdmi.preview"
        n=0
        while ! grep -q "prop exit" /tmp/subject.log && [ $n -lt 100 ]; do
            usleep 50000
            n=$((n + 1))
        done
        ;;
    esac
    kill "$subject_pid" 2>/dev/null
    wait "$subject_pid" 2>/dev/null
    sed "s/^/BENCH $1 says: /" /tmp/subject.log | grep -v -e Capturing -e "prop exit" -e Captured
}

# cpu NAME: ticks and wake-ups over $seconds, then system calls over $strace_seconds.
cpu() {
    name=$1
    /opt/hdmi/latency_probe hw:0,1 hw:1,1 $((seconds + strace_seconds + 6)) >/tmp/probe.log 2>&1 &
    probe=$!
    usleep 500000
    start_subject "$name"
    sleep 3
    t0=$(ticks "$subject_pid")
    w0=$(wakeups "$subject_pid")
    u0=$(cut -d ' ' -f 1 /proc/uptime)
    sleep "$seconds"
    t1=$(ticks "$subject_pid")
    w1=$(wakeups "$subject_pid")
    u1=$(cut -d ' ' -f 1 /proc/uptime)
    echo "BENCH cpu $name ticks=$((t1 - t0)) wakeups=$((w1 - w0)) span_s=$(echo "$u1 $u0" | awk '{ printf "%.2f", $1 - $2 }')"
    if [ "$strace_seconds" -gt 0 ]; then
        strace -f -c -o /tmp/strace.txt -p "$subject_pid" 2>/dev/null &
        tracer=$!
        sleep "$strace_seconds"
        kill -INT "$tracer"
        wait "$tracer"
        # The total line's third field is the number of calls.
        awk -v n="$name" -v s="$strace_seconds" '
            / total$/ { printf "BENCH syscalls %s per_block=%.2f\n", n, $3 / (s * 48000 / 1024) }
            NF > 3 && $1 ~ /^[0-9.]+$/ { print "BENCH strace " n " " $0 }' /tmp/strace.txt
    fi
    wait "$probe"
    grep "^PROBE summary" /tmp/probe.log | sed "s/^PROBE summary/BENCH latency $name/"
    stop_subject "$name"
}

# drift NAME SHIFT: card 0 (capture side) runs SHIFT/100000 of its nominal rate; both of its
# devices, so that the probe's tone reaches the capture without the cable's own fill-ins.
drift() {
    name=$1
    shift_value=$2
    for dev in 0 1; do
        amixer -q -c 0 cset "iface=PCM,name=PCM Rate Shift 100000,device=$dev" "$shift_value" ||
            echo "BENCH cannot set the rate shift of card 0 device $dev"
    done
    /opt/hdmi/latency_probe hw:0,1 hw:1,1 $((drift + 2)) >/tmp/probe.log 2>&1 &
    probe=$!
    usleep 500000
    start_subject "$name"
    t0=$(ticks "$subject_pid")
    wait "$probe"
    t1=$(ticks "$subject_pid")
    grep "^PROBE summary" /tmp/probe.log | sed "s/^PROBE summary/BENCH drift $name shift=$shift_value ticks=$((t1 - t0))/"
    grep "^PROBE burst" /tmp/probe.log | sed "s/^PROBE burst/BENCH burst $name shift=$shift_value/"
    stop_subject "$name"
    for dev in 0 1; do
        amixer -q -c 0 cset "iface=PCM,name=PCM Rate Shift 100000,device=$dev" 100000
    done
}

for subject in ${BENCH_SUBJECTS:-service-off service-on alsaloop-S0 alsaloop-S4}; do
    case "$subject" in service-*) [ -x "/opt/hdmi/hdmi-preview-audio-${subject#service-}" ] || continue ;; esac
    cpu "$subject"
done
if [ "$drift" -gt 0 ]; then
    for shift_value in 99970 100030; do
        for subject in service-off service-on; do
            [ -x "/opt/hdmi/hdmi-preview-audio-${subject#service-}" ] || continue
            drift "$subject" "$shift_value"
        done
    done
fi
finish 0
