#!/usr/bin/env bash
# The main job: builds everything (library, tests, benchmarks, examples and the tarnwick tool) and
# compiles the halo-exchange example description into per-tile code and exchange rows.
# Arguments are passed to `tarnwick compile` (for example --no-verify).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
for header in nlohmann/json.hpp CLI/CLI.hpp; do
    [[ -f /usr/include/$header ]] || { echo "main: /usr/include/$header is missing" >&2; exit 1; }
done
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build build -j "$(nproc)"
./build/tools/tarnwick compile examples/halo_grid.json --out build/main-job/halo_grid "$@"
