#!/usr/bin/env bash
# Sets everything up, builds and runs every test: the unit, component, process and window tests
# from the debug build, then the end-to-end test from the release build, where the updater runs
# as users get it and the emulated guest spends least time in it, then the Windows build and its
# tests under wine (scripts/windows.sh), and last the end-to-end test of the Windows executables
# under wine 10 in the same guest (its disk is built once per machine).
# QUARVO_WERROR=ON makes warnings errors in every build (CI sets it).
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
werror="-DQUARVO_WERROR=${QUARVO_WERROR:-OFF}"
cmake --preset debug "$werror"
cmake --build --preset debug -j"$(nproc)"
cmake --preset release "$werror"
cmake --build --preset release -j"$(nproc)"
ctest --preset debug -j"$(nproc)"
ctest --preset e2e
./scripts/windows.sh
ctest --preset e2e-wine
