#!/usr/bin/env bash
# Runs the built quarvo-flash as a process: the exit statuses it promises, with the real hidapi
# backend on a machine where no bootloader is attached, and with the simulated one; and the
# process's life under signals, closed pipes, a trace path that names an update file, little
# memory and a full output.
set -u
flash="$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A single-instance guard of this run's own, apart from any real updater's.
export QUARVO_LOCK_DIR="$work"
# The update history of this run's own, apart from the user's.
export XDG_STATE_HOME="$work/state"
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

. "$(dirname "$0")/wait_for_line.sh"

if [ -z "$("$flash" --list 2>/dev/null | grep -v 'No bootloader')" ]; then
  expect 1 "設備連線失敗! 請檢查USB連接。" -C "$work"
  expect 1 "within 1 s" -C "$work" --wait=1
  # The single-instance guard's cases are tests/guard_process_test.sh's.
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
  # A shell without job control starts background commands with SIGINT ignored, which
  # quarvo-flash keeps ignored (as nohup's HUP): this one gets the default back.
  env --default-signal=INT "$flash" -C "$work/big" --simulate --real-time --trace "$trace" > /dev/null 2> "$errors" &
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

# ---- no false success, nothing the environment does ends an update silently ----

# The expected CRC-32 of a code file as the simulated device's summary shows it: the file and the
# zero bytes that fill its last page, and one page more.
code_crc() {
  python3 -c 'import sys, zlib
d = open(sys.argv[1], "rb").read()
pages = len(d) // 256 + 1
print("0x%08x" % zlib.crc32(d + bytes(pages * 256 - len(d))))' "$1"
}

# Code that would reach the database region at 0x640000 is refused before anything is sent; code
# that ends right there is written.
mkdir "$work/limit"
head -c 1000 /dev/urandom > "$work/limit/car_data.bin"
for size_case in "6512641 2" "6512640 0"; do
  set -- $size_case
  head -c "$1" /dev/urandom > "$work/limit/code_data.bin"
  output=$(timeout 60 "$flash" -C "$work/limit" --simulate 2>&1)
  got=$?
  if [ "$2" = 2 ]; then
    if [ "$got" = 2 ] && grep -qF "資料量過大!" <<<"$output" && ! grep -qF "正在清除" <<<"$output"; then
      pass; else fail "a $1-byte code file exited $got:"; echo "$output" | tail -n 5; fi
  elif [ "$got" = 0 ] && grep -qF "(code length $1)" <<<"$output" &&
       grep -qF "writes to flash that was not erased: 0" <<<"$output"; then
    pass
  else
    fail "a $1-byte code file exited $got:"; echo "$output" | tail -n 12
  fi
done

# A code file rewritten in place (same size, other contents) while it is read: every run is
# refused (seen changing while read, or still being written after the wait for it to settle) or
# writes one of the two contents whole, never a mix; at least one of them sees it.
mkdir "$work/rewrite"
head -c 6291456 /dev/urandom > "$work/rewrite/a.bin"
head -c 6291456 /dev/urandom > "$work/rewrite/b.bin"
cp "$work/rewrite/a.bin" "$work/rewrite/code_data.bin"
head -c 1000 /dev/urandom > "$work/rewrite/car_data.bin"
crc_a=$(code_crc "$work/rewrite/a.bin")
crc_b=$(code_crc "$work/rewrite/b.bin")
python3 - "$work/rewrite" <<'PY' &
import os, sys, time
d = sys.argv[1]
contents = [open(os.path.join(d, n), "rb").read() for n in ("a.bin", "b.bin")]
end = time.monotonic() + 60
i = 0
with open(os.path.join(d, "code_data.bin"), "r+b", buffering=0) as f:
    while time.monotonic() < end and not os.path.exists(os.path.join(d, "stop")):
        f.seek(0)
        f.write(contents[i % 2])
        i += 1
PY
writer=$!
refused=0
mixed=0
for _ in 1 2 3; do
  output=$(timeout 60 "$flash" -C "$work/rewrite" --simulate 2>&1)
  got=$?
  if [ "$got" = 2 ] && grep -qE "changed while being read|still being written after" <<<"$output"; then
    refused=$((refused + 1))
  elif [ "$got" = 0 ] && { grep -qF "written  0x0000a000  6291712 bytes  CRC-32 $crc_a" <<<"$output" ||
                           grep -qF "written  0x0000a000  6291712 bytes  CRC-32 $crc_b" <<<"$output"; }; then
    :
  else
    mixed=$((mixed + 1)); echo "$output" | tail -n 12
  fi
done
touch "$work/rewrite/stop"
wait $writer
if [ "$mixed" = 0 ] && [ "$refused" -gt 0 ]; then pass; else
  fail "rewritten while read: $refused refused, $mixed neither refused nor whole"; fi

# A file size limit makes trace writes fail; the update goes on and says so.
output=$( (ulimit -f 20; "$flash" -C "$work/mid" --simulate --trace "$work/limited.trace") 2>&1 )
got=$?
if [ "$got" = 0 ] && grep -qF "更新成功!" <<<"$output" && grep -qF "File too large" <<<"$output"; then
  pass; else fail "with ulimit -f 20 quarvo-flash exited $got:"; echo "$output" | tail -n 5; fi

# A FIFO without a reader is refused at once with the reason.
mkfifo "$work/trace.fifo"
expect 2 "nothing is reading it" -C "$work" --simulate --trace "$work/trace.fifo"

# A reader that stalls (the trace and the status lines into a pipe nobody reads) never holds the
# update nor a stop: the run ends, and says what the reader missed and how it ended.
stalled_case() {   # stalled_case NAME WANTED_STATUS WANTED_TEXT [SIGNAL]
  local name=$1 want=$2 text=$3 sig=${4:-}
  rm -f "$work/$name.status"
  ( "$flash" -C "$work/mid" --simulate --real-time --trace /dev/stdout 2> "$work/$name.err" &
    echo $! > "$work/$name.pid"; wait $!; echo $? > "$work/$name.status" ) | sleep 60 &
  local reader=$!
  if [ -n "$sig" ]; then sleep 1; kill -s "$sig" "$(cat "$work/$name.pid")"; fi
  wait_for_line "$work/$name.status" ""
  local got
  got=$(cat "$work/$name.status" 2>/dev/null)
  kill $reader 2>/dev/null
  wait $reader 2>/dev/null
  if [ "$got" = "$want" ] && grep -q "missing [0-9]* lines" "$work/$name.err" && grep -qF "$text" "$work/$name.err"; then
    pass; else fail "$name: with a stalled reader quarvo-flash ended with '$got':"; cat "$work/$name.err"; fi
}
stalled_case stalled_reader 0 "its reader did not keep up"
stalled_case stalled_reader_terminate 143 "incomplete update" TERM

# A hangup ignored when quarvo-flash started (nohup) stays ignored, through the wait too.
( trap '' HUP; exec "$flash" -C "$work" --simulate=late:2 --real-time --wait=20 \
    --trace "$work/nohup.trace" > "$work/nohup.out" 2>&1 ) &
pid=$!
sleep 0.5
kill -HUP $pid 2>/dev/null
wait $pid
got=$?
if [ "$got" = 0 ] && grep -qF "更新成功!" "$work/nohup.out"; then pass; else
  fail "with HUP ignored, a hangup during --wait gave $got:"; tail -n 3 "$work/nohup.out"; fi

# SIGTERM during a silent device's erase wait ends it long before the wait's 30 s bound.
"$flash" -C "$work" --simulate=silent --real-time --trace "$work/silent.trace" > /dev/null 2> "$work/silent.err" &
pid=$!
if wait_for_line "$work/silent.trace" "status 正在清除"; then
  kill -TERM $pid
  timeout 10 tail --pid=$pid -f /dev/null
  finished=$?
  wait $pid
  got=$?
  if [ "$finished" = 0 ] && [ "$got" = 143 ] && grep -q "incomplete update" "$work/silent.err"; then pass; else
    fail "SIGTERM in a silent erase wait: ended in time: $finished, status $got:"; cat "$work/silent.err"; fi
else
  fail "silent: the erase did not start"; kill -KILL $pid; wait $pid
fi

# Closed standard streams: nothing meant for them lands in the trace.
"$flash" -C "$work" --simulate --trace "$work/closed.trace" >&- 2>&-
got=$?
if [ "$got" = 0 ] && ! grep -q "^更新成功!" "$work/closed.trace" && ! grep -q "^Simulated device" "$work/closed.trace"; then
  pass; else fail "with stdout and stderr closed quarvo-flash exited $got; trace begins:"; head -n 3 "$work/closed.trace"; fi

# TERM=dumb: plain lines, no escape sequence, even on a terminal.
if command -v script > /dev/null; then
  TERM=dumb script -qec "\"$flash\" -C \"$work/mid\" --simulate" /dev/null > "$work/dumb.out" 2>&1
  if ! grep -q $'\e' "$work/dumb.out" && grep -qF "更新成功!" "$work/dumb.out"; then pass; else
    fail "TERM=dumb output has escape sequences:"; grep -c $'\e' "$work/dumb.out"; fi
fi

# Little memory: a clear message and exit 1, never an abort. (Not under AddressSanitizer, whose
# shadow memory needs more address space than the limit.)
if ! ldd "$flash" | grep -q libasan && ! ldd "$flash" | grep -q libtsan; then
  mkdir "$work/huge"
  head -c 6000000 /dev/urandom > "$work/huge/code_data.bin"
  head -c 16000000 /dev/urandom > "$work/huge/car_data.bin"
  output=$( (ulimit -v 30000; "$flash" -C "$work/huge" --simulate) 2>&1 )
  got=$?
  if [ "$got" = 1 ] && grep -qiE "memory" <<<"$output"; then pass; else fail "with little memory quarvo-flash exited $got:"; echo "$output" | tail -n 3; fi
fi

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
