#!/usr/bin/env bash
# Runs the Windows executables under wine as a Windows user would: quarvo-flash.exe copied alone
# into an empty folder with sample files must end a whole simulated update with exit 0, also from
# a folder named 更新檔 given with -C while wine runs under a Traditional Chinese (Big5) locale;
# quarvo-updater.exe copied alone must show its dialog; neither may need a DLL beside it.
set -u
flash="$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export WINEDEBUG=-all
export WINEPREFIX="${WINEPREFIX:-$work/wineprefix}"
passed=0
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

mkdir "$work/alone"
cp "$flash" "$work/alone/quarvo-flash.exe"
head -c 5000 /dev/urandom > "$work/alone/code_data.bin"
head -c 3000 /dev/urandom > "$work/alone/car_data.bin"
output=$(cd "$work/alone" && timeout 120 wine quarvo-flash.exe --simulate 2>&1)
status=$?
if [ "$status" = 0 ] && grep -q "更新成功!" <<<"$output" && grep -q "restarted: yes" <<<"$output"; then
  passed=$((passed + 1))
else
  fail "alone in a folder: exit $status"; echo "$output" | tail -n 20
fi

# Under a Big5 locale wine's code page is 950 and Unix names and arguments are Big5 bytes; the
# program must still find the folder 更新檔 that -C names.
big5_name=$(printf '更新檔' | iconv -f UTF-8 -t BIG5)
mkdir "$work/alone/$big5_name"
cp "$work/alone/"*.bin "$work/alone/$big5_name/"
if locale -a 2>/dev/null | grep -qi '^zh_TW\.big5$'; then
  output=$(cd "$work/alone" && LANG=zh_TW.BIG5 LC_ALL=zh_TW.BIG5 timeout 120 wine quarvo-flash.exe -C "$big5_name" --simulate 2>&1)
  status=$?
  if [ "$status" = 0 ] && grep -q "restarted: yes" <<<"$output"; then
    passed=$((passed + 1))
  else
    fail "-C 更新檔 under zh_TW.BIG5: exit $status"; echo "$output" | tail -n 20
  fi
else
  fail "no zh_TW.BIG5 locale (scripts/setup.sh --windows makes it)"
fi

# The window: quarvo-updater.exe copied alone into a folder starts and shows its dialog.
updater="$(dirname "$flash")/../win/quarvo-updater.exe"
if [ -f "$updater" ] && command -v xvfb-run > /dev/null && command -v xdotool > /dev/null; then
  mkdir "$work/window"
  cp "$updater" "$work/window/quarvo-updater.exe"
  cat > "$work/window/run.sh" <<'INNER'
cd "$(dirname "$0")"
wine quarvo-updater.exe & pid=$!
for _ in $(seq 1 600); do
  if xdotool search --onlyvisible --name '^道路安全警示系統更新介面$' > /dev/null 2>&1; then
    kill $pid; wineserver -k; exit 0
  fi
  sleep 0.1
done
kill $pid; wineserver -k; exit 1
INNER
  if timeout 120 xvfb-run -a -s "-screen 0 1024x768x24" bash "$work/window/run.sh" > /dev/null 2>&1; then
    passed=$((passed + 1))
  else
    fail "quarvo-updater.exe alone in a folder showed no dialog"
  fi
else
  fail "no quarvo-updater.exe beside quarvo-flash.exe, or no xvfb-run and xdotool"
fi

# Missing files are bad input.
mkdir "$work/empty"
cp "$flash" "$work/empty/quarvo-flash.exe"
output=$(cd "$work/empty" && timeout 120 wine quarvo-flash.exe --simulate 2>&1)
status=$?
if [ "$status" = 2 ] && grep -q "Can't find car_data.bin" <<<"$output"; then
  passed=$((passed + 1))
else
  fail "missing files: exit $status"; echo "$output" | tail -n 5
fi

# Neither executable needs a DLL beside it: only the system's own.
if command -v x86_64-w64-mingw32-objdump > /dev/null; then
  for exe in "$flash" "$updater"; do
    [ -f "$exe" ] || continue
    dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ {print tolower($3)}' |
           grep -vE '^(kernel32|user32|gdi32|shell32|advapi32|ole32|oleaut32|comctl32|comdlg32|msvcrt|ws2_32|setupapi|cfgmgr32|hid|ucrtbase|api-ms-win-.*)\.dll$' || true)
    if [ -z "$dlls" ]; then passed=$((passed + 1)); else fail "$(basename "$exe") needs DLLs beside it: $dlls"; fi
  done
fi

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
