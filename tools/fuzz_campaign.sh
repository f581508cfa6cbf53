#!/usr/bin/env bash
# A long fuzzing campaign from a plan: one line per target,
#   <target> <executions> <max_len> <seconds>
# run one after another through tools/run_fuzz.sh (same seeds, corpus and
# artifacts), each stopping at its executions or its seconds, whichever
# comes first. Appends one Markdown row per target to the results file:
# wall time, executions, libFuzzer's final cov and ft, the corpus found and
# whether the target reported a finding.
#   nice -n 19 tools/fuzz_campaign.sh PLAN [RESULTS]
# RESULTS defaults to build/fuzz/campaign/results.md. Several plans can run
# at once (one per idle core); each target's log is kept in
# build/fuzz/campaign/<target>.log.
set -uo pipefail
cd "$(dirname "$0")/.."

plan=$1
results=${2:-build/fuzz/campaign/results.md}
mkdir -p build/fuzz/campaign "$(dirname "$results")"

while read -r target executions max_len seconds; do
    case "$target" in ''|'#'*) continue ;; esac
    start=$SECONDS
    if ZEL_FUZZ_MAX_LEN=$max_len ZEL_FUZZ_FLAGS="-runs=$executions" \
        bash tools/run_fuzz.sh "$seconds" "$target" >/dev/null 2>&1; then
        finding=none
    else
        finding="see build/fuzz/artifacts/$target/"
    fi
    wall=$((SECONDS - start))
    log=build/fuzz/campaign/$target.log
    cp "build/fuzz/logs/$target.log" "$log"
    runs=$(awk '/stat::number_of_executed_units/ {print $2}' "$log" | tail -1)
    cov=$(grep -oE 'cov: [0-9]+' "$log" | tail -1 | cut -d' ' -f2)
    ft=$(grep -oE 'ft: [0-9]+' "$log" | tail -1 | cut -d' ' -f2)
    corpus=$(ls "build/fuzz/corpus/$target" 2>/dev/null | wc -l)
    echo "| $target | $max_len | $wall s | ${runs:-?} | ${cov:-?} | ${ft:-?} | $corpus | $finding |" >>"$results"
done <"$plan"
