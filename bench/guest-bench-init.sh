#!/bin/sh
# /init of the benchmark guest (busybox sh, PID 1), made by bench/guest-bench.sh. Loads two
# snd-aloop cards and measures, one after the other, each loopback program copying hw:0,0 to
# hw:1,0 while the probe plays a tone with bursts into hw:0,1 and records hw:1,1: CPU ticks and
# voluntary context switches over the measured span, then system calls under strace, then the
# drift runs with card 0's clock shifted. Prints BENCH lines on the serial console and powers off.
#
# Besides the subject's own CPU, the span's whole-guest busy time: snd-aloop moves the audio
# between its substreams in whichever context asks it for a position first (its timer, or any
# process's pointer query), so the driver's work may land on the subject, the probe or an interrupt
# by chance; the whole guest counts it wherever it lands.
#
# Kernel command line: bench.seconds=S (CPU span, default 20), bench.drift=S (each drift run,
# default 60; 0 skips them), bench.strace=S (default 10; 0 skips it), bench.perf=S (a profile
# of each subject over S seconds when the guest carries perf; default 0, none), bench.ftrace=S
# (a function trace of S seconds per subject counting the driver's calls per process; default 0,
# none), bench.subjects=A,B (default service-off,service-on,alsaloop-S0,alsaloop-S4; probe-only
# runs no copying program, the probe's and the idle guest's share), bench.shifts=A,B (card 0's
# "PCM Rate Shift 100000" values of the drift runs, each run by every service subject; default
# 99970,100030, about 300 ppm fast and slow; 100000 is no drift), bench.rates=A,B (the rates the
# probe plays its source at into hw:0,1, which snd-aloop then imposes on hw:0,0's capture: the
# drift runs are repeated for each, the CPU runs use the first; default 48000; lines of a run at
# another rate say rate=R).
. /lib/guest-init-lib.sh
# shellcheck disable=SC2034  # read by guest-init-lib.sh
guest_tag=BENCH
export HOME=/tmp

finish() {
    echo "BENCH status $1"
    sync
    poweroff -f
    reboot -f
}

guest_setup

seconds=20
drift=60
strace_seconds=10
perf_seconds=0
ftrace_seconds=0
subjects="service-off service-on alsaloop-S0 alsaloop-S4"
shifts="99970 100030"
rates=48000
for word in $(cat /proc/cmdline); do
    case "$word" in
    bench.seconds=*) seconds=${word#bench.seconds=} ;;
    bench.drift=*) drift=${word#bench.drift=} ;;
    bench.strace=*) strace_seconds=${word#bench.strace=} ;;
    bench.perf=*) perf_seconds=${word#bench.perf=} ;;
    bench.ftrace=*) ftrace_seconds=${word#bench.ftrace=} ;;
    bench.subjects=*) subjects=$(echo "${word#bench.subjects=}" | tr , ' ') ;;
    bench.shifts=*) shifts=$(echo "${word#bench.shifts=}" | tr , ' ') ;;
    bench.rates=*) rates=$(echo "${word#bench.rates=}" | tr , ' ') ;;
    esac
done

guest_load_cards
# The kernel's tick (CONFIG_HZ; USER_HZ, what getconf reports, is 100 whatever it is): jiffies
# over one second of /proc/timer_list. jiffies start near 2^64, past the shell's and awk's exact
# range, so only their last nine digits are compared.
jiffies() { awk '/^jiffies:/ { print substr($2, length($2) - 8) + 0; exit }' /proc/timer_list 2>/dev/null; }
j0=$(jiffies)
sleep 1
j1=$(jiffies)
tick=?
[ -n "$j0" ] && [ -n "$j1" ] && tick=$(( ((j1 - j0 + 1000000000) % 1000000000 + 25) / 50 * 50 ))
echo "BENCH kernel $(uname -r), $(grep -c ^processor /proc/cpuinfo) vCPU, HZ tick $tick"

store=/tmp/store
mkdir -p "$store"
export HDMI_PREVIEW_PROPERTY_DIR=$store
subject_pid=

# The subject's CPU ticks (utime + stime) and voluntary context switches of all its threads.
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
# The CPU time of all its threads in ns, as the scheduler counts it (ticks are sampled at the
# timer interrupt, which also paces snd-aloop, so they are biased for a program it wakes).
cpu_ns() { cat /proc/"$1"/task/*/schedstat | awk '{ s += $1 } END { printf "%.0f", s }'; }
# B - A in ms, for nanosecond counts beyond the shell's 32-bit arithmetic.
ms_between() { echo "$1 $2" | awk '{ printf "%.0f", ($2 - $1) / 1e6 }'; }
# Frames the subject has written into hw:1,0, as the driver counts them.
written() { awk '/^appl_ptr/ { n = $NF } END { print n + 0 }' /proc/asound/card1/pcm0p/sub0/status; }
wakeups() { cat /proc/"$1"/task/*/status | awk '/^voluntary_ctxt_switches/ { s += $2 } END { print s }'; }
# The whole guest, all CPUs, in USER_HZ units (10 ms): busy as the tick samples it (user, nice,
# system, irq, softirq) and idle (with iowait), which the kernel counts exactly while the tick is
# stopped; span x CPUs - idle therefore also counts interrupts taken while idle.
guest_stat() { awk '/^cpu / { print $2 + $3 + $4 + $7 + $8, $5 + $6 }' /proc/stat; }
cpus=$(grep -c ^processor /proc/cpuinfo)
# The probe's source rate for the run at hand, and its mark in the run's lines (none at 48000).
rate=${rates%% *}
rate_tag() { [ "$rate" = 48000 ] || echo " rate=$rate"; }

start_subject() {
    case "$1" in
    probe-only)
        sleep 100000 &
        ;;
    service-*)
        echo 7 >"$store/persist.sys.voice.level"
        echo 1 >"$store/persist.audio.hdmi.preview"
        # GUEST_BENCH_TRACE: underrun_trace.so's lines come out with the subject's own.
        preload=
        [ -e /opt/hdmi/underrun_trace.so ] && preload=/opt/hdmi/underrun_trace.so
        LD_PRELOAD=$preload "/opt/hdmi/hdmi-preview-audio-${1#service-}" >/tmp/subject.log 2>&1 &
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

# trace_driver NAME: the driver's calls over $ftrace_seconds by process, call site and context
# (h hard interrupt, s soft interrupt, . process), per 1024 frames of time. Only these functions
# are traced, so that the tracer's own cost stays small.
tracefs=/sys/kernel/tracing
trace_driver() {
    [ -e "$tracefs/trace" ] || mount -t tracefs nodev "$tracefs" || {
        echo "BENCH ftrace cannot mount tracefs"
        return
    }
    echo 0 >"$tracefs/tracing_on"
    echo nop >"$tracefs/current_tracer"
    echo 8192 >"$tracefs/buffer_size_kb"
    # One at a time: a name the kernel cannot trace fails its own write only, and an empty filter
    # would trace every function.
    echo >"$tracefs/set_ftrace_filter"
    for fn in loopback_jiffies_timer_pos_update copy_play_buf clear_capture_buf \
        loopback_jiffies_timer_function loopback_pointer snd_pcm_update_hw_ptr0 \
        __snd_pcm_lib_xfer snd_pcm_ioctl do_pcm_hwsync snd_pcm_poll; do
        echo "$fn" >>"$tracefs/set_ftrace_filter" 2>/dev/null ||
            echo "BENCH ftrace $name: $fn cannot be traced"
    done
    # (tracefs files report a size of 0: count the lines.)
    traced=$(grep -c . "$tracefs/set_ftrace_filter")
    if [ "$traced" -eq 0 ] || [ "$traced" -ge 50 ]; then
        echo "BENCH ftrace $name: no filter set, not tracing"
        return
    fi
    echo "BENCH ftrace $name traces $(tr '\n' ' ' <"$tracefs/set_ftrace_filter")"
    echo function >"$tracefs/current_tracer"
    echo >"$tracefs/trace"
    echo 1 >"$tracefs/tracing_on"
    sleep "$ftrace_seconds"
    echo 0 >"$tracefs/tracing_on"
    awk -v n="$name" -v b="$((ftrace_seconds * 48000 / 1024))" '
        /^#/ { next }
        {
            for (i = 1; i <= NF && $i !~ /^\[[0-9]+\]$/; i++) {}
            if (i > NF) next
            comm = $1
            for (j = 2; j < i; j++) comm = comm " " $j
            sub(/-[0-9]+$/, "", comm)
            ctx = substr($(i + 1), 3, 1)
            key = comm " " $(NF - 1) $NF " " ctx
            count[key]++
        }
        END {
            for (k in count) printf "BENCH ftrace %s %s per_block=%.2f count=%d blocks=%d\n", n, k, (b > 0 ? count[k] / b : 0), count[k], b
        }' "$tracefs/trace" | sort
    # Then how long the locks, the driver's position update and the transfers take, by process
    # (the wait inside a transfer included): a stream lock that its waker still holds is spun on.
    # On this kernel the graph shows no calls of a process that sleeps in poll() when it starts
    # (alsaloop, the probe): only the service's lines and the interrupts' are complete.
    echo >"$tracefs/set_ftrace_filter"
    for fn in snd_pcm_stream_lock_irq _snd_pcm_stream_lock_irqsave loopback_jiffies_timer_pos_update \
        copy_play_buf __snd_pcm_lib_xfer snd_pcm_poll; do
        echo "$fn" >>"$tracefs/set_ftrace_filter" 2>/dev/null
    done
    echo function_graph >"$tracefs/current_tracer" || echo "BENCH fgraph cannot set the tracer"
    echo 1 >"$tracefs/options/funcgraph-proc"
    echo 1 >"$tracefs/options/funcgraph-tail"
    echo >"$tracefs/trace"
    echo 1 >"$tracefs/tracing_on"
    sleep "$ftrace_seconds"
    echo 0 >"$tracefs/tracing_on"
    awk -F '|' -v n="$name" -v b="$((ftrace_seconds * 48000 / 1024))" '
        NF >= 3 && $2 ~ /[0-9] us/ {
            split($1, a, " ")
            comm = a[2]
            sub(/-[0-9]+$/, "", comm)
            d = $2
            gsub(/[^0-9.]/, "", d)
            f = $3
            gsub(/[ ;(){}\/*]/, "", f)
            key = comm " " f
            us[key] += d
            count[key]++
        }
        END {
            for (k in us) printf "BENCH fgraph %s %s us_per_block=%.1f count=%d\n", n, k, us[k] / b, count[k]
        }' "$tracefs/trace" | sort
    echo nop >"$tracefs/current_tracer"
    echo >"$tracefs/trace"
}

# cpu NAME: ticks and wake-ups over $seconds, then system calls over $strace_seconds.
cpu() {
    name=$1
    # The probe's summary covers the start and the CPU span, not the span under strace.
    /opt/hdmi/latency_probe -r "$rate" hw:0,1 hw:1,1 $((seconds + strace_seconds + perf_seconds + 2 * ftrace_seconds + 6)) $((seconds + 4)) \
        >/tmp/probe.log 2>&1 &
    probe=$!
    usleep 500000
    start_subject "$name"
    sleep 3
    echo "BENCH mark start $name"
    read -r g0 i0 <<EOF
$(guest_stat)
EOF
    t0=$(ticks "$subject_pid")
    c0=$(cpu_ns "$subject_pid")
    w0=$(wakeups "$subject_pid")
    f0=$(written)
    u0=$(cut -d ' ' -f 1 /proc/uptime)
    sleep "$seconds"
    t1=$(ticks "$subject_pid")
    c1=$(cpu_ns "$subject_pid")
    w1=$(wakeups "$subject_pid")
    f1=$(written)
    u1=$(cut -d ' ' -f 1 /proc/uptime)
    read -r g1 i1 <<EOF
$(guest_stat)
EOF
    echo "BENCH mark end $name"
    echo "BENCH cpu $name ticks=$((t1 - t0)) cpu_ms=$(ms_between "$c0" "$c1") wakeups=$((w1 - w0)) frames=$((f1 - f0)) span_s=$(echo "$u1 $u0" | awk '{ printf "%.2f", $1 - $2 }') $(echo "$u0 $u1 $g0 $g1 $i0 $i1 $cpus" |
        awk '{ printf "guest_busy_ms=%d guest_nonidle_ms=%d", ($4 - $3) * 10, ($2 - $1) * 1000 * $7 - ($6 - $5) * 10 }')"
    if [ "$strace_seconds" -gt 0 ]; then
        strace -f -c -o /tmp/strace.txt -p "$subject_pid" 2>/dev/null &
        tracer=$!
        f0=$(written)
        sleep "$strace_seconds"
        f1=$(written)
        kill -INT "$tracer"
        wait "$tracer"
        # Per 1024 frames of time (frames written is a check: a recovered xrun resets its count);
        # the total line's fourth field is the count.
        awk -v n="$name" -v f=$((f1 - f0)) -v s="$strace_seconds" '
            / total$/ { printf "BENCH syscalls %s per_block=%.2f frames=%d\n", n, $4 / (s * 48000 / 1024), f }
            NF > 3 && $1 ~ /^[0-9.]+$/ { print "BENCH strace " n " " $0 }' /tmp/strace.txt
    fi
    [ "$ftrace_seconds" -gt 0 ] && trace_driver "$name"
    if [ "$perf_seconds" -gt 0 ] && command -v perf >/dev/null; then
        perf record -q -F 499 -g -o /tmp/perf.data -p "$subject_pid" -- sleep "$perf_seconds" \
            >/dev/null 2>&1
        perf report -q --stdio -i /tmp/perf.data --no-children --sort dso,sym -g none 2>/dev/null |
            grep -v '^$' | head -n 40 | sed "s/^/BENCH perf $name /"
        perf report -q --stdio -i /tmp/perf.data --no-children --sort sym -G 2>/dev/null |
            grep -v '^$' | head -n 150 | sed "s/^/BENCH perfcg $name /"
    fi
    wait "$probe"
    grep "^PROBE summary" /tmp/probe.log | sed "s/^PROBE summary/BENCH latency $name$(rate_tag)/"
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
    /opt/hdmi/latency_probe -r "$rate" hw:0,1 hw:1,1 $((drift + 2)) >/tmp/probe.log 2>&1 &
    probe=$!
    usleep 500000
    start_subject "$name"
    t0=$(ticks "$subject_pid")
    c0=$(cpu_ns "$subject_pid")
    wait "$probe"
    t1=$(ticks "$subject_pid")
    c1=$(cpu_ns "$subject_pid")
    grep "^PROBE summary" /tmp/probe.log |
        sed "s/^PROBE summary/BENCH drift $name$(rate_tag) shift=$shift_value ticks=$((t1 - t0)) cpu_ms=$(ms_between "$c0" "$c1")/"
    grep "^PROBE burst" /tmp/probe.log | sed "s/^PROBE burst/BENCH burst $name$(rate_tag) shift=$shift_value/"
    stop_subject "$name"
    for dev in 0 1; do
        amixer -q -c 0 cset "iface=PCM,name=PCM Rate Shift 100000,device=$dev" 100000
    done
}

for subject in $subjects; do
    case "$subject" in service-*) [ -x "/opt/hdmi/hdmi-preview-audio-${subject#service-}" ] || continue ;; esac
    cpu "$subject"
done
if [ "$drift" -gt 0 ]; then
    for rate in $rates; do
        for shift_value in $shifts; do
            for subject in $subjects; do
                case "$subject" in service-*) [ -x "/opt/hdmi/hdmi-preview-audio-${subject#service-}" ] || continue ;; *) continue ;; esac
                drift "$subject" "$shift_value"
            done
        done
    done
fi
finish 0
