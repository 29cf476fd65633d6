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

echo "== fuzz smoke (libFuzzer with address and undefined sanitizers, 30 s per target)"
CXX=clang++-19 cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_FUZZ=ON
cmake --build build-fuzz -j "$jobs" --target fuzz_targets
for target in build-fuzz/fuzz/fuzz_*; do
    name=$(basename "$target")
    # A copy of the corpus: libFuzzer adds what it finds to it, the checked-in one stays as it is.
    work=$(mktemp -d)
    cp -r "fuzz/corpus/${name#fuzz_}/." "$work/" 2> /dev/null || true
    if ! "$target" -seed=1 -max_total_time=30 -timeout=20 -print_final_stats=1 \
        -artifact_prefix="build-fuzz/finding-$name-" "$work" > "$work.log" 2>&1; then
        cat "$work.log"
        echo "fuzz: $name found a fault; the input is in build-fuzz/finding-$name-*"
        exit 1
    fi
    echo "$name: $(grep -E '^stat::(number_of_executed_units|new_units_added)' "$work.log" | tr '\n' ' ')"
    rm -rf "$work" "$work.log"
done

echo "== all checks passed"
