#!/usr/bin/env bash
# Sets up, builds the release preset and runs the benchmarks; arguments go to quarvo_bench (CI
# gives --benchmark_min_time=0.01 for one short run). Fails when a benchmark reports an error or
# the ratio job / bare loop cannot be given. QUARVO_WERROR=ON makes warnings errors (CI sets it).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake --preset release -DQUARVO_WERROR="${QUARVO_WERROR:-OFF}" >/dev/null
cmake --build --preset release -j"$(nproc)" --target quarvo_bench
./build/release/bench/quarvo_bench "$@"
