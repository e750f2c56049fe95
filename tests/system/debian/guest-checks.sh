#!/bin/bash
# The checks of the installed package in the Debian guest, run as root at every boot by
# hdmi-preview-guest-checks.service with the console as output. The disk keeps the boot number:
#   boot 1: apt install, the test users, a level set by a group member; reboot
#   boot 2: unit active and idle, level kept; a preview as a group member (bit-exact), a set refused
#           outside the group, restart after SIGKILL, the acknowledgement on stop; reboot during a
#           preview
#   boot 3: no preview after that reboot; apt purge; power off
# With hdmi_preview.load_seconds=N on the kernel command line, boot 2 also runs a preview of N s on
# a loaded guest before its reboot (scripts/debian-guest-tests.sh, HDMI_PREVIEW_DEBIAN_GUEST_LOAD_SECONDS).
# Prints "PASS name" or "FAIL name: cause" per check, "GUEST ..." notes, and ends every boot with
# "GUEST boot N: reboot" or "GUEST boot N: poweroff". Any other way out powers the guest off.
set -uo pipefail

unit=hdmi-preview-audio.service
trigger=persist.audio.hdmi.preview
level=persist.sys.voice.level
store=/var/lib/hdmi-preview-audio/properties
member=previewer  # in hdmi-preview; audio for its own streams, systemd-journal for the service's lines
outsider=visitor  # in audio only
saved_level=5
state=/var/lib/hdmi-preview-guest-checks
# Notes and figures go straight to the console, also from inside a check.
exec 3>&1
mkdir -p "$state"
boot=$(($(cat "$state/boot" 2>/dev/null || echo 0) + 1))
echo "$boot" >"$state/boot"
sync

ending=poweroff
finish() {
    echo "GUEST boot $boot: $ending"
    sync
    # Without D-Bus in the image systemctl says it cannot reach logind, then asks systemd itself.
    systemctl --no-block "$ending" 2>/dev/null || "$ending" -f
}
trap finish EXIT

# check NAME FUNCTION: PASS when the function succeeds, else FAIL with what it printed.
check() {
    local out
    if out=$("$2" 2>&1); then
        echo "PASS $1"
    else
        echo "FAIL $1: $(echo "$out" | tr '\n' ' ')"
    fi
}

as_member() { runuser -u "$member" -- "$@"; }
prop() { hdmi-preview-prop get "$1"; }
uptime_s() { cut -d ' ' -f 1 /proc/uptime; }
captures() { journalctl -b -q -o cat -u "$unit" | grep -c '^Capturing sample' || true; }

# Waits up to $2 s until the service has started one more run than $1.
wait_capture() {
    local before=$1 limit=$(($2 * 10)) i
    for ((i = 0; i < limit; i++)); do
        (($(captures) > before)) && return 0
        sleep 0.1
    done
    echo "no \"Capturing sample\" in the journal within $2 s"
    return 1
}

# udevd ends its idle workers 3 s after the boot's last event; under emulation that burst of exits
# stalls the audio streams for longer than their buffers hold, so the previews wait for it.
settle() {
    udevadm settle --timeout=10
    local i
    for ((i = 0; i < 100; i++)); do
        pgrep -f udev-worker >/dev/null || break
        sleep 0.1
    done
    echo "GUEST boot $boot: udev idle at uptime $(uptime_s) s"
}

# Starts a preview as the group member and waits until it runs.
start_preview() {
    local before
    before=$(captures)
    as_member hdmi-preview-prop set "$trigger" 1 || { echo "member cannot set $trigger"; return 1; }
    wait_capture "$before" 5
}

# The checker's stream test against the installed service, its lines renamed NAME/test.
stream_test() {
    local out status=0
    out=$(runuser -u "$member" -- /opt/guest/hdmi-preview-systest --installed 2>&1) || status=$?
    echo "$out" | sed -n -e "s|^SYSTEST PASS |PASS $1/|p" -e "s|^SYSTEST FAIL |FAIL $1/|p" \
        -e "s|^SYSTEST FIGURE |FIGURE $1/|p"
    if ((status != 0)) && ! grep -q '^SYSTEST FAIL ' <<<"$out"; then
        echo "FAIL $1: the checker ended with status $status: $(tail -n 3 <<<"$out" | tr '\n' ' ')"
    fi
}

# --- Boot 1 ------------------------------------------------------------------------------------------
install_package() {
    (cd /opt/guest && DEBIAN_FRONTEND=noninteractive apt install -y ./hdmi-preview-audio_*.deb) \
        >/var/log/guest-apt-install.log 2>&1 ||
        { tail -n 5 /var/log/guest-apt-install.log; return 1; }
    [[ $(systemctl is-enabled "$unit") == enabled ]] || { echo "$unit not enabled"; return 1; }
    [[ $(systemctl is-active "$unit") == active ]] || { echo "$unit not active"; return 1; }
}

add_users() {
    useradd -M -G hdmi-preview,audio,systemd-journal "$member" &&
        useradd -M -G audio "$outsider"
}

set_level_as_member() {
    as_member hdmi-preview-prop set "$level" "$saved_level" &&
        [[ $(prop "$level") == "$saved_level" ]]
}

# --- Boot 2 ------------------------------------------------------------------------------------------
active_and_idle() {
    [[ $(systemctl is-active "$unit") == active ]] || { echo "$unit is $(systemctl is-active "$unit")"; return 1; }
    [[ $(systemctl is-enabled "$unit") == enabled ]] || { echo "$unit not enabled"; return 1; }
    [[ ! -e $store/$trigger ]] || { echo "trigger set: '$(prop "$trigger")'"; return 1; }
    (($(captures) == 0)) || { echo "a run started at boot"; return 1; }
}

level_kept() {
    local v
    v=$(prop "$level")
    [[ $v == "$saved_level" ]] || { echo "level reads '$v', set to $saved_level before the reboot"; return 1; }
}

refused_outside_group() {
    local before out status=0 after
    before=$(prop "$trigger")
    out=$(runuser -u "$outsider" -- hdmi-preview-prop set "$trigger" 1 2>&1) || status=$?
    after=$(prop "$trigger")
    [[ $status -eq 1 ]] || { echo "exit status $status, not 1: $out"; return 1; }
    [[ $(echo "$out" | wc -l) -eq 1 && $out == *"$store"* ]] ||
        { echo "message is not one line naming $store: $out"; return 1; }
    [[ $after == "$before" ]] || { echo "trigger changed from '$before' to '$after'"; return 1; }
    echo "GUEST refused: $out" >&3
}

# SIGKILL during a preview: systemd restarts the service within 2 s, and the trigger left at 1
# has been acknowledged, so the new process does not resume the preview.
restart_after_sigkill() {
    local old new t_kill started delay i
    start_preview || return 1
    old=$(systemctl show -p MainPID --value "$unit")
    t_kill=$(uptime_s)
    kill -KILL "$old" || { echo "cannot kill $old"; return 1; }
    # The delay is taken from systemd's start time of the new process, not from this loop, whose
    # systemctl calls are slow in an emulated guest.
    for ((i = 0; i < 50; i++)); do
        new=$(systemctl show -p MainPID --value "$unit")
        [[ $new != 0 && $new != "$old" && $(systemctl is-active "$unit") == active ]] && break
        sleep 0.1
    done
    [[ $new != 0 && $new != "$old" ]] || { echo "not restarted within 5 s (main PID $new)"; return 1; }
    started=$(systemctl show -p ExecMainStartTimestampMonotonic --value "$unit")
    delay=$(awk -v k="$t_kill" -v s="$started" 'BEGIN { printf "%.2f", s / 1e6 - k }')
    echo "FIGURE restart_after_sigkill: new process started ${delay} s after the kill" >&3
    awk -v d="$delay" 'BEGIN { exit !(d <= 2) }' || { echo "restarted after $delay s, not within 2 s"; return 1; }
    [[ $(prop "$trigger") == 2 ]] || { echo "trigger reads '$(prop "$trigger")' after the crash, not 2"; return 1; }
}

stop_acknowledged() {
    start_preview || return 1
    systemctl stop "$unit" || { echo "systemctl stop failed"; return 1; }
    local v
    v=$(prop "$trigger")
    systemctl start "$unit" || { echo "systemctl start failed"; return 1; }
    [[ $v == 2 ]] || { echo "trigger reads '$v' after the stop, not 2"; return 1; }
}

# A preview of load_seconds through the service at its unit's settings while nice-0 busy loops,
# three more than there are vCPUs, keep every vCPU busy. The checker's player and a recorder run
# at SCHED_FIFO (long_preview.cpp), so the discontinuities they find in the recording arise on the
# service's side. Figures only: nothing about them is asserted.
load_seconds=$(sed -n 's/.*hdmi_preview\.load_seconds=\([0-9]*\).*/\1/p' /proc/cmdline)

# Nanoseconds over all the threads of process $1: "RUNNING WAITING_FOR_A_CPU".
schedstat() { cat /proc/"$1"/task/*/schedstat | awk '{ r += $1; w += $2 } END { print r, w }'; }
# The guest's idle and total time over all CPUs, in clock ticks: "IDLE TOTAL".
cpu_ticks() { awk '/^cpu / { t = 0; for (i = 2; i <= 9; i++) t += $i; print $5 + $6, t }' /proc/stat; }

loaded_preview() {
    local pid policy nice loops=() i n recording file out status=0 summary before after ticks0 ticks1 t0 t1
    # The checks' own start timeout would end the boot midway.
    systemd-notify --pid=$$ "EXTEND_TIMEOUT_USEC=$(((load_seconds + 240) * 1000000))" ||
        { echo "cannot extend the checks' start timeout"; return 1; }
    as_member hdmi-preview-prop set "$level" 7 || { echo "member cannot set $level"; return 1; }
    # The signal flows through the service before the load starts: an underrun in silence would
    # leave no trace in the recording.
    file=$(mktemp)
    chrt -f 50 /opt/guest/hdmi-preview-long-preview "$load_seconds" >"$file" 2>&1 &
    recording=$!
    start_preview || { kill "$recording"; return 1; }
    sleep 2
    pid=$(systemctl show -p MainPID --value "$unit")
    policy=$(chrt -p "$pid" | sed -n -e 's/.*policy: //p' -e 's/.*priority: / /p' | tr -d '\n')
    # ps shows no nice value ("-") for a real-time policy.
    nice=$(ps -o ni= -p "$pid" | tr -d ' ')
    [[ $nice == - ]] || policy+=", nice $nice"
    n=$(($(nproc) + 3))
    for ((i = 0; i < n; i++)); do
        sh -c 'while :; do :; done' &
        loops+=($!)
    done
    before=$(schedstat "$pid")
    ticks0=$(cpu_ticks)
    t0=$(uptime_s)
    wait "$recording" || status=$?
    t1=$(uptime_s)
    ticks1=$(cpu_ticks)
    after=$(schedstat "$pid")
    kill "${loops[@]}"
    wait "${loops[@]}" 2>/dev/null
    as_member hdmi-preview-prop set "$trigger" 0
    for ((i = 0; i < 50; i++)); do
        [[ $(prop "$trigger") == 2 ]] && break
        sleep 0.1
    done
    out=$(cat "$file")
    rm -f "$file"

    summary=$(sed -n 's/^LONG summary //p' <<<"$out")
    [[ $status -eq 0 && -n $summary ]] ||
        { echo "the long preview ended with status $status: $(tail -n 3 <<<"$out" | tr '\n' ' ')"; return 1; }
    field() { tr ' ' '\n' <<<"$summary" | sed -n "s/^$1=//p"; }
    echo "FIGURE loaded_preview/setup: $n nice-0 busy loops on $(nproc) vCPUs from 2 s into the" \
        "preview, player and recorder at SCHED_FIFO 50, service at $policy; guest idle $(awk -v a="$ticks0" -v b="$ticks1" 'BEGIN {
            split(a, x); split(b, y); printf "%.1f", 100 * (y[1] - x[1]) / (y[2] - x[2]) }') %" >&3
    echo "FIGURE loaded_preview/discontinuities: $(field discontinuities) in $(field seconds) s" \
        "($(field gaps) with 64 silent frames or more; $(field silent) silent and $(field foreign) other" \
        "stray frames, net $(field shift) frames inserted; player underruns $(field player_xruns)," \
        "recorder overruns $(field recorder_xruns))" >&3
    echo "FIGURE loaded_preview/latency: $(field latency_first_ms) ms at the start," \
        "$(field latency_last_ms) ms at the end" >&3
    echo "FIGURE loaded_preview/service: $(awk -v a="$before" -v b="$after" -v s="$t0 $t1" 'BEGIN {
        split(a, x); split(b, y); split(s, t); s = t[2] - t[1]
        printf "%.1f ms/s running, %.1f ms/s waiting for a CPU while loaded", (y[1] - x[1]) / 1e6 / s,
            (y[2] - x[2]) / 1e6 / s }')" >&3
    sed -n 's/^LONG event \([^ ]*\) /FIGURE loaded_preview\/event: at \1 s, /p' <<<"$out" >&3
    [[ $(systemctl show -p MainPID --value "$unit") == "$pid" ]] || { echo "the service restarted during the run"; return 1; }
    [[ $(prop "$trigger") == 2 ]] || { echo "trigger reads '$(prop "$trigger")' after the stop, not 2"; return 1; }
}

# --- Boot 3 ------------------------------------------------------------------------------------------
no_preview_after_reboot() {
    [[ $(systemctl is-active "$unit") == active ]] || { echo "$unit is $(systemctl is-active "$unit")"; return 1; }
    [[ $(prop "$trigger") == 2 ]] || { echo "trigger reads '$(prop "$trigger")', not 2"; return 1; }
    # Many polls of the service.
    sleep 1
    (($(captures) == 0)) || { echo "a run started at boot"; return 1; }
}

purge_leaves_nothing() {
    DEBIAN_FRONTEND=noninteractive apt purge -y hdmi-preview-audio >/var/log/guest-apt-purge.log 2>&1 ||
        { tail -n 5 /var/log/guest-apt-purge.log; return 1; }
    local left=()
    dpkg -s hdmi-preview-audio >/dev/null 2>&1 && left+=("dpkg status")
    local f
    for f in /lib/systemd/system/"$unit" /usr/lib/systemd/system/"$unit" /etc/systemd/system/"$unit" \
        /etc/systemd/system/*/"$unit" /var/lib/systemd/deb-systemd-helper-enabled/"$unit" \
        /var/lib/systemd/deb-systemd-helper-enabled/*/"$unit" /var/lib/hdmi-preview-audio \
        /usr/sbin/hdmi-preview-audio /usr/bin/hdmi-preview-prop; do
        [[ -e $f || -L $f ]] && left+=("$f")
    done
    systemctl list-unit-files --no-legend "$unit" | grep -q . && left+=("unit file known to systemd")
    pgrep -x hdmi-preview-audio >/dev/null && left+=("process")
    ((${#left[@]} == 0)) || { echo "left behind: ${left[*]}"; return 1; }
}

# Debian leaves system users in place on purge: files may still belong to them.
user_and_group_stay() {
    getent passwd hdmi-preview >/dev/null || { echo "user hdmi-preview gone"; return 1; }
    getent group hdmi-preview >/dev/null || { echo "group hdmi-preview gone"; return 1; }
    echo "GUEST user and group hdmi-preview stay after the purge (Debian keeps system users)" >&3
}

multi_user=$(systemctl show -p ActiveEnterTimestampMonotonic --value multi-user.target)
echo "GUEST boot $boot: multi-user.target at $(awk -v t="$multi_user" 'BEGIN { printf "%.1f", t / 1e6 }') s," \
    "checks start at uptime $(uptime_s) s"
case $boot in
1)
    check apt_install install_package
    check add_users add_users
    check level_set_by_member set_level_as_member
    ending=reboot
    ;;
2)
    settle
    check active_and_idle_after_reboot active_and_idle
    check level_kept_across_reboot level_kept
    stream_test preview_as_member
    check refused_outside_group refused_outside_group
    check restart_after_sigkill restart_after_sigkill
    stream_test preview_after_restart
    check stop_acknowledged stop_acknowledged
    [[ -z $load_seconds ]] || check loaded_preview loaded_preview
    if start_preview >/dev/null; then
        echo "GUEST rebooting during a preview"
        ending=reboot
    else
        echo "FAIL preview_before_reboot: no run started"
    fi
    ;;
3)
    check no_preview_after_reboot no_preview_after_reboot
    check purge_leaves_nothing purge_leaves_nothing
    check user_and_group_stay user_and_group_stay
    ;;
*) echo "FAIL boots: boot $boot was not expected" ;;
esac
echo "GUEST boot $boot: checks end at uptime $(uptime_s) s"
