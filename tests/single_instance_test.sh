#!/usr/bin/env bash
# Runs quarvo-updater as a user would, on an X display (run it under xvfb-run): a second copy
# started while one runs shows its message box, captioned with the program's name, instead of
# the dialog and ends with exit code 1 once the box is dismissed; the first copy keeps running; a
# copy started after the first has ended runs normally. Also: the window offers the window manager
# no maximise, and the one argument it takes is a folder (more, or an option, is a usage error).
set -u
updater="$1"
title="道路安全警示系統更新介面"
box_title="$(basename "$updater")"
failures=0
passes=0
pids=()
trap 'kill "${pids[@]}" 2>/dev/null' EXIT

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { passes=$((passes + 1)); }

# Waits up to 60 s (a sanitizer build on a loaded machine starts slowly) for a visible window
# with exactly this name; prints its ids.
wait_window() {
  for _ in $(seq 1 600); do
    ids=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null)
    if [ -n "$ids" ]; then
      echo "$ids"
      return 0
    fi
    sleep 0.1
  done
  return 1
}

# The arguments: at most one, a folder; --help answers on standard output.
help=$("$updater" --help 2>/dev/null)
[ $? -eq 0 ] && [[ "$help" == "usage: quarvo-updater [FOLDER]"* ]] && pass \
  || fail "--help did not answer with the usage"
for arguments in "one two" "--verbose"; do
  # shellcheck disable=SC2086 # each word an argument
  usage=$("$updater" $arguments 2>&1 >/dev/null)
  status=$?
  [ "$status" -eq 2 ] && [[ "$usage" == usage:* ]] && pass \
    || fail "'$arguments' exited with $status, not 2 with the usage"
done

work=$(mktemp -d)
cd "$work" || exit 1
# A single-instance guard of this run's own, apart from any real updater's.
export QUARVO_LOCK_DIR="$work"

"$updater" & first=$!
pids+=("$first")
if dialog=$(wait_window "$title"); then
  pass
  # A window of fixed size: its Motif hints give the window manager functions and decorations
  # (flags 0x3) without "all" (0x1) and without maximise (function 0x10, button 0x40).
  for id in $dialog; do
    hints=$(xprop -id "$id" _MOTIF_WM_HINTS 2>/dev/null | sed -n 's/^.*= //p')
    [ -n "$hints" ] || continue
    IFS=', ' read -r flags functions decorations _ <<< "$hints"
    (( (flags & 3) == 3 && (functions & 0x11) == 0 && (decorations & 0x41) == 0 )) && pass \
      || fail "the window manager is offered a maximise: _MOTIF_WM_HINTS $hints"
  done
else
  fail "the first copy showed no dialog"
fi

"$updater" & second=$!
pids+=("$second")
if box=$(wait_window "$box_title"); then
  pass
  [ "$(xdotool search --onlyvisible --name "^$title\$" | wc -l)" -eq 1 ] && pass \
    || fail "the second copy showed its dialog"
  # Dismiss the box with Enter (sent to every window of that name: Qt may map more than one).
  for id in $box; do xdotool key --window "$id" Return 2>/dev/null; done
  for _ in $(seq 1 100); do kill -0 "$second" 2>/dev/null || break; sleep 0.1; done
else
  fail "the second copy showed no message box"
fi
wait "$second"
status=$?
[ "$status" -eq 1 ] && pass || fail "the second copy exited with $status, not 1"
kill -0 "$first" 2>/dev/null && pass || fail "the first copy did not survive the second"

# SIGTERM (a logout, a kill) ends the idle window at once, with the signal's status.
kill -TERM "$first"
for _ in $(seq 1 300); do kill -0 "$first" 2>/dev/null || break; sleep 0.1; done
wait "$first" 2>/dev/null
status=$?
[ "$status" -eq 143 ] && pass || fail "the first copy ended with $status after SIGTERM, not 143"
"$updater" 2>"$work/third.err" & third=$!
pids+=("$third")
if wait_window "$title" >/dev/null; then
  pass
  kill "$third"
  wait "$third" 2>/dev/null
elif kill -0 "$third" 2>/dev/null; then
  fail "a copy started after the first ended showed no dialog (still running)"
else
  wait "$third"
  fail "a copy started after the first ended showed no dialog (it exited with $?; it said:
$(cat "$work/third.err"))"
fi
rm -rf "$work"

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
