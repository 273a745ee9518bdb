#!/usr/bin/env bash
# Test stages. Each builds what it needs, runs, and fails the script when it
# fails; the CTest stages end with the line "N passed, N failed, N skipped".
#   bash tests/run_all.sh quick   Release build in build/, every test but the
#                                 `long` ones (the README's test command)
#   bash tests/run_all.sh long    the `long` tests (suites named *Long), same build
#   bash tests/run_all.sh asan    whole suite under ASan+UBSan, Debug, build-asan/
#   bash tests/run_all.sh tsan    whole suite under ThreadSanitizer, build-tsan/
#   bash tests/run_all.sh fuzz    each libFuzzer target for 60 s (fuzz/run_fuzz.sh)
# Several stages may be given; without any, all run in that order (what
# .ci/run does, with a summary).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"

# Installs missing Debian packages when that is possible (root with apt-get);
# otherwise the configure step below says what is missing.
ensure_packages() {
    local missing=()
    command -v dpkg-query >/dev/null 2>&1 || return 0
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        echo "== installing ${missing[*]}"
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}

# configure_and_build DIR CMAKE-ARGS...: output goes to DIR/build.log and is
# shown only when a step fails.
configure_and_build() {
    local dir="$1"
    shift
    ensure_packages libgtest-dev libgmock-dev
    mkdir -p "$dir"
    echo "== building in $dir/ ($*)"
    if ! { cmake -S . -B "$dir" -DQ38_BUILD_TESTS=ON "$@" && cmake --build "$dir" -j2; } >"$dir/build.log" 2>&1; then
        tail -n 60 "$dir/build.log"
        echo "build failed (whole log: $dir/build.log)" >&2
        return 1
    fi
}

# run_ctest DIR CTEST-ARGS...: runs the tests, shows only what did not pass,
# then the reasons for skips and the closing count line.
run_ctest() {
    local dir="$1"
    shift
    local log="$dir/ctest.log" status=0
    ctest --test-dir "$dir" -j2 --output-on-failure --no-tests=error "$@" >"$log" 2>&1 || status=$?
    grep -v -E '^ *(Start +[0-9]+:|[0-9]+/[0-9]+ Test +#[0-9]+: .*( Passed|\*\*\*Skipped) +[0-9.]+ sec$)|^Test project |^Internal ctest changing into directory|^$' "$log" || true
    local total passed skipped failed
    total=$(sed -n -E 's/.* tests? failed out of ([0-9]+)$/\1/p' "$log" | tail -n 1)
    passed=$(grep -c -E '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed +[0-9.]+ sec$' "$log" || true)
    skipped=$(grep -c -E '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .*\*\*\*Skipped +[0-9.]+ sec$' "$log" || true)
    # Without its summary line ctest stopped early (the log above says why):
    # count that as one failure.
    [ -n "$total" ] || total=$((passed + skipped + 1))
    failed=$((total - passed - skipped))
    [ "$failed" -eq 0 ] || status=1
    if [ "$skipped" -gt 0 ]; then
        # GoogleTest prints "file:line: Skipped" and then the reason.
        echo "Skipped tests, by reason:"
        awk '/: Skipped$/ { if ((getline r) > 0) n[r]++ } END { for (r in n) printf "  %d  %s\n", n[r], r }' \
            "$dir/Testing/Temporary/LastTest.log" | sort -rn
        if [ ! -d "$root/../shared/corpus" ]; then
            echo "  (the benchmark corpus ../shared/corpus beside the project is missing, so the corpus-based"
            echo "   golden tests skip; see \"Benchmark corpus\" in README.md)"
        fi
    fi
    echo "$passed passed, $failed failed, $skipped skipped"
    return "$status"
}

stage_quick() {
    configure_and_build build -DCMAKE_BUILD_TYPE=Release || return
    run_ctest build -LE long
}

stage_long() {
    configure_and_build build -DCMAKE_BUILD_TYPE=Release || return
    run_ctest build -L long
}

# Under both sanitizers Q38_SANITIZED=1 makes the tests that cannot run under
# them skip with a reason (the address-space limit test: the sanitizers
# reserve terabytes of address space) and shrinks the large-file test.
stage_asan() {
    configure_and_build build-asan -DCMAKE_BUILD_TYPE=Debug -DQ38_SANITIZE=ON || return
    Q38_SANITIZED=1 run_ctest build-asan
}

stage_tsan() {
    configure_and_build build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQ38_TSAN=ON || return
    # The long sweeps run ten times slower here and add nothing threaded
    # that the quick suite's thread tests do not reach.
    Q38_SANITIZED=1 TSAN_OPTIONS="halt_on_error=1 ${TSAN_OPTIONS:-}" run_ctest build-tsan -LE long
}

stage_fuzz() {
    bash fuzz/run_fuzz.sh 60
}

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(quick long asan tsan fuzz)
for s in "${stages[@]}"; do
    case "$s" in
        quick | long | asan | tsan | fuzz) ;;
        *) echo "unknown stage '$s' (quick long asan tsan fuzz)" >&2; exit 2 ;;
    esac
done
# The stages run inside `if`, where errexit does not apply: each step checks.
failed=()
for s in "${stages[@]}"; do
    [ ${#stages[@]} -eq 1 ] || echo "==== stage $s"
    start=$SECONDS
    if "stage_$s"; then
        result=passed
    else
        result=FAILED
        failed+=("$s")
    fi
    [ ${#stages[@]} -eq 1 ] || echo "==== stage $s $result in $((SECONDS - start)) s"
done
if [ ${#stages[@]} -gt 1 ]; then
    echo "stages failed: ${failed[*]:-none}"
fi
[ ${#failed[@]} -eq 0 ]
