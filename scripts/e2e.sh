#!/usr/bin/env bash
# Sets up, builds the release preset and runs the end-to-end test in the QEMU guest; with
# --throughput it also measures quarvo-flash's data phase against a bare loop of hidapi writes.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)" --target quarvo-flash quarvo-uhid-device \
  quarvo-e2e-writeloop quarvo-e2e-expect
b=build/release
E2E_CONSOLE="$b/e2e-console.txt" tests/e2e/run_e2e.sh "$@" "$b/cli/quarvo-flash" "$b/sim/quarvo-uhid-device" \
  "$b/tests/e2e/quarvo-e2e-writeloop" "$b/tests/e2e/quarvo-e2e-expect"
