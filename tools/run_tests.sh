#!/usr/bin/env bash
# Installs what the tests need, then runs the C++ unit tests and the Python tests.
set -euo pipefail
cd "$(dirname "$0")/.."

# GoogleTest for the C++ tests; LZ4 and Zstandard, which the readers link.
packages=(libgtest-dev liblz4-dev libzstd-dev)
if ! dpkg -s "${packages[@]}" >/dev/null 2>&1; then
    apt-get update -qq
    apt-get install -y -qq "${packages[@]}" >/dev/null
fi

# The C++ tests' own sources at -O1: they take most of the build's time at
# the default -O3, and the code they exercise keeps -O3.
cmake -S . -B build/tests -G Ninja -DZEL_BUILD_TESTS=ON -DZEL_WERROR=ON \
    -DCMAKE_BUILD_TYPE=Release -DZEL_TEST_CXX_FLAGS=-O1 >/dev/null
cmake --build build/tests -j "$(nproc)"
ctest --test-dir build/tests --output-on-failure --timeout 300 -j "$(nproc)"

# The package is installed from the build above (same options, so nothing is
# compiled twice); that needs the build backend in this environment.
python3 -m pip install --quiet --root-user-action=ignore "scikit-build-core>=0.10" ninja
python3 -m pip install --quiet --root-user-action=ignore --no-build-isolation \
    -Cbuild-dir=build/tests -Ccmake.define.ZEL_BUILD_TESTS=ON -Ccmake.define.ZEL_WERROR=ON \
    ".[test]"
# One pytest worker per core (pytest-xdist, from the test extras); the
# benchmark plugin some machines carry refuses to run beside it.
python3 -m pytest -n "$(nproc)" -p no:benchmark
