#!/usr/bin/env bash
# Crash consistency of the property store: kills writers with SIGKILL at random instants and
# checks every read after each kill. Half the kills hit `hdmi-preview-prop set` replacing a value,
# half hit the service while it acknowledges a run ("2" over "1"; no sound cards, so every run
# fails at once and its acknowledgement follows a few milliseconds after the start).
# Every read must give the old value or the new one, never an empty, partial or other one; after
# the run no temporary may be left but those of the last few kills (the next write of a key
# removes the stale ones).
#
#   kill_writers.sh BUILD_DIR [--kills N] [--seed S]        (default 1000 kills, seed from the clock)
#
# Prints one line of figures and ends with "N passed, N failed" (one check per kill and the
# temporaries check); exits non-zero on any failure.
set -euo pipefail

build=$(cd "${1:?usage: kill_writers.sh BUILD_DIR [--kills N] [--seed S]}" && pwd)
shift
kills=1000
seed=$(date +%s)
while (($#)); do
    case "$1" in
    --kills) kills=$2 ;;
    --seed) seed=$2 ;;
    *)
        echo "kill_writers: unknown option '$1'" >&2
        exit 2
        ;;
    esac
    shift 2
done
RANDOM=$seed

service=$build/service/hdmi-preview-audio
prop=$build/tools/prop/hdmi-preview-prop
for program in "$service" "$prop"; do
    [[ -x $program ]] || { echo "kill_writers: $program missing: build it first" >&2; exit 2; }
done
work=$(mktemp -d)
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
export HDMI_PREVIEW_PROPERTY_DIR=$work/store
# No card exists for the service to open, whatever the machine has.
export ALSA_CONFIG_PATH=$work/no-cards.conf
printf 'pcm.!hw { @args [ CARD DEV ] @args.CARD { type string } @args.DEV { type integer } type null_absent }\n' \
    >"$ALSA_CONFIG_PATH"
mkdir "$work/store"

# Sleeps a random 0 to $1 milliseconds.
random_sleep() { sleep "$(printf '0.%03d' $((RANDOM % ($1 + 1))))"; }

long=$(printf 'v%.0s' {1..90})  # near the longest value, so a write takes more than one step
passed=0
failed=0
torn=0
declare -A seen=([tool-old]=0 [tool-new]=0 [service-old]=0 [service-new]=0)
for ((i = 0; i < kills; i++)); do
    if ((i % 2 == 0)); then
        old=$("$prop" get tool.key)
        new=$((i % 4 == 0 ? 1 : 2))$long
        "$prop" set tool.key "$new" &
        pid=$!
        pids=("$pid")
        random_sleep 3
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
        got=$("$prop" get tool.key)
        kind=tool
    else
        "$prop" set persist.audio.hdmi.preview 1
        old=1
        new=2
        "$service" >/dev/null 2>&1 &
        pid=$!
        pids=("$pid")
        random_sleep 8
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
        got=$("$prop" get persist.audio.hdmi.preview)
        kind=service
    fi
    if [[ $got == "$new" && $new != "$old" ]]; then
        seen[$kind-new]=$((seen[$kind-new] + 1))
        passed=$((passed + 1))
    elif [[ $got == "$old" ]]; then
        seen[$kind-old]=$((seen[$kind-old] + 1))
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        torn=$((torn + 1))
        echo "FAIL kill $i (seed $seed): read '${got:0:20}...' (${#got} characters), expected the old or the new value"
    fi
done
# Every stale temporary of a key is gone after one more write of it.
left_before=$(find "$work/store" -name '.*.??????' | wc -l)
sleep 2.1
"$prop" set tool.key last
"$prop" set persist.audio.hdmi.preview 0
left_after=$(find "$work/store" -name '.*.??????' | wc -l)
if ((left_after == 0)); then passed=$((passed + 1)); else
    failed=$((failed + 1))
    echo "FAIL temporaries: $left_after left after the next writes"
fi
echo "kills of the tool: ${seen[tool-old]} left the old value, ${seen[tool-new]} the new;" \
    "of the service: ${seen[service-old]} left 1, ${seen[service-new]} its 2; torn or empty reads: $torn;" \
    "temporaries left by the kills: $left_before, after the next write of each key: $left_after (seed $seed)"
echo "$passed passed, $failed failed"
((failed == 0))
