#!/usr/bin/env bash
# Runs the built quarvo-flash as a process: the exit statuses it promises, with the real hidapi
# backend on a machine where no bootloader is attached, and with the simulated one; and the
# process's life under signals, closed pipes, a held single-instance guard, a trace path that
# names an update file, little memory and a full output.
set -u
flash="$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A single-instance guard of this run's own, apart from any real updater's.
export QUARVO_LOCK_DIR="$work"
head -c 5000 /dev/urandom > "$work/code_data.bin"
head -c 3000 /dev/urandom > "$work/car_data.bin"
# Large enough that a real-time simulated update lasts long enough to be interrupted.
mkdir "$work/big"
head -c 1000000 /dev/urandom > "$work/big/code_data.bin"
head -c 1000000 /dev/urandom > "$work/big/car_data.bin"
# Small enough that a real-time simulated update ends in about five seconds.
mkdir "$work/mid"
head -c 200000 /dev/urandom > "$work/mid/code_data.bin"
head -c 100000 /dev/urandom > "$work/mid/car_data.bin"
passed=0
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
pass() {
  passed=$((passed + 1))
}

expect() {   # expect STATUS TEXT ARGS...
  local want=$1 text=$2
  shift 2
  local output
  output=$(timeout 60 "$flash" "$@" 2>&1)
  local got=$?
  if [ "$got" != "$want" ] || ! grep -qF -- "$text" <<<"$output"; then
    fail "quarvo-flash $* exited $got (wanted $want) and printed:"
    echo "$output"
  elif [ "$want" != 0 ] && grep -qF "更新成功!" <<<"$output"; then
    fail "quarvo-flash $* printed success while failing"
  else
    pass
  fi
}

# Waits until FILE has a line matching PATTERN (at most 20 s).
wait_for_line() {
  for _ in $(seq 1 200); do
    grep -q -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

if [ -z "$("$flash" --list 2>/dev/null | grep -v 'No bootloader')" ]; then
  expect 1 "設備連線失敗! 請檢查USB連接。" -C "$work"
  expect 1 "within 1 s" -C "$work" --wait=1
  # A held single-instance guard (the window or another quarvo-flash) refuses the update.
  lock="$QUARVO_LOCK_DIR/GPS_UPDATE_CLIENT-$(id -u).lock"
  output=$(flock "$lock" timeout 60 "$flash" -C "$work" 2>&1)
  got=$?
  if [ "$got" = 1 ] && grep -qF "軟體正在使用中" <<<"$output"; then pass; else
    fail "with the guard held quarvo-flash exited $got:"; echo "$output"; fi
else
  echo "a bootloader is attached to this machine; skipping the no-device cases"
fi
expect 0 "更新成功!" -C "$work" --simulate
expect 1 "讀取清除訊息錯誤!" -C "$work" --simulate=silent
expect 2 "unknown argument" --bogus
mkdir "$work/empty"
expect 2 "Can't find car_data.bin" -C "$work/empty" --simulate
mkdir "$work/zero"
: > "$work/zero/code_data.bin"
head -c 100 /dev/urandom > "$work/zero/car_data.bin"
expect 2 "code_data.bin is empty" -C "$work/zero" --simulate

# A trace path that names an update file is refused, and the file stays as it was.
cp "$work/car_data.bin" "$work/car_data.copy"
expect 2 "is the update file" -C "$work" --simulate --trace "$work/car_data.bin"
if cmp -s "$work/car_data.bin" "$work/car_data.copy"; then pass; else fail "--trace car_data.bin changed the file"; fi

# --help to a full device is an error, not a success.
"$flash" --help > /dev/full 2>/dev/null
got=$?
if [ "$got" = 1 ]; then pass; else fail "--help > /dev/full exited $got"; fi

# A closed pipe never stops the update: the trace shows it through to the restart.
"$flash" -C "$work/mid" --simulate --real-time --trace "$work/pipe.trace" 2>/dev/null | head -n 1 > /dev/null
got=${PIPESTATUS[0]}
if [ "$got" = 0 ] && grep -q "status 更新成功!" "$work/pipe.trace" && grep -q "out \[65\] 00 a5 0e" "$work/pipe.trace"; then
  pass
else
  fail "piped into head -n1 quarvo-flash exited $got; trace ends:"; tail -n 3 "$work/pipe.trace"
fi

# Signals during an update. interrupt_twice: one Ctrl-C only warns, the second stops.
signal_case() {   # signal_case NAME WANTED_STATUS SIGNAL...
  local name=$1 want=$2
  shift 2
  local trace="$work/$name.trace" errors="$work/$name.err"
  "$flash" -C "$work/big" --simulate --real-time --trace "$trace" > /dev/null 2> "$errors" &
  local pid=$!
  if ! wait_for_line "$trace" "out \[65\] 00 c3 0e"; then
    fail "$name: the update did not start"; kill -KILL $pid; wait $pid; return
  fi
  local first=yes
  for sig in "$@"; do
    kill -s "$sig" $pid
    sleep 0.5
    if [ "$first" = yes ] && [ $# -gt 1 ] && ! kill -0 $pid 2>/dev/null; then
      fail "$name: the first $sig ended the update"
    fi
    first=no
  done
  timeout 20 tail --pid=$pid -f /dev/null
  wait $pid
  local got=$?
  if [ "$got" = "$want" ] && grep -q "incomplete update" "$errors" && tail -n 1 "$trace" | grep -q " stopped SIG"; then
    pass
  else
    fail "$name exited $got (wanted $want); stderr:"; cat "$errors"; echo "trace ends:"; tail -n 2 "$trace"
  fi
}
signal_case interrupt_twice 130 INT INT
signal_case terminate 143 TERM

# A hangup lets the update finish.
"$flash" -C "$work/mid" --simulate --real-time --trace "$work/hup.trace" > /dev/null 2>&1 &
pid=$!
if wait_for_line "$work/hup.trace" "out \[65\] 00 c3 0e"; then
  kill -HUP $pid
  wait $pid
  got=$?
  if [ "$got" = 0 ] && grep -q "status 更新成功!" "$work/hup.trace"; then pass; else fail "after SIGHUP quarvo-flash exited $got"; fi
else
  fail "hangup: the update did not start"; kill -KILL $pid
fi

# Little memory: a clear message and exit 1, never an abort. (Not under AddressSanitizer, whose
# shadow memory needs more address space than the limit.)
if ! ldd "$flash" | grep -q libasan && ! ldd "$flash" | grep -q libtsan; then
  mkdir "$work/huge"
  head -c 16000000 /dev/urandom > "$work/huge/code_data.bin"
  cp "$work/huge/code_data.bin" "$work/huge/car_data.bin"
  output=$( (ulimit -v 30000; "$flash" -C "$work/huge" --simulate) 2>&1 )
  got=$?
  if [ "$got" = 1 ] && grep -qiE "memory" <<<"$output"; then pass; else fail "with little memory quarvo-flash exited $got:"; echo "$output" | tail -n 3; fi
fi

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
