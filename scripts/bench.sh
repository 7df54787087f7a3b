#!/usr/bin/env bash
# Sets up, builds the release preset and runs the benchmarks.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)" --target quarvo_bench
./build/release/bench/quarvo_bench "$@"
