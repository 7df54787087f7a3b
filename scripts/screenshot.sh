#!/usr/bin/env bash
# Sets up, builds the window demo and saves pictures of the updater window against the simulated
# bootloader.
#   scripts/screenshot.sh [FILE]     the window in the middle of an update (docs/screenshot.png)
#   scripts/screenshot.sh --boxes DIR
#                                    the whole screen, under a window manager (openbox), with each
#                                    of the window's own message boxes open: closing.png (a close
#                                    request during an update), access.png (a bootloader that may
#                                    not be opened) and missing.png (no update files)
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = --boxes ]; then
  out="${2:?usage: scripts/screenshot.sh --boxes DIR}"
  ./scripts/setup.sh --screenshots
else
  out="${1:-docs/screenshot.png}"
  ./scripts/setup.sh
fi
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)" --target quarvo-updater-demo
demo=$PWD/build/release/app/quarvo-updater-demo

if [ "${1:-}" != --boxes ]; then
  xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" "$demo" --screenshot "$out"
  echo "saved $out"
  exit 0
fi

mkdir -p "$out"
out=$(cd "$out" && pwd)
empty=$(mktemp -d)
trap 'rm -rf "$empty"' EXIT
# One X display with openbox on it for the three pictures; each demo waits for its box to be
# framed and drawn, saves the screen and dismisses the box.
xvfb-run -a -s "-screen 0 800x600x24 -dpi 96" bash -c '
  openbox & wm=$!
  sleep 1
  "$1" --box-shot closing "$2/closing.png"
  "$1" --scenario open-refused --box-shot access "$2/access.png"
  "$1" --files "$3" --box-shot missing "$2/missing.png"
  kill $wm
' _ "$demo" "$out" "$empty"
echo "saved $out/closing.png $out/access.png $out/missing.png"
