#!/usr/bin/env bash
# Sets up, builds the window demo and saves pictures of the updater window against the simulated
# bootloader.
#   scripts/screenshot.sh [FILE]     the window half way through the code at the plan's pace
#                                    (docs/screenshot.png)
#   scripts/screenshot.sh --boxes DIR
#                                    the whole screen, under a window manager (openbox), with each
#                                    of the window's own message boxes open: closing.png (a close
#                                    request during an update), access.png (a bootloader that may
#                                    not be opened) and missing.png (no update files)
#   scripts/screenshot.sh --journey DIR
#                                    the window with its frame, under openbox, at 96 dpi and at
#                                    150 %, in each of these states, as DIR/linux-STATE-{100,150}.png:
#     mid            half way through the code at the plan's pace (20 ms per erased sector, 1 ms
#                    per report): the warning beside the buttons, the whole update's percentage
#                    and the time left
#     silent         a device that never answers, 10 s after 更新: the countdown of the wait (a
#                    second picture 4 s later must differ from it; it is kept in a temporary
#                    folder, named at the end, to see that the countdown went down)
#     success        after a whole update
#     code-fail      a write that fails in the code's data (report 200)
#     restart-fail   the restart's report fails (report 10259 of the demo's samples)
#     database-fail  a write that fails in the database's data (report 9000)
#     cable-pulled   the device vanishes in the code's data (after report 4000)
#     open-refused   the device refuses the open: the access help box at start-up and after 更新
#                    is answered, and the window shown once the update has ended
#     idle-missing   at rest, with only code_data.bin in the folder
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
# The demo records each update in the history like the updater; the pictures' updates go into a
# throw-away folder rather than the user's.
XDG_STATE_HOME=$(mktemp -d)
export XDG_STATE_HOME
trap 'rm -rf "$XDG_STATE_HOME"' EXIT

if [ "${1:-}" = --journey ]; then
  mkdir -p "$out"
  out=$(cd "$out" && pwd)
  # A folder with the code but not the database; the silent device's second pictures.
  one_file=$(mktemp -d)
  later=$(mktemp -d)
  trap 'rm -rf "$one_file" "$XDG_STATE_HOME"' EXIT
  head -c 524288 /dev/zero >"$one_file/code_data.bin"
  # One X display with openbox on it; each demo saves its window with the frame and quits.
  xvfb-run -a -s "-screen 0 1280x1024x24 -dpi 96" bash -c '
    set -e
    openbox & wm=$!
    sleep 1
    demo=$1 out=$2 one_file=$3 later=$4
    for scale in 100 150; do
      export QT_SCALE_FACTOR=$(awk "BEGIN { print $scale / 100 }")
      "$demo" --pace 20,1 --screenshot "$out/linux-mid-$scale.png"
      # The wait for the first erase record, 10 s into it (it is shown after 3 s of silence).
      "$demo" --scenario silent --shot-at 10000 "$out/linux-silent-$scale.png" \
        --shot-at 14000 "$later/linux-silent-later-$scale.png"
      "$demo" --end-shot "$out/linux-success-$scale.png"
      "$demo" --scenario write-fail:200 --end-shot "$out/linux-code-fail-$scale.png"
      "$demo" --scenario write-fail:10259 --end-shot "$out/linux-restart-fail-$scale.png"
      "$demo" --scenario write-fail:9000 --end-shot "$out/linux-database-fail-$scale.png"
      "$demo" --scenario disconnect:4000 --end-shot "$out/linux-cable-pulled-$scale.png"
      "$demo" --scenario open-refused --dismiss-boxes \
        --end-shot "$out/linux-open-refused-$scale.png"
      "$demo" --files "$one_file" --idle-shot "$out/linux-idle-missing-$scale.png"
    done
    kill $wm
  ' _ "$demo" "$out" "$one_file" "$later"
  # The countdown must have changed between the two pictures of the silent device (that it went
  # down is for the eye).
  for scale in 100 150; do
    if cmp -s "$out/linux-silent-$scale.png" "$later/linux-silent-later-$scale.png"; then
      echo "the silent device's countdown did not change in 4 s at $scale %"
      exit 1
    fi
  done
  echo "saved $out/linux-{mid,silent,success,code-fail,restart-fail,database-fail,cable-pulled,open-refused,idle-missing}-{100,150}.png"
  echo "the silent device 4 s later: $later/linux-silent-later-{100,150}.png"
  exit 0
fi

if [ "${1:-}" != --boxes ]; then
  xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" "$demo" --pace 20,1 --screenshot "$out"
  echo "saved $out"
  exit 0
fi

mkdir -p "$out"
out=$(cd "$out" && pwd)
empty=$(mktemp -d)
trap 'rm -rf "$empty" "$XDG_STATE_HOME"' EXIT
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
