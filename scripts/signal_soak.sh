#!/usr/bin/env bash
# Random signals at random moments against quarvo-flash's simulated updates at a real device's
# pace: counts the runs that hang (each is bounded by `timeout -k 5 60`) and the silent ends (a run
# that sent a report and did not succeed, without saying so on standard error). A program, not a
# test: it takes minutes and is run by hand.
#   scripts/signal_soak.sh [RUNS] [QUARVO_FLASH]
set -u
runs=${1:-100}
flash=${2:-build/debug/cli/quarvo-flash}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c 120000 /dev/urandom > "$work/code_data.bin"
head -c 60000 /dev/urandom > "$work/car_data.bin"
signals=(INT TERM HUP QUIT USR1 USR2 ALRM)
hangs=0
silent=0
succeeded=0
stopped=0
failed=0
for run in $(seq 1 "$runs"); do
  first=${signals[RANDOM % ${#signals[@]}]}
  second=${signals[RANDOM % ${#signals[@]}]}
  trace="$work/run.trace"
  errors="$work/run.err"
  rm -f "$trace"
  # Every signal at its default, as from an interactive shell.
  timeout -k 5 60 env --default-signal "$flash" -C "$work" --simulate --real-time \
    --trace "$trace" > /dev/null 2> "$errors" &
  pid=$!
  sleep "$(awk -v r=$RANDOM 'BEGIN { printf "%.2f", r % 300 / 100 }')"
  # timeout's child is the updater: the signal goes to it, not to timeout.
  target=$(pgrep -P $pid | head -n 1)
  kill -s "$first" "${target:-$pid}" 2>/dev/null
  if [ $((RANDOM % 2)) = 0 ]; then
    sleep "$(awk -v r=$RANDOM 'BEGIN { printf "%.2f", r % 150 / 100 }')"
    kill -s "$second" "${target:-$pid}" 2>/dev/null
  fi
  wait $pid
  status=$?
  sent=no
  grep -q " out \[65\]" "$trace" 2>/dev/null && sent=yes
  if [ "$status" = 124 ] || [ "$status" = 137 ]; then
    hangs=$((hangs + 1))
    echo "run $run: HANG after SIG$first / SIG$second"
  elif [ "$status" = 0 ]; then
    succeeded=$((succeeded + 1))
  elif [ "$sent" = yes ] && ! grep -q "incomplete update" "$errors"; then
    silent=$((silent + 1))
    echo "run $run: SILENT END $status after SIG$first / SIG$second:"; cat "$errors"
  elif [ "$status" -gt 128 ]; then
    stopped=$((stopped + 1))
  else
    failed=$((failed + 1))
  fi
done
echo "$runs runs: $succeeded succeeded, $stopped stopped by a signal, $failed failed otherwise," \
  "$hangs hung, $silent ended silently"
[ "$hangs" = 0 ] && [ "$silent" = 0 ]
