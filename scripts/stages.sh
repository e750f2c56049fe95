# shellcheck shell=bash
# Sourced by the guest test scripts: timed headings for their steps, and the tally of a guest's
# serial console.
#
#   stage "what starts"   ...   stage_done "what ended"     (prints how long it took)
#   tally_console LOG TAG LABEL

stage_start=0
stage() {
    stage_start=$(date +%s.%N)
    echo "== $*"
}
stage_done() {
    printf '== %s took %.1f s\n' "$1" "$(echo "$(date +%s.%N) - $stage_start" | bc)"
}

# Prints the results a guest wrote on its console LOG (kept without carriage returns in LOG.txt):
# its TAG"PASS name" and TAG"FAIL name: cause" lines as "PASS LABELname" and "FAIL LABELname: ...",
# counted in the caller's `passed` and `failed`; its TAG"FIGURE ..." and "GUEST ..." notes indented.
tally_console() {
    local log=$1 tag=$2 label=$3 line
    tr -d '\r' <"$log" >"$log.txt"
    while IFS= read -r line; do
        case "$line" in
        "${tag}PASS "*)
            echo "PASS $label${line#"${tag}PASS "}"
            passed=$((passed + 1))
            ;;
        "${tag}FAIL "*)
            echo "FAIL $label${line#"${tag}FAIL "}"
            failed=$((failed + 1))
            ;;
        "${tag}FIGURE "*) echo "     $label${line#"${tag}FIGURE "}" ;;
        "GUEST "*) echo "     $label${line#GUEST }" ;;
        esac
    done <"$log.txt"
}
