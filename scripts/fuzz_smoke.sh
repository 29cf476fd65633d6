#!/usr/bin/env bash
# Builds the libFuzzer targets with clang-19 (address and undefined sanitizers) and runs each one
# briefly on a copy of its corpus: a fixed seed and at most 200,000 inputs, bounded in time by
# TARNWICK_FUZZ_SMOKE_SECONDS (default 30; 0 lifts the bound and runs every input). The seed does
# not make a run a replay: libFuzzer's path still varies a little with the address layout of the
# process, so a finding here may be new. Longer runs are described in the README.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
seconds="${TARNWICK_FUZZ_SMOKE_SECONDS:-30}"

CXX=clang++-19 cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_FUZZ=ON
cmake --build build-fuzz -j "$jobs" --target fuzz_targets
for target in build-fuzz/fuzz/fuzz_*; do
    name=$(basename "$target")
    # A copy of the corpus: libFuzzer adds what it finds to it, the checked-in one stays as it is.
    work=$(mktemp -d)
    cp -r "fuzz/corpus/${name#fuzz_}/." "$work/" 2> /dev/null || true
    if ! "$target" -seed=1 -runs=200000 -max_total_time="$seconds" -timeout=20 \
        -print_final_stats=1 -artifact_prefix="build-fuzz/finding-$name-" "$work" \
        > "$work.log" 2>&1; then
        cat "$work.log"
        echo "fuzz: $name found a fault; the input is in build-fuzz/finding-$name-*"
        exit 1
    fi
    echo "$name: $(grep -E '^stat::(number_of_executed_units|new_units_added)' "$work.log" | tr '\n' ' ')"
    rm -rf "$work" "$work.log"
done
