#!/usr/bin/env bash
# Renders the Windows dialog under wine and Xvfb, mid-update on the simulated bootloader, into
# docs/screenshot-windows.png. The dialog's faces are mapped to Debian's Traditional Chinese Ming
# and regular-script faces in a throw-away wine prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
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
export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all
display=:$((50 + RANDOM % 40))
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp & pids+=($!)
export DISPLAY=$display
sleep 1
wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v '微軟正黑體' /d 'Noto Sans CJK TC' /f >/dev/null
wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v '標楷體' /d 'AR PL UKai TW' /f >/dev/null
wineserver -w
wine build/windows/win/quarvo-updater-demo.exe & pids+=($!)
title="道路安全警示系統更新介面"
window=""
for _ in $(seq 1 300); do
  window=$(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | head -n 1) && [ -n "$window" ] && break
  sleep 0.1
done
[ -n "$window" ] || { echo "the dialog did not appear"; exit 1; }
sleep 2.5   # mid-update: the code is being written
import -window "$window" docs/screenshot-windows.png
echo "wrote docs/screenshot-windows.png"
