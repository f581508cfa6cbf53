#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ and runs each for a fixed time.
#   tools/run_fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
# Without a time (or with an empty one), the targets share a budget of
# ZEL_FUZZ_BUDGET seconds (240 by default, at least 5 s each), so CI's smoke
# run stays the same length however many targets there are.
# Seeds are the bundled samples, fuzz/regressions/<target>/ and the kept,
# minimized corpus fuzz/corpus/<target>/ (all coverage found so far); what a
# run adds stays in build/fuzz/corpus/<target>/ until
# tools/merge_fuzz_corpus.sh folds it into fuzz/corpus/. A crash or a
# failed property leaves its input in build/fuzz/artifacts/<target>/ and
# makes the script fail; minimize it (-minimize_crash=1) into
# fuzz/regressions/<target>/ so the normal tests replay it.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-}
shift || true

# libFuzzer ships with clang's runtime libraries, packaged apart from clang.
# The core links LZ4 and Zstandard.
if ! command -v clang++-14 >/dev/null ||
   ! compgen -G "/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a" >/dev/null ||
   ! dpkg -s liblz4-dev libzstd-dev >/dev/null 2>&1; then
    apt-get update -qq
    apt-get install -y -qq clang-14 libclang-rt-14-dev liblz4-dev libzstd-dev >/dev/null
fi

if [ $# -eq 0 ]; then
    set -- $(for f in fuzz/targets/*.cpp; do basename "$f" .cpp; done)
fi
if [ -z "$seconds" ]; then
    seconds=$(( ${ZEL_FUZZ_BUDGET:-240} / $# ))
    [ "$seconds" -ge 5 ] || seconds=5
fi

build=build/fuzz
CXX=clang++-14 cmake -S fuzz -B "$build" -G Ninja >/dev/null
# Only the targets asked for: each links the instrumented core, built once.
cmake --build "$build" -j "${ZEL_JOBS:-2}" --target "$@"

failed=()
for target in "$@"; do
    corpus="$build/corpus/$target"
    artifacts="$build/artifacts/$target"
    mkdir -p "$corpus" "$artifacts" "$build/logs"
    seeds=(samples)
    [ -d "fuzz/regressions/$target" ] && seeds+=("fuzz/regressions/$target")
    [ -d "fuzz/corpus/$target" ] && seeds+=("fuzz/corpus/$target")
    log="$build/logs/$target.log"
    # Inputs are capped at 8 KiB: the samples are larger, and a decoder fed
    # 80 KiB that expands 127-fold runs a few executions a second instead of
    # thousands.
    if "$build/$target" "$corpus" "${seeds[@]}" -max_total_time="$seconds" -timeout=30 \
        -max_len="${ZEL_FUZZ_MAX_LEN:-8192}" \
        -rss_limit_mb=2560 -print_final_stats=1 -artifact_prefix="$artifacts/" \
        ${ZEL_FUZZ_FLAGS:-} >"$log" 2>&1; then
        summary=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true)
        echo "fuzz $target: ok ${summary}"
    else
        echo "fuzz $target: FAILED (see $log)"
        tail -30 "$log"
        failed+=("$target")
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz targets with findings: ${failed[*]}"
    exit 1
fi
