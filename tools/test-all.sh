#!/bin/bash
# Installs what is needed, builds everything and runs every test: first the
# unit tests under AddressSanitizer and UndefinedBehaviorSanitizer, then the
# whole suite on the normal build (its CTest summary is the last line).
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh
JOBS=$(nproc)

cmake -S . -B build-asan -DBRINDLECOT_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug > /dev/null
cmake --build build-asan -j"$JOBS"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan -L unit --output-on-failure -j"$JOBS"

cmake -S . -B build > /dev/null
cmake --build build -j"$JOBS"
ctest --test-dir build --output-on-failure -j"$JOBS"
