#!/usr/bin/env bash
# The whole test suite: a Release build with tests in build/, then every test.
# Later stages are appended below; each must fail the script when it fails.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQ38_BUILD_TESTS=ON
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2
