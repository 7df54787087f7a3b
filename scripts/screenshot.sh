#!/usr/bin/env bash
# Sets up, builds the window demo and saves a picture of the updater window, in the middle of an
# update against the simulated bootloader, to docs/screenshot.png (or the file given).
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-docs/screenshot.png}"

./scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)" --target quarvo-updater-demo
xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" \
  ./build/release/app/quarvo-updater-demo --screenshot "$out"
echo "saved $out"
