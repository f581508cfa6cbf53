#!/usr/bin/env bash
# Folds what fuzzing runs found (build/fuzz/corpus/<target>/) into the kept
# corpus fuzz/corpus/<target>/, minimized by libFuzzer's -merge=1: only inputs
# that add coverage are kept, so the folder stays small and every CI smoke
# run starts from all coverage found so far.
#   tools/merge_fuzz_corpus.sh [TARGET...]   (default: every target)
# Run tools/run_fuzz.sh first (it builds the targets); then commit fuzz/corpus/.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/fuzz
if [ $# -eq 0 ]; then
    set -- $(for f in fuzz/targets/*.cpp; do basename "$f" .cpp; done)
fi
mkdir -p "$build/logs"

for target in "$@"; do
    if [ ! -x "$build/$target" ]; then
        echo "merge $target: not built (run tools/run_fuzz.sh first)" >&2
        exit 1
    fi
    kept="fuzz/corpus/$target"
    fresh=$(mktemp -d "$build/merge-$target.XXXXXX")
    # Regressions live in their own folder. Putting them in the output first
    # makes libFuzzer count their coverage as present, so it copies nothing
    # they already reach; they are taken out again afterwards.
    regressions=()
    if [ -d "fuzz/regressions/$target" ]; then
        for file in "fuzz/regressions/$target"/*; do
            copy="$fresh/regression-$(basename "$file")"
            cp "$file" "$copy"
            regressions+=("$copy")
        done
    fi
    inputs=()
    for dir in "$kept" "$build/corpus/$target"; do
        if [ -d "$dir" ]; then inputs+=("$dir"); fi
    done
    if [ ${#inputs[@]} -eq 0 ]; then
        rm -rf "$fresh"
        echo "merge $target: nothing found yet"
        continue
    fi
    "$build/$target" -merge=1 -max_len="${ZEL_FUZZ_MAX_LEN:-8192}" -timeout=30 \
        -rss_limit_mb=2560 "$fresh" "${inputs[@]}" >"$build/logs/merge-$target.log" 2>&1
    if [ ${#regressions[@]} -gt 0 ]; then rm -f "${regressions[@]}"; fi
    rm -rf "$kept"
    mkdir -p fuzz/corpus
    mv "$fresh" "$kept"
    chmod 755 "$kept"
    echo "merge $target: $(ls "$kept" | wc -l) inputs, $(du -sk --apparent-size "$kept" | cut -f1) KiB"
done
