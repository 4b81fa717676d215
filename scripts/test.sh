#!/usr/bin/env bash
# Installs what is missing, runs clang-tidy and cppcheck over the sources, then builds wirebox
# five times (plain with the benchmarks, with AddressSanitizer + UndefinedBehaviorSanitizer, the
# fuzz targets with clang, a cross build for 32-bit ARM with glibc and 64-bit time_t and off_t,
# and the static armv7 musl binary that ships) and runs the tests of each build: the fuzz
# targets for a bounded time (WIREBOX_FUZZ_SECONDS, 30), the ARM unit and process tests under
# qemu-user, the soak tests (label soak, minutes long) in full in the plain build only. The musl
# stage checks that the binary is static, runs the process tests against it under qemu-arm (the
# soak for WIREBOX_SOAK_SECONDS, 10) and packs it. `--arm`, `--musl` and `--lint` run only that
# stage. Every build checks that the daemon needs no C++ runtime. Stops at the first failure.
# Runs from any directory.
set -euo pipefail

cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/.."
# shellcheck source=scripts/deps.sh
. scripts/deps.sh
# shellcheck disable=SC2119 # no arguments: every package
wirebox_ensure_packages

JOBS=2

# clang-tidy (.clang-tidy) and cppcheck (cppcheck.supp) over src/, from the compile database of
# a configure-only build; any finding fails the stage.
lint_stage() {
    local started=$SECONDS
    echo "== static analysis (clang-tidy, cppcheck)"
    cmake -S . -B build-lint -DCMAKE_BUILD_TYPE=Debug -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
        -DWIREBOX_TESTS=OFF -DWIREBOX_SANITIZE=OFF -DWIREBOX_BENCH=OFF >/dev/null
    # Each file's count of warnings in system headers, all filtered out, is only noise.
    run-clang-tidy -quiet -j "$JOBS" -p build-lint "$PWD/src/.*\.cpp" 2>&1 |
        { grep -v '^[0-9]* warnings\? generated\.$' || true; }
    cppcheck --project=build-lint/compile_commands.json --std=c++17 \
        --enable=warning,style,performance,portability --inline-suppr \
        --suppressions-list=cppcheck.supp --error-exitcode=1 -q -j "$JOBS"
    echo "== static analysis passed in $((SECONDS - started)) s"
}

arm_stage() {
    local started=$SECONDS sysroot=build-arm/sysroot
    echo "== ARM build (armhf, 64-bit time_t and off_t; tests under qemu-user)"
    scripts/arm-sysroot.sh "$sysroot"
    cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-linux-gnueabihf.cmake \
        -DXSYSROOT="$PWD/$sysroot" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWIREBOX_TESTS=ON \
        -DWIREBOX_SANITIZE=OFF -DWIREBOX_BENCH=OFF
    cmake --build build-arm -j"$JOBS"
    # The install test builds a Debian package for this machine's own architecture.
    (cd build-arm && ctest --output-on-failure -j"$JOBS" --stop-on-failure -E '^process_test_install$' \
        -LE soak)
    echo "== ARM stage passed in $((SECONDS - started)) s"
}

# The binary users copy onto a device: static, with musl and libmodbus inside. The unit tests
# need the C++ library, which this build has not; the process tests cover the daemon, with the
# Modbus device built the same way. Ends with wirebox-<version>-armv7-musl and its tarball.
musl_stage() {
    local started=$SECONDS sysroot=build-musl/sysroot bin=build-musl/wirebox
    echo "== static musl build (armv7, clang; process tests under qemu-arm)"
    scripts/musl-sysroot.sh "$sysroot"
    cmake -S . -B build-musl -DCMAKE_TOOLCHAIN_FILE=cmake/armv7-linux-musleabihf.cmake \
        -DXSYSROOT="$PWD/$sysroot" -DCMAKE_BUILD_TYPE=MinSizeRel -DWIREBOX_TESTS=ON \
        -DWIREBOX_UNIT_TESTS=OFF -DWIREBOX_SANITIZE=OFF -DWIREBOX_BENCH=OFF
    cmake --build build-musl -j"$JOBS"
    # No program interpreter and no shared library: the file runs on any armv7 Linux as it is.
    if ! file "$bin" | grep -q 'statically linked' || readelf -lW "$bin" | grep -q INTERP ||
        readelf -dW "$bin" | grep -q NEEDED; then
        echo "$bin is not a static program" >&2
        return 1
    fi
    # The install test builds a Debian package for this machine's own architecture.
    (cd build-musl && WIREBOX_SOAK_SECONDS=${WIREBOX_SOAK_SECONDS:-10} ctest --output-on-failure \
        -j"$JOBS" --stop-on-failure -E '^process_test_install$')
    (cd build-musl && cpack)
    echo "== musl stage passed in $((SECONDS - started)) s:" \
        "$(stat -c %s build-musl/wirebox-*-armv7-musl) bytes stripped"
}

if [ "${1:-}" = "--arm" ]; then
    arm_stage
    exit 0
fi
if [ "${1:-}" = "--musl" ]; then
    musl_stage
    exit 0
fi
if [ "${1:-}" = "--lint" ]; then
    lint_stage
    exit 0
fi

lint_stage

echo "== plain build (RelWithDebInfo, with benchmarks)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWIREBOX_TESTS=ON -DWIREBOX_SANITIZE=OFF -DWIREBOX_BENCH=ON
cmake --build build -j"$JOBS"
(cd build && ctest --output-on-failure -j"$JOBS" --stop-on-failure)

echo "== sanitizer build (AddressSanitizer, UndefinedBehaviorSanitizer)"
export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DWIREBOX_TESTS=ON -DWIREBOX_SANITIZE=ON -DWIREBOX_BENCH=OFF
cmake --build build-asan -j"$JOBS"
(cd build-asan && ctest --output-on-failure -j"$JOBS" --stop-on-failure -LE soak)

echo "== fuzz build (libFuzzer with AddressSanitizer and UndefinedBehaviorSanitizer, clang)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWIREBOX_FUZZ=ON \
    -DWIREBOX_TESTS=OFF -DWIREBOX_FUZZ_SECONDS="${WIREBOX_FUZZ_SECONDS:-30}"
cmake --build build-fuzz -j"$JOBS"
(cd build-fuzz && ctest --output-on-failure -j"$JOBS" --stop-on-failure)

arm_stage
musl_stage

echo "== all tests passed in every build"
