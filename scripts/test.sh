#!/usr/bin/env bash
# Builds tarnwick twice (plain, and with AddressSanitizer + UndefinedBehaviorSanitizer), runs the
# whole CTest suite in each, then installs the plain build and builds a consumer project against it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
jobs=$(nproc)

echo "== plain build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_WERROR=ON
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== sanitizer build (address, undefined)"
# Warnings are errors in the plain build only: with the sanitizers' instrumentation g++ reports
# false "may be used uninitialized" warnings that say nothing about the code.
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_WERROR=OFF \
    -DTARNWICK_SANITIZE=ON -DTARNWICK_BUILD_BENCHMARKS=OFF -DTARNWICK_BUILD_EXAMPLES=OFF
cmake --build build-sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-sanitize --output-on-failure -j "$jobs"

echo "== installed package consumer"
rm -rf build/install build/package-consumer
cmake --install build --prefix build/install
cmake -S tests/package -B build/package-consumer -DCMAKE_PREFIX_PATH="$PWD/build/install"
cmake --build build/package-consumer
./build/package-consumer/consumer

echo "== fuzz smoke (libFuzzer with address and undefined sanitizers, up to 30 s per target)"
bash scripts/fuzz_smoke.sh

echo "== all checks passed"
