#!/usr/bin/env bash
# Renders the Windows dialog under wine and Xvfb, mid-update on the simulated bootloader, into
# docs/screenshot-windows.png. The dialog's faces are mapped to Debian's Traditional Chinese Ming
# and regular-script faces in a throw-away wine prefix.
#   scripts/screenshot-windows.sh                docs/screenshot-windows.png
#   scripts/screenshot-windows.sh --journey DIR  instead, the dialog at 96 dpi and at 150 % (144
#                                                dpi) in each of these states, as
#                                                DIR/win-STATE-{96,144}dpi.png:
#     mid            well into the code's data at 30 ms per erased sector and 2 ms per report: the
#                    warning beside the buttons, the whole update's percentage and the time left
#     silent         a device that never answers, 10 s after 更新: the countdown of the wait (a
#                    second picture 4 s later must differ from it; it is kept in a temporary
#                    folder, named at the end, to see that the countdown went down)
#     success        after a whole update
#     code-fail      a write that fails in the code's data (report 200)
#     restart-fail   the restart's report fails (report 7827 of the demo's samples)
#     database-fail  a write that fails in the database's data (report 5000)
#     cable-pulled   the device vanishes in the code's data (after report 1500)
#     open-refused   the device refuses the open: the access help box at start-up and after 更新
#                    is answered, and the dialog shown once the update has ended
#     idle-missing   at rest, with only code_data.bin in the folder
#                                                and, at 96 dpi only, as DIR/win-settle-96dpi.png:
#     settle         the wait for update files that were written just now (the demo's
#                    --fresh-files), 1.1 s after the dialog appeared
#                    The demo writes its sample files itself and knows them whole, so in every
#                    other picture the job takes them as settled and starts at once.
#   scripts/screenshot-windows.sh --history DIR  instead, the copy of the last update's record at
#                                                96 dpi, after a database write failed:
#                                                DIR/win-menu.png, the dialog with its system menu
#                                                open (as Alt+Space opens it) on 複製最近一次更新紀錄,
#                                                and DIR/win-pasted.png, the copied text pasted
#                                                (Ctrl+V) into wine's notepad
# The demo's updates are recorded in the throw-away wine prefix's history, never the user's.
set -euo pipefail
cd "$(dirname "$0")/.."
journey_dir=""
history_dir=""
if [ "${1:-}" = --journey ]; then
  journey_dir=${2:?"--journey needs a folder"}
  mkdir -p "$journey_dir"
  journey_dir=$(cd "$journey_dir" && pwd)
elif [ "${1:-}" = --history ]; then
  history_dir=${2:?"--history needs a folder"}
  mkdir -p "$history_dir"
  history_dir=$(cd "$history_dir" && pwd)
fi
./scripts/setup.sh --windows
for package in imagemagick fonts-arphic-uming fonts-arphic-ukai xdotool; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing="${missing:-} $package"
done
if [ -n "${missing:-}" ]; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends $missing
fi
cmake --preset windows >/dev/null
cmake --build --preset windows -j"$(nproc)" --target quarvo-updater-demo

work=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; rm -rf "$work"' EXIT
export WINEDEBUG=-all
display=:$((50 + RANDOM % 40))
Xvfb "$display" -screen 0 1280x960x24 -nolisten tcp & pids+=($!)
export DISPLAY=$display
sleep 1
title="道路安全警示系統更新介面"

# A wine prefix for a DPI, with the dialog's faces mapped.
use_prefix() {
  export WINEPREFIX="$work/wineprefix-$1"
  [ -d "$WINEPREFIX" ] && return
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f >/dev/null
  wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v '微軟正黑體' /d 'Noto Sans CJK TC' /f >/dev/null
  wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v '標楷體' /d 'AR PL UKai TW' /f >/dev/null
  # The system's own face (menus, boxes) falls back to a Traditional Chinese one for the characters
  # it lacks, as on a Traditional Chinese Windows.
  wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
    /v Tahoma /t REG_MULTI_SZ /d 'NotoSansCJK-Regular.ttc,Noto Sans CJK TC' /f >/dev/null
  # Notepad in a face that has the Chinese characters, large enough to read.
  wine reg add 'HKCU\Software\Microsoft\Notepad' /v lfFaceName /d '微軟正黑體' /f >/dev/null
  wine reg add 'HKCU\Software\Microsoft\Notepad' /v iPointSize /t REG_DWORD /d 110 /f >/dev/null
  wineserver -w
}

# The dialog: the largest visible window with its title (a message box over it has the same title).
dialog_window() {
  local window WIDTH HEIGHT
  for window in $(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null); do
    WIDTH=0 HEIGHT=0
    eval "$(xdotool getwindowgeometry --shell "$window" 2>/dev/null)" || true
    echo "$((WIDTH * HEIGHT)) $window"
  done | sort -n | tail -n 1 | cut -d ' ' -f 2
}

# shoot DPI SECONDS=FILE... [-- DEMO OPTIONS...]: the dialog SECONDS after it (or a box of its
# start-up) appeared, for each picture in turn (the demo presses 更新 half a second after the
# dialog appears, unless told not to), then the demo is ended.
shoot() {
  local dpi=$1 window="" demo shot at=0 shots=()
  shift
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    shots+=("$1")
    shift
  done
  [ $# -eq 0 ] || shift
  use_prefix "$dpi"
  wine build/windows/win/quarvo-updater-demo.exe "$@" & demo=$!
  for _ in $(seq 1 600); do
    window=$(dialog_window) && [ -n "$window" ] && break
    sleep 0.1
  done
  [ -n "$window" ] || { echo "the dialog did not appear"; exit 1; }
  for shot in "${shots[@]}"; do
    sleep "$(awk "BEGIN { print ${shot%%=*} - $at }")"
    at=${shot%%=*}
    window=$(dialog_window)
    [ -n "$window" ] || { echo "the dialog is gone at ${at} s"; exit 1; }
    import -window "$window" "${shot#*=}"
    echo "wrote ${shot#*=}"
  done
  kill "$demo" 2>/dev/null || true
  wineserver -k || true
  wait "$demo" 2>/dev/null || true
}

# The journey line shows the time left once the erase and the data have each gone on for a second:
# the samples' code (49 sectors) takes 1.5 s to erase at 30 ms a sector, its 3129 reports over 6 s
# at 2 ms each; 5.5 s after the dialog appeared is some 3.5 s into the code's data.
mid_pace=30,2
if [ -n "$history_dir" ]; then
  use_prefix 96
  # The demo shoots nothing itself: it opens its system menu once the update has failed, says so,
  # chooses the copy entry 2 s later and stays, owning the clipboard, until ended.
  log=$work/demo.log
  wine build/windows/win/quarvo-updater-demo.exe --scenario write-fail:5000 --copy-record \
    2>"$log" & demo=$!
  pids+=("$demo")
  # wait_for TEXT: until the demo has written TEXT (at most a minute).
  wait_for() {
    for _ in $(seq 1 600); do
      grep -q "$1" "$log" && return 0
      kill -0 "$demo" 2>/dev/null || break
      sleep 0.1
    done
    echo "the demo did not say \"$1\""
    exit 1
  }
  wait_for "menu open"
  sleep 0.3
  # The dialog and its menu: the screen's part under the dialog, which the menu opens inside.
  window=$(dialog_window)
  [ -n "$window" ] || { echo "the dialog is gone"; exit 1; }
  eval "$(xdotool getwindowgeometry --shell "$window")"
  import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$history_dir/win-menu.png"
  echo "wrote $history_dir/win-menu.png"
  wait_for "record copied"
  wine notepad & editor=$!
  pids+=("$editor")
  notepad=""
  for _ in $(seq 1 300); do
    notepad=$(xdotool search --onlyvisible --name "Notepad" 2>/dev/null | head -n 1) &&
      [ -n "$notepad" ] && break
    sleep 0.1
  done
  [ -n "$notepad" ] || { echo "notepad did not appear"; exit 1; }
  sleep 1
  xdotool windowsize --sync "$notepad" 900 560 || true
  xdotool windowfocus --sync "$notepad" || true
  xdotool key --clearmodifiers ctrl+v
  sleep 1
  import -window "$notepad" "$history_dir/win-pasted.png"
  echo "wrote $history_dir/win-pasted.png"
  wineserver -k || true
  exit 0
fi
if [ -z "$journey_dir" ]; then
  shoot 96 "5.5=docs/screenshot-windows.png" -- --pace "$mid_pace"
  exit 0
fi
# A folder with the code but not the database (wine sees the root of the file system as Z:).
one_file=$work/one-file
mkdir -p "$one_file"
head -c 200000 /dev/zero >"$one_file/code_data.bin"
one_file_wine="Z:${one_file//\//\\}"
d=$journey_dir
# The silent device's second pictures, kept out of DIR for a look.
later=$(mktemp -d)
for dpi in 96 144; do
  shoot "$dpi" "5.5=$d/win-mid-${dpi}dpi.png" -- --pace "$mid_pace"
  # The wait for the first erase record, some 10 s into it (it is shown after 3 s of silence).
  shoot "$dpi" "10.5=$d/win-silent-${dpi}dpi.png" "14.5=$later/win-silent-later-${dpi}dpi.png" \
    -- --scenario silent
  shoot "$dpi" "20=$d/win-success-${dpi}dpi.png"
  shoot "$dpi" "6=$d/win-code-fail-${dpi}dpi.png" -- --scenario write-fail:200
  shoot "$dpi" "20=$d/win-restart-fail-${dpi}dpi.png" -- --scenario write-fail:7827
  shoot "$dpi" "15=$d/win-database-fail-${dpi}dpi.png" -- --scenario write-fail:5000
  shoot "$dpi" "8=$d/win-cable-pulled-${dpi}dpi.png" -- --scenario disconnect:1500
  shoot "$dpi" "8=$d/win-open-refused-${dpi}dpi.png" -- --scenario open-refused --dismiss-boxes
  shoot "$dpi" "3=$d/win-idle-missing-${dpi}dpi.png" -- --files "$one_file_wine" --no-press
  if [ "$dpi" = 96 ]; then
    shoot 96 "1.1=$d/win-settle-96dpi.png" -- --fresh-files
  fi
  # The countdown must have changed between the two pictures of the silent device (that it went
  # down is for the eye).
  if compare -metric AE "$d/win-silent-${dpi}dpi.png" "$later/win-silent-later-${dpi}dpi.png" \
    null: 2>/dev/null; then
    echo "the silent device's countdown did not change in 4 s at $dpi dpi"
    exit 1
  fi
done
echo "the silent device 4 s later: $later/win-silent-later-{96,144}dpi.png"
