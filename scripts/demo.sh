#!/usr/bin/env bash
# Sets everything up, builds, writes sample update files into samples/ and runs a whole update
# with quarvo-flash against the simulated bootloader.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)" --target quarvo-flash

mkdir -p samples
# Deterministic sample content: a code image of 150 KiB and a database of about 40 KiB.
head -c $((150 * 1024)) /dev/zero | tr '\0' '\125' > samples/code_data.bin
seq 1 9000 > samples/car_data.bin

./build/release/cli/quarvo-flash -C samples --simulate "$@"
