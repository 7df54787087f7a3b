#!/usr/bin/env bash
# Sets everything up, builds the debug preset and runs every test.
# QUARVO_WERROR=ON makes warnings errors (CI sets it).
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
cmake --preset debug -DQUARVO_WERROR="${QUARVO_WERROR:-OFF}"
cmake --build --preset debug -j"$(nproc)"
ctest --preset debug -j"$(nproc)"
