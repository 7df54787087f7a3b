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
#                    and, at 100 % only, as DIR/linux-settle-100.png:
#     settle         the wait for update files that were written just now (the demo's
#                    --fresh-files), 0.8 s after 更新
#                    The demo writes its sample files itself and knows them whole, so in every
#                    other picture the job takes them as settled and starts at once.
#   scripts/screenshot.sh --history DIR
#                                    the copy of the last update's record, under openbox, after a
#                                    database write failed: DIR/linux-menu.png, the window with its
#                                    context menu open on 複製最近一次更新紀錄, and
#                                    DIR/linux-pasted.png, the copied text pasted (Ctrl+V) into a
#                                    plain text editor (FeatherPad, installed when missing)
# The demo's updates are recorded in a throw-away history, never the user's.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = --boxes ] || [ "${1:-}" = --journey ] || [ "${1:-}" = --history ]; then
  out="${2:?usage: scripts/screenshot.sh --boxes|--journey|--history DIR}"
  ./scripts/setup.sh --screenshots
  if [ "$1" = --history ] && ! dpkg-query -W -f='${Status}' featherpad 2>/dev/null |
    grep -q "install ok installed"; then
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends \
      featherpad
  fi
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
      if [ "$scale" = 100 ]; then
        "$demo" --fresh-files --shot-at 800 "$out/linux-settle-100.png"
      fi
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
  echo "saved $out/linux-{mid,silent,success,code-fail,restart-fail,database-fail,cable-pulled,open-refused,idle-missing}-{100,150}.png $out/linux-settle-100.png"
  echo "the silent device 4 s later: $later/linux-silent-later-{100,150}.png"
  exit 0
fi

if [ "${1:-}" = --history ]; then
  mkdir -p "$out"
  out=$(cd "$out" && pwd)
  # The editor's settings and session in a throw-away home, so that it opens plain and empty.
  editor_home=$(mktemp -d)
  trap 'rm -rf "$editor_home" "$XDG_STATE_HOME"' EXIT
  xvfb-run -a -s "-screen 0 1280x1024x24 -dpi 96" bash -c '
    set -e
    demo=$1 out=$2 editor_home=$3
    openbox & wm=$!
    sleep 1
    # The demo shoots its menu, copies the record and stays, owning the clipboard, until ended.
    "$demo" --scenario write-fail:9000 --menu-shot "$out/linux-menu.png" >"$editor_home/demo.out" &
    demo_pid=$!
    for _ in $(seq 1 600); do
      grep -q "record copied" "$editor_home/demo.out" && break
      kill -0 "$demo_pid" 2>/dev/null || { echo "the demo ended before the copy"; exit 1; }
      sleep 0.1
    done
    grep -q "record copied" "$editor_home/demo.out" || { echo "the record was not copied"; exit 1; }
    HOME=$editor_home XDG_CONFIG_HOME=$editor_home/config featherpad & editor_pid=$!
    editor=$(xdotool search --sync --onlyvisible --pid "$editor_pid" | head -n 1)
    sleep 1
    xdotool windowsize --sync "$editor" 900 560
    xdotool windowactivate --sync "$editor"
    sleep 0.5
    xdotool key --clearmodifiers ctrl+v
    sleep 1
    import -frame -window "$editor" "$out/linux-pasted.png"
    kill "$editor_pid" "$demo_pid" "$wm"
    wait "$editor_pid" "$demo_pid" 2>/dev/null || true
  ' _ "$demo" "$out" "$editor_home"
  echo "saved $out/linux-menu.png $out/linux-pasted.png"
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
