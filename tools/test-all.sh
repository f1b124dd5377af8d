#!/bin/bash
# Installs what is needed, builds everything and runs every test: first the
# unit tests under AddressSanitizer and UndefinedBehaviorSanitizer, then the
# whole suite on the normal build (its CTest pass line, "100% tests passed,
# 0 tests failed out of N", is the last line printed).
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh test
JOBS=$(nproc)

cmake -S . -B build-asan -DBRINDLECOT_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug > /dev/null
cmake --build build-asan -j"$JOBS"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan -L unit --output-on-failure -j"$JOBS"

# The XML fuzzer, 60 seconds from the seed corpus; any crash, leak or
# sanitizer report fails the run. New inputs go to build-fuzz/corpus.
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DBRINDLECOT_FUZZ=ON -DBRINDLECOT_TESTS=OFF > /dev/null
cmake --build build-fuzz -j"$JOBS" --target fuzz_xml
mkdir -p build-fuzz/corpus build-fuzz/artifacts
if ! build-fuzz/tests/fuzz/fuzz_xml -max_total_time=60 -print_final_stats=1 \
        -dict=tests/fuzz/xml.dict -artifact_prefix=build-fuzz/artifacts/ \
        build-fuzz/corpus tests/fuzz/corpus > build-fuzz/fuzz.log 2>&1 \
    || grep -q "SUMMARY: \|runtime error:" build-fuzz/fuzz.log; then
    tail -n 60 build-fuzz/fuzz.log
    echo "fuzz_xml found a problem (build-fuzz/fuzz.log, build-fuzz/artifacts/)" >&2
    exit 1
fi
grep "^Done \|^stat::number_of_executed_units\|^stat::average_exec_per_sec" build-fuzz/fuzz.log

# The tests that run threads (the thread-stream queue's producers and the
# HTTP client's transport worker), under ThreadSanitizer.
cmake -S . -B build-tsan -DBRINDLECOT_TSAN=ON -DCMAKE_BUILD_TYPE=Debug > /dev/null
cmake --build build-tsan -j"$JOBS" --target test_threadstream test_http
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build-tsan -R '^(ThreadStreamThreads|HttpClient[A-Za-z]*)[.]' \
    --output-on-failure -j"$JOBS"

# The demo may have configured build/ without the tests.
cmake -S . -B build -DBRINDLECOT_TESTS=ON > /dev/null
cmake --build build -j"$JOBS"
# CTest ends with its label timings; its pass line is repeated after them,
# where a reader looks first.
status=0
ctest --test-dir build --output-on-failure -j"$JOBS" | tee build/ctest-summary.log || status=$?
grep -E '^[0-9]+% tests passed' build/ctest-summary.log | tail -n 1
exit "$status"
