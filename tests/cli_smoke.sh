#!/usr/bin/env bash
# Runs the built quarvo-flash as a process: the exit statuses it promises, with the real hidapi
# backend on a machine where no bootloader is attached, and with the simulated one.
set -u
flash="$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c 5000 /dev/urandom > "$work/code_data.bin"
head -c 3000 /dev/urandom > "$work/car_data.bin"
failures=0

expect() {   # expect STATUS TEXT ARGS...
  local want=$1 text=$2
  shift 2
  local output
  output=$(timeout 60 "$flash" "$@" 2>&1)
  local got=$?
  if [ "$got" != "$want" ] || ! grep -qF -- "$text" <<<"$output"; then
    echo "FAIL: quarvo-flash $* exited $got (wanted $want) and printed:"
    echo "$output"
    failures=$((failures + 1))
  fi
  if [ "$want" != 0 ] && grep -qF "更新成功!" <<<"$output"; then
    echo "FAIL: quarvo-flash $* printed success while failing"
    failures=$((failures + 1))
  fi
}

if [ -z "$("$flash" --list 2>/dev/null | grep -v 'No bootloader')" ]; then
  expect 1 "設備連線失敗! 請檢查USB連接。" -C "$work"
else
  echo "a bootloader is attached to this machine; skipping the no-device case"
fi
expect 0 "更新成功!" -C "$work" --simulate
expect 1 "讀取清除訊息錯誤!" -C "$work" --simulate=silent
expect 2 "unknown argument" --bogus
mkdir "$work/empty"
expect 2 "Can't find car_data.bin" -C "$work/empty" --simulate

echo "$((5 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
