#!/usr/bin/env bash
# The whole test suite: a Release build with tests in build/, then every test.
# Later stages are appended below; each must fail the script when it fails.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQ38_BUILD_TESTS=ON
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2

# Sanitizer stage: the whole suite under ASan+UBSan (the memory-limit test
# skips itself: the sanitizer reserves a large address range).
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQ38_SANITIZE=ON -DQ38_BUILD_TESTS=ON
cmake --build build-asan -j2
Q38_SANITIZED=1 ctest --test-dir build-asan --output-on-failure -j2

# Fuzz stage: each libFuzzer target for a minute under ASan+UBSan (clang 14).
bash fuzz/run_fuzz.sh 60
