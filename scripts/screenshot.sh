#!/usr/bin/env bash
# Sets up, builds the window demo and saves pictures of the updater window against the simulated
# bootloader.
#   scripts/screenshot.sh [FILE]     the window in the middle of an update (docs/screenshot.png)
#   scripts/screenshot.sh --boxes DIR
#                                    the whole screen, under a window manager (openbox), with each
#                                    of the window's own message boxes open: closing.png (a close
#                                    request during an update), access.png (a bootloader that may
#                                    not be opened) and missing.png (no update files)
#   scripts/screenshot.sh --journey DIR
#                                    the window with its frame, under openbox, at 96 dpi and at
#                                    150 %: half way through the code (linux-mid-*.png), after
#                                    success (linux-success-*.png) and after a failure while the
#                                    code is written (linux-failure-*.png); * is 100 or 150
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = --boxes ] || [ "${1:-}" = --journey ]; then
  out="${2:?usage: scripts/screenshot.sh --boxes|--journey DIR}"
  ./scripts/setup.sh --screenshots
else
  out="${1:-docs/screenshot.png}"
  ./scripts/setup.sh
fi
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)" --target quarvo-updater-demo
demo=$PWD/build/release/app/quarvo-updater-demo

if [ "${1:-}" = --journey ]; then
  mkdir -p "$out"
  out=$(cd "$out" && pwd)
  # One X display with openbox on it; each demo saves its window with the frame and quits.
  xvfb-run -a -s "-screen 0 1280x1024x24 -dpi 96" bash -c '
    openbox & wm=$!
    sleep 1
    for scale in 100 150; do
      export QT_SCALE_FACTOR=$(awk "BEGIN { print $scale / 100 }")
      "$1" --screenshot "$2/linux-mid-$scale.png"
      "$1" --end-shot "$2/linux-success-$scale.png"
      "$1" --scenario write-fail:200 --end-shot "$2/linux-failure-$scale.png"
    done
    kill $wm
  ' _ "$demo" "$out"
  echo "saved $out/linux-{mid,success,failure}-{100,150}.png"
  exit 0
fi

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
