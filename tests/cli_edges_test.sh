#!/usr/bin/env bash
# quarvo-flash at the process's edges: a terminal on hold, one stalled reader for both streams,
# signals that end an update, threads that cannot be started, outputs that cannot be written, a
# trace that is standard output, and the time a second Ctrl-C has. Every run is bounded: a hang
# fails its case (after HANG_BOUND seconds, far beyond the few seconds a run may take to end)
# instead of holding the suite.
set -u
flash="$1"
work=$(mktemp -d /tmp/quarvo-edges.XXXXXX)
chmod 755 "$work"
trap 'rm -rf "$work"' EXIT
# A single-instance guard of this run's own, apart from any real updater's.
export QUARVO_LOCK_DIR="$work"
# The update history of this run's own, apart from the user's.
export XDG_STATE_HOME="$work/state"
HANG_BOUND=30
mkdir "$work/small" "$work/mid" "$work/big"
head -c 5000 /dev/urandom > "$work/small/code_data.bin"
head -c 3000 /dev/urandom > "$work/small/car_data.bin"
# About five seconds at a real device's pace.
head -c 200000 /dev/urandom > "$work/mid/code_data.bin"
head -c 100000 /dev/urandom > "$work/mid/car_data.bin"
# Long enough to be interrupted at leisure (about a minute at a real device's pace).
head -c 1500000 /dev/urandom > "$work/big/code_data.bin"
head -c 500000 /dev/urandom > "$work/big/car_data.bin"
chmod -R a+rX "$work"
passed=0
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { passed=$((passed + 1)); }
sanitized=no
if ldd "$flash" | grep -qE 'libasan|libtsan'; then sanitized=yes; fi

. "$(dirname "$0")/wait_for_line.sh"

# Waits until FILE exists and is not empty (at most HANG_BOUND s).
wait_for_file() {
  for _ in $(seq 1 $((HANG_BOUND * 10))); do
    [ -s "$1" ] && return 0
    sleep 0.1
  done
  return 1
}

# ---- a terminal on hold (Ctrl-S) ----
# The update fails (or is stopped) while nothing can be written to the terminal: the process
# still ends, with its status, instead of waiting for Ctrl-Q for ever.
held_terminal() {   # held_terminal NAME WANTED_STATUS SIGNAL ARGS...
  local name=$1 want=$2 sig=$3
  shift 3
  python3 - "$flash" "$want" "$sig" "$HANG_BOUND" "$@" > "$work/$name.held" 2>&1 <<'PY'
import os, pty, signal, sys, time
flash, want, sig, bound = sys.argv[1], int(sys.argv[2]), sys.argv[3], float(sys.argv[4])
pid, master = pty.fork()
if pid == 0:
    os.execv(flash, [flash] + sys.argv[5:])
# Once the first status line is shown the terminal is put on hold (Ctrl-S, as a user would
# press it) and nothing more is read.
seen = b""
while b"\n" not in seen:
    try:
        seen += os.read(master, 1024)
    except OSError:
        break
os.write(master, b"\x13")
if sig != "none":
    time.sleep(1)
    os.kill(pid, getattr(signal, sig))
end = time.monotonic() + bound
status = None
while time.monotonic() < end:
    done, raw = os.waitpid(pid, os.WNOHANG)
    if done:
        status = os.waitstatus_to_exitcode(raw)
        break
    time.sleep(0.05)
if status is None:
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    print("still running after %d s on a terminal on hold" % bound)
    sys.exit(1)
if status != want:
    print("ended with %d, wanted %d" % (status, want))
    sys.exit(1)
PY
  if [ $? = 0 ]; then pass; else fail "$name:"; cat "$work/$name.held"; fi
}
held_terminal held_terminal_failure 1 none -C "$work/mid" --simulate=write-fail:500 --real-time
held_terminal held_terminal_terminate 143 SIGTERM -C "$work/big" --simulate --real-time

# ---- standard output and error on one reader that never reads ----
stalled_pipe() {   # stalled_pipe NAME WANTED_STATUS "SIGNAL..." ARGS...
  local name=$1 want=$2 sigs=$3
  shift 3
  rm -f "$work/$name.status" "$work/$name.pid"
  # A shell without job control starts background commands with SIGINT ignored, which
  # quarvo-flash keeps ignored (as nohup's HUP): this one gets the default back.
  ( env --default-signal=INT "$flash" "$@" 2>&1 &
    echo $! > "$work/$name.pid"; wait $!; echo $? > "$work/$name.status" ) | sleep $((HANG_BOUND + 30)) &
  local reader=$!
  if [ "$sigs" != none ]; then
    wait_for_file "$work/$name.pid"
    sleep 1
    for sig in $sigs; do
      kill -s "$sig" "$(cat "$work/$name.pid")"
      sleep 0.3
    done
  fi
  if wait_for_file "$work/$name.status" && [ "$(cat "$work/$name.status")" = "$want" ]; then
    pass
  else
    fail "$name: with both streams on a stalled pipe the run ended with '$(cat "$work/$name.status" 2>/dev/null)' (wanted $want)"
    kill -KILL "$(cat "$work/$name.pid")" 2>/dev/null
  fi
  kill $reader 2>/dev/null
  wait $reader 2>/dev/null
}
stalled_pipe stalled_pipe_failure 1 none -C "$work/mid" --simulate=write-fail:500 --real-time \
  --trace /dev/stdout
stalled_pipe stalled_pipe_terminate 143 TERM -C "$work/big" --simulate --real-time \
  --trace /dev/stdout
stalled_pipe stalled_pipe_two_interrupts 130 "INT INT" -C "$work/big" --simulate --real-time \
  --trace /dev/stdout

# ---- signals whose default would end the process silently ----
for sig in QUIT USR1 USR2 ALRM; do
  trace="$work/sig_$sig.trace"
  errors="$work/sig_$sig.err"
  # A shell without job control starts background commands with SIGINT and SIGQUIT ignored,
  # which quarvo-flash keeps ignored (as nohup's HUP): this one gets the defaults back.
  env --default-signal "$flash" -C "$work/big" --simulate --real-time --trace "$trace" \
    > /dev/null 2> "$errors" &
  pid=$!
  if ! wait_for_line "$trace" "out \[65\] 00 c3 0e"; then
    fail "SIG$sig: the update did not start"; kill -KILL $pid; wait $pid; continue
  fi
  kill -s "$sig" $pid
  timeout "$HANG_BOUND" tail --pid=$pid -f /dev/null
  wait $pid
  got=$?
  number=$(kill -l "$sig")
  if [ "$got" = $((128 + number)) ] && grep -q "stopped by SIG$sig" "$errors" &&
     grep -q "incomplete update" "$errors" && tail -n 1 "$trace" | grep -q " stopped SIG$sig"; then
    pass
  else
    fail "SIG$sig mid-write: status $got; stderr:"; cat "$errors"; echo "trace ends:"; tail -n 2 "$trace"
  fi
done

# ---- the second Ctrl-C must come within 5 s: 5.5 s later it only asks again ----
errors="$work/late_second.err"
env --default-signal=INT "$flash" -C "$work/big" --simulate --real-time --trace "$work/late.trace" \
  > /dev/null 2> "$errors" &
pid=$!
if wait_for_line "$work/late.trace" "out \[65\] 00 c3 0e"; then
  kill -INT $pid
  sleep 5.5
  kill -INT $pid
  sleep 1
  if kill -0 $pid 2>/dev/null && [ "$(grep -c "again within 5 seconds" "$errors")" = 2 ]; then
    pass
  else
    fail "a second Ctrl-C 5.5 s after the first stopped the update:"; cat "$errors"
  fi
  kill -TERM $pid 2>/dev/null
  timeout "$HANG_BOUND" tail --pid=$pid -f /dev/null
else
  fail "late second interrupt: the update did not start"; kill -KILL $pid
fi
wait $pid 2>/dev/null

# ---- outputs that cannot be written ----
"$flash" --list --simulate > /dev/full 2> "$work/list_full.err"
got=$?
if [ "$got" = 1 ] && grep -q "could not be written" "$work/list_full.err"; then pass; else
  fail "--list > /dev/full exited $got:"; cat "$work/list_full.err"; fi
"$flash" -C "$work/small" --simulate > /dev/full 2> "$work/update_full.err"
got=$?
if [ "$got" = 0 ] && grep -q "standard output could not be written" "$work/update_full.err"; then
  pass; else fail "an update with stdout on /dev/full exited $got:"; cat "$work/update_full.err"; fi

# ---- a trace that is standard output shares its file instead of writing over it ----
# The same run with the two apart says how many lines each has.
"$flash" -C "$work/small" --simulate --trace "$work/apart.trace" > "$work/apart.out" 2>&1
"$flash" -C "$work/small" --simulate --trace /dev/stdout > "$work/shared.out" 2>&1
got=$?
lines_apart=$(( $(wc -l < "$work/apart.trace") + $(wc -l < "$work/apart.out") ))
if [ "$got" = 0 ] && [ "$(wc -l < "$work/shared.out")" = "$lines_apart" ] &&
   grep -q "out \[65\] 00 71 0e" "$work/shared.out" && grep -q "^更新成功!" "$work/shared.out" &&
   grep -q "^Simulated device:" "$work/shared.out"; then
  pass
else
  fail "--trace /dev/stdout > file exited $got with $(wc -l < "$work/shared.out") lines of $lines_apart:"
  head -n 3 "$work/shared.out"
fi

# ---- threads that cannot be started, memory that runs out ----
if [ "$sanitized" = no ]; then
  output=$( (ulimit -v 15000; "$flash" -C "$work/small" --simulate) 2>&1 )
  got=$?
  if [ "$got" = 1 ] && ! grep -q "terminate called" <<<"$output" && grep -qiE "thread|memory" <<<"$output"; then
    pass; else fail "with ulimit -v 15000 quarvo-flash exited $got:"; echo "$output" | tail -n 3; fi
  # Threads counted per user: as nobody, with no thread to spare. Needs root and setpriv; the
  # binary is copied where every user may run it.
  if [ "$(id -u)" = 0 ] && command -v setpriv > /dev/null; then
    cp "$flash" "$work/quarvo-flash"
    chmod 755 "$work/quarvo-flash"
    output=$(setpriv --reuid=nobody --regid=nogroup --clear-groups -- \
               bash -c 'ulimit -u 1; exec "$0" -C "$1" --simulate' "$work/quarvo-flash" "$work/small" 2>&1)
    got=$?
    if [ "$got" = 1 ] && grep -q "cannot start" <<<"$output" && ! grep -q "terminate called" <<<"$output"; then
      pass; else fail "with ulimit -u 1 quarvo-flash exited $got:"; echo "$output" | tail -n 3; fi
  fi
fi

# ---- a system bus that accepts and never answers ----
# Asking logind to hold the system back costs at most its bound, and a stop meanwhile ends the
# asking at once. Only without a real bootloader (the update then fails at its first open).
if [ -z "$("$flash" --list 2>/dev/null | grep -v 'No bootloader')" ]; then
  python3 - "$work/bus.sock" <<'PY' &
import socket, sys, time
server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
server.bind(sys.argv[1])
server.listen(8)
held = []
end = time.monotonic() + 120
server.settimeout(1)
while time.monotonic() < end:
    try:
        held.append(server.accept()[0])  # accepted, never answered
    except socket.timeout:
        pass
PY
  bus=$!
  for _ in $(seq 1 100); do [ -S "$work/bus.sock" ] && break; sleep 0.1; done
  output=$(DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/bus.sock" timeout -k 5 "$HANG_BOUND" \
             "$flash" -C "$work/small" 2>&1)
  got=$?
  if [ "$got" = 1 ] && grep -qF "may sleep or shut down" <<<"$output" &&
     grep -qF "設備連線失敗" <<<"$output"; then pass; else
    fail "with a bus that never answers quarvo-flash exited $got:"; echo "$output" | tail -n 4; fi
  DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/bus.sock" "$flash" -C "$work/small" \
    > "$work/bus_term.out" 2>&1 &
  pid=$!
  sleep 0.7
  kill -TERM $pid
  timeout "$HANG_BOUND" tail --pid=$pid -f /dev/null
  wait $pid
  got=$?
  if [ "$got" = 143 ] && grep -qF "Nothing was sent" "$work/bus_term.out"; then pass; else
    fail "SIGTERM while the bus is asked: status $got:"; tail -n 4 "$work/bus_term.out"; fi
  kill $bus 2>/dev/null
  wait $bus 2>/dev/null
fi

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
