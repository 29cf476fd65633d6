#!/usr/bin/env bash
# The main job: builds tarnwick and runs the example listing of a point-to-point transfer.
# Arguments are passed to the example (sender, receiver, word count).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build build -j "$(nproc)" --target transfer_listing
./build/examples/transfer_listing "$@"
