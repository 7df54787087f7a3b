#!/usr/bin/env bash
# quarvo-updater.exe started with arguments, as a shortcut's target starts it, under wine on an X
# server of its own. With a folder it shows its dialog and reads the update files from that folder
# (更新 pressed in an empty one: the missing file's box names it); with two arguments, a file in
# place of the folder, or a folder that is not there, it shows a box with the usage line instead
# and exits 2. The boxes are read (and answered) by quarvo-test-read-box.exe, the dialog's user is
# quarvo-e2e-press-update.exe.
#   windows_folder_argument.sh QUARVO_UPDATER READ_BOX PRESS_UPDATE
set -u
updater=$1
read_box=$2
press_update=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export WINEDEBUG=-all
export WINEPREFIX="${WINEPREFIX:-$work/wineprefix}"
# The folder's Chinese name reaches the program as UTF-8 from the Unix side.
export LC_ALL=C.UTF-8

mkdir "$work/更新檔"
touch "$work/code_data.bin"
cp "$updater" "$work/quarvo-updater.exe"
cp "$read_box" "$work/read-box.exe"
cp "$press_update" "$work/press-update.exe"

cat > "$work/cases.sh" <<'INNER'
cd "$(dirname "$0")"
work=$PWD
passed=0
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# The path as a Windows program is given it: on wine's drive Z:, which is the Unix root.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
usage="usage: quarvo-updater.exe [FOLDER]"

# refused NAME TEXT ARGUMENTS...: a box with TEXT and the usage line, then exit status 2.
refused() {
  name=$1 text=$2
  shift 2
  timeout 180 wine quarvo-updater.exe "$@" > /dev/null 2>&1 & updater=$!
  box=$(timeout 180 wine read-box.exe 2>/dev/null)
  read_status=$?
  wait $updater
  status=$?
  if [ "$read_status" = 0 ] && [ "$status" = 2 ] && grep -qF "$text" <<<"$box" &&
     grep -qF "$usage" <<<"$box"; then
    passed=$((passed + 1))
  else
    fail "$name: exit $status, the box (read: $read_status):"; echo "$box"
  fi
}

refused "two arguments" "參數太多" "$(windows_path "$work/更新檔")" "$(windows_path "$work")"
refused "a file for a folder" "這不是資料夾：
$(windows_path "$work/code_data.bin")" "$(windows_path "$work/code_data.bin")"
refused "a folder that is not there" "找不到這個資料夾" "$(windows_path "$work/沒有")"
refused "an option" "不認得的選項：--verbose" --verbose

# A folder: the dialog, whose update looks for its files there; the dialog closes with status 0.
timeout 300 wine quarvo-updater.exe "$(windows_path "$work/更新檔")" > /dev/null 2>&1 & updater=$!
seen=$(timeout 300 wine press-update.exe 2>/dev/null)
wait $updater
status=$?
if [ "$status" = 0 ] && grep -q "^message box: Can't find .*data\.bin" <<<"$seen" &&
   grep -qF "$(windows_path "$work/更新檔")" <<<"$seen"; then
  passed=$((passed + 1))
else
  fail "a folder: exit $status, its user saw:"; echo "$seen"
fi
wineserver -k
echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
INNER

timeout 900 xvfb-run -a -s "-screen 0 1024x768x24" bash "$work/cases.sh"
