#!/usr/bin/env bash
# The Windows part alone: sets up the MinGW-w64 cross build (compiler, wine, hidapi's Windows
# backend), builds the windows preset and runs its tests under wine in a throw-away wine prefix.
# QUARVO_WERROR=ON makes warnings errors (CI sets it through test.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh --windows
cmake --preset windows -DQUARVO_WERROR="${QUARVO_WERROR:-OFF}"
cmake --build --preset windows -j"$(nproc)"
ctest --preset windows
