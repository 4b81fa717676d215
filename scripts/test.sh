#!/usr/bin/env bash
# Installs what is missing, then builds wirebox twice (plain with the benchmarks, and with
# AddressSanitizer + UndefinedBehaviorSanitizer) and runs every test in both builds.
# Stops at the first failure. Runs from any directory.
set -euo pipefail

cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/.."
# shellcheck source=scripts/deps.sh
. scripts/deps.sh
# shellcheck disable=SC2119 # no arguments: every package
wirebox_ensure_packages

JOBS=2

echo "== plain build (RelWithDebInfo, with benchmarks)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWIREBOX_TESTS=ON -DWIREBOX_SANITIZE=OFF -DWIREBOX_BENCH=ON
cmake --build build -j"$JOBS"
(cd build && ctest --output-on-failure -j"$JOBS" --stop-on-failure)

echo "== sanitizer build (AddressSanitizer, UndefinedBehaviorSanitizer)"
export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DWIREBOX_TESTS=ON -DWIREBOX_SANITIZE=ON -DWIREBOX_BENCH=OFF
cmake --build build-asan -j"$JOBS"
(cd build-asan && ctest --output-on-failure -j"$JOBS" --stop-on-failure)

echo "== all tests passed in both builds"
