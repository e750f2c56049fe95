# Sourced by the guest test scripts: timed headings for their steps.
#
#   stage "what starts"   ...   stage_done "what ended"     (prints how long it took)

stage_start=0
stage() {
    stage_start=$(date +%s.%N)
    echo "== $*"
}
stage_done() {
    printf '== %s took %.1f s\n' "$1" "$(echo "$(date +%s.%N) - $stage_start" | bc)"
}
