#!/usr/bin/env bash
# Builds the core, the C++ tests and both extension modules with
# AddressSanitizer and UndefinedBehaviorSanitizer (any report is fatal), then
# runs the C++ tests and the Python tests against that build.
#   PYTHON=/path/to/python tools/run_sanitized.sh   (default: python3)
# The Python interpreter is not instrumented, so libasan is preloaded into it.
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
build=build/asan
jobs=${ZEL_JOBS:-$(nproc)}
sanitize="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"

# The tests' own sources compile without optimisation and with line tables
# only (enough for the sanitizer's reports): they are most of the build's
# time, and the code they exercise keeps -O1.
cmake -S . -B "$build" -G Ninja -DZEL_BUILD_TESTS=ON -DZEL_WERROR=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
    -DZEL_TEST_CXX_FLAGS="-O0 -g1" \
    -DPython_EXECUTABLE="$(command -v "$python")" \
    -DCMAKE_CXX_FLAGS="$sanitize" \
    -DCMAKE_EXE_LINKER_FLAGS="$sanitize" \
    -DCMAKE_SHARED_LINKER_FLAGS="$sanitize" \
    -DCMAKE_MODULE_LINKER_FLAGS="$sanitize" >/dev/null
cmake --build "$build" -j "$jobs"

# Allocation failures must stay std::bad_alloc (and MemoryError), as without
# the sanitizer, instead of a sanitizer report.
export ASAN_OPTIONS="allocator_may_return_null=1:detect_stack_use_after_return=1:strict_string_checks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

ctest --test-dir "$build" --output-on-failure --timeout 600 -j "$jobs"

# Stage the modules the way the wheel lays them out: zel at the top level,
# zelkit's native part inside its package.
stage="$build/stage"
rm -rf "$stage"
mkdir -p "$stage"
cp -r python/zelkit "$stage/zelkit"
cp "$build"/zel.*.so "$stage/"
cp "$build"/_native.*.so "$stage/zelkit/"

# The interpreter's own allocations leak by design at exit, so leak
# detection stays off here (the C++ tests above run with it). Python objects
# go through malloc so the sanitizer sees every one of them. A small
# quarantine keeps the memory-flatness tests meaningful.
export ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0:quarantine_size_mb=16"
export PYTHONMALLOC=malloc
export ZEL_SANITIZED=1
# libstdc++ is preloaded too: the sanitizer's __cxa_throw interceptor looks
# for the real one when it starts, before the module would load libstdc++.
preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
PYTHONPATH="$PWD/$stage" LD_PRELOAD="$preload" "$python" - <<PY
import sys, zel
assert zel.__file__.startswith("$PWD/$stage"), zel.__file__
PY
PYTHONPATH="$PWD/$stage" LD_PRELOAD="$preload" "$python" -m pytest -p no:cacheprovider -p no:benchmark -n "$jobs" tests
