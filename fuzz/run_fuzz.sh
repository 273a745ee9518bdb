#!/usr/bin/env bash
# Builds the libFuzzer targets with clang 14 under ASan+UBSan (-O1, for
# speed) into build-fuzz and runs each for SECONDS seconds on a copy of its
# corpus (the repository is not touched). Fails when any target finds a
# fault; the input that found it is copied to build-fuzz/findings/<target>/
# and belongs in fuzz/corpus/<target>/ once the fault is fixed.
#   fuzz/run_fuzz.sh SECONDS [target...]   (targets: unpack_block unpack_file roundtrip sorters)
set -euo pipefail
seconds="${1:?usage: run_fuzz.sh SECONDS [target...]}"
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(unpack_block unpack_file roundtrip sorters)
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
build="$root/build-fuzz"

# The fuzzer runtime comes with the compiler-rt package.
if ! command -v clang++-14 >/dev/null 2>&1 ||
   [ -z "$(find /usr/lib/llvm-14/lib/clang -name 'libclang_rt.fuzzer*.a' 2>/dev/null)" ]; then
    apt-get update && apt-get install -y clang-14 libclang-rt-14-dev
fi

CXX=clang++-14 cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DQ38_SANITIZE=ON -DQ38_FUZZ=ON -DQ38_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target "${targets[@]/#/fuzz_}"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failed=0
for t in "${targets[@]}"; do
    mkdir -p "$work/$t/corpus" "$work/$t/artifacts"
    cp "$here/corpus/$t"/* "$work/$t/corpus/"
    echo "== fuzz_$t for $seconds s"
    if ! (cd "$work/$t" && "$build/fuzz_$t" corpus -max_total_time="$seconds" -timeout=10 \
            -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix=artifacts/ 2>log.txt); then
        failed=1
    fi
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ *DONE)' "$work/$t/log.txt" || true
    # Slow units are reported, not faults; crashes, timeouts, leaks and
    # out-of-memory inputs are.
    if [ -n "$(ls -A "$work/$t/artifacts" | grep -v '^slow-unit-')" ]; then
        failed=1
        mkdir -p "$build/findings/$t"
        cp "$work/$t/artifacts"/* "$build/findings/$t/"
        grep -E 'ERROR|SUMMARY|#[0-9]+ 0x' "$work/$t/log.txt" | head -40 || true
        echo "fuzz_$t found a fault; inputs in $build/findings/$t/" >&2
    fi
done
exit "$failed"
