#!/usr/bin/env bash
# Installs what the tests need, then runs the C++ unit tests and the Python tests.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! dpkg -s libgtest-dev >/dev/null 2>&1; then
    apt-get update -qq
    apt-get install -y -qq libgtest-dev >/dev/null
fi

cmake -S . -B build/tests -DZEL_BUILD_TESTS=ON -DZEL_WERROR=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/tests -j "$(nproc)"
ctest --test-dir build/tests --output-on-failure --timeout 300 -j "$(nproc)"

python3 -m pip install --quiet --root-user-action=ignore ".[test]"
python3 -m pytest
