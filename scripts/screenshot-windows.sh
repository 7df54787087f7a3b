#!/usr/bin/env bash
# Renders the Windows dialog under wine and Xvfb, mid-update on the simulated bootloader, into
# docs/screenshot-windows.png. The dialog's faces are mapped to Debian's Traditional Chinese Ming
# and regular-script faces in a throw-away wine prefix.
#   scripts/screenshot-windows.sh                docs/screenshot-windows.png
#   scripts/screenshot-windows.sh --journey DIR  also, at 96 dpi and at 150 % (144 dpi): the
#                                                dialog mid-update, after a success and after a
#                                                failed write, as
#                                                DIR/win-{mid,success,failure}-{96,144}dpi.png
set -euo pipefail
cd "$(dirname "$0")/.."
journey_dir=""
if [ "${1:-}" = --journey ]; then
  journey_dir=${2:?"--journey needs a folder"}
  mkdir -p "$journey_dir"
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
  wineserver -w
}

# shoot DPI SECONDS FILE [DEMO OPTIONS...]: the dialog SECONDS after it appeared (the demo presses
# 更新 half a second after it appears), then the demo is ended.
shoot() {
  local dpi=$1 seconds=$2 file=$3 window="" demo
  shift 3
  use_prefix "$dpi"
  wine build/windows/win/quarvo-updater-demo.exe "$@" & demo=$!
  for _ in $(seq 1 600); do
    window=$(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | head -n 1) && [ -n "$window" ] && break
    sleep 0.1
  done
  [ -n "$window" ] || { echo "the dialog did not appear"; exit 1; }
  sleep "$seconds"
  import -window "$window" "$file"
  kill "$demo" 2>/dev/null || true
  wineserver -k || true
  wait "$demo" 2>/dev/null || true
  echo "wrote $file"
}

shoot 96 4 docs/screenshot-windows.png   # mid-update, once the time left is shown
if [ -n "$journey_dir" ]; then
  for dpi in 96 144; do
    shoot "$dpi" 4 "$journey_dir/win-mid-${dpi}dpi.png"
    shoot "$dpi" 20 "$journey_dir/win-success-${dpi}dpi.png"
    shoot "$dpi" 4 "$journey_dir/win-failure-${dpi}dpi.png" --scenario write-fail:200
  done
fi
