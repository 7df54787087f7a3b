#!/usr/bin/env bash
# Runs the built quarvo-flash as processes that meet at the single-instance guard, on a machine
# where no bootloader is attached (an update then waits with --wait, or ends at once, past the
# guard): a waiting update keeps the next one off, also once its lock file is deleted; a lock held
# by a program that is no updater (flock) is named as such. As root with setpriv also as `nobody`:
# another user's update, a lock path that another user planted, the lock file deleted by the user
# who made it while root's update holds it, root's lock file serving every user, and the system's
# own lock directories where /run/lock cannot be written.
# quarvo-flash is copied first into a folder that every user may enter, so that the cases as
# `nobody` pass wherever the build lies (a checkout in a folder of mode 0700 included).
set -u
built="$1"
work=$(mktemp -d)
bin=$(mktemp -d /tmp/quarvo-guard-bin.XXXXXX)
locks=""
shared=""
fresh=""
waiting=""
cleanup() {
  [ -n "$waiting" ] && kill "$waiting" 2>/dev/null && wait "$waiting" 2>/dev/null
  rm -rf "$work" "$bin" ${locks:+"$locks"} ${shared:+"$shared"} ${fresh:+"$fresh"}
}
trap cleanup EXIT
chmod 755 "$bin"
cp "$built" "$bin/quarvo-flash"
chmod 755 "$bin/quarvo-flash"
flash="$bin/quarvo-flash"
# Nothing below depends on the folder the test was started in, which `nobody` may not enter.
cd / || exit 1
# A single-instance guard of this run's own, apart from any real updater's.
export QUARVO_LOCK_DIR="$work/locks"
# The update history of this run's own, apart from the user's.
export XDG_STATE_HOME="$work/state"
mkdir "$QUARVO_LOCK_DIR"
lock="$QUARVO_LOCK_DIR/GPS_UPDATE_CLIENT.lock"
head -c 5000 /dev/urandom > "$work/code_data.bin"
head -c 3000 /dev/urandom > "$work/car_data.bin"
passed=0
failures=0
NO_DEVICE="設備連線失敗! 請檢查USB連接。"
RUNNING="軟體正在使用中"

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
pass() {
  passed=$((passed + 1))
}

. "$(dirname "$0")/wait_for_line.sh"

# check NAME WANT_STATUS TEXT COMMAND...: the command exits WANT_STATUS and prints TEXT.
check() {
  local name=$1 want=$2 text=$3
  shift 3
  local output got
  output=$("$@" 2>&1)
  got=$?
  if [ "$got" = "$want" ] && grep -qF -- "$text" <<<"$output"; then pass; else
    fail "$name: exited $got (wanted $want with '$text'):"; echo "$output"; fi
}

# start_waiting OUTPUT COMMAND...: an update that holds the guard while it waits for the device.
start_waiting() {
  local output=$1
  shift
  "$@" -C "$shared_files" --wait=60 > "$output" 2>&1 &
  waiting=$!
  if ! wait_for_line "$output" "Waiting up to"; then
    fail "the waiting update did not start waiting:"; cat "$output"
  fi
}
stop_waiting() {
  kill "$waiting" 2>/dev/null
  wait "$waiting" 2>/dev/null
  waiting=""
}

if "$flash" --list 2>/dev/null | grep -qv 'No bootloader'; then
  echo "a bootloader is attached to this machine; skipping the guard's cases"
  exit 0
fi
shared_files="$work"

# A lock held by a program that is no updater is named, with its process.
output=$(flock "$lock" timeout 60 "$flash" -C "$work" 2>&1)
got=$?
if [ "$got" = 1 ] && grep -qF "$lock is locked by process " <<<"$output" &&
   grep -qF "(flock), which is not an updater" <<<"$output" &&
   grep -qF "nothing was sent" <<<"$output" && ! grep -qF "$RUNNING" <<<"$output"; then pass; else
  fail "with the lock held by flock quarvo-flash exited $got:"; echo "$output"; fi

# A waiting update keeps the next one off, also once its lock file is deleted; its end frees it.
start_waiting "$work/first.out" "$flash"
check "beside a waiting update" 1 "$RUNNING" timeout 60 "$flash" -C "$work"
rm -f "$lock"
check "beside a waiting update whose lock file was deleted" 1 "$RUNNING" \
  timeout 60 "$flash" -C "$work"
stop_waiting
check "after the waiting update ended" 1 "$NO_DEVICE" timeout 60 "$flash" -C "$work"

# One updater on the whole machine, whoever runs it. Needs root and setpriv.
if [ "$(id -u)" = 0 ] && command -v setpriv > /dev/null; then
  locks=$(mktemp -d /tmp/quarvo-locks.XXXXXX)
  shared=$(mktemp -d /tmp/quarvo-shared.XXXXXX)
  chmod 1777 "$locks"
  chmod 755 "$shared"
  cp "$work/code_data.bin" "$work/car_data.bin" "$shared/"
  chmod 644 "$shared"/*.bin
  shared_files="$shared"
  export QUARVO_LOCK_DIR="$locks"
  lock="$locks/GPS_UPDATE_CLIENT.lock"
  # An array, not a function: started in the background its process is the updater itself.
  as_nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)

  # nobody's waiting update keeps root's off.
  start_waiting "$work/nobody.out" "${as_nobody[@]}" "$flash"
  check "root beside nobody's waiting update" 1 "$RUNNING" timeout 60 "$flash" -C "$shared"
  stop_waiting

  # The lock file is nobody's (nobody's updater made it), so nobody may delete it from the
  # sticky directory while root's update holds it: the next updater is refused all the same.
  rm -f "$lock"
  check "nobody's first update" 1 "$NO_DEVICE" \
    "${as_nobody[@]}" timeout 60 "$flash" -C "$shared"
  if [ "$(stat -c %U "$lock" 2>/dev/null)" = nobody ]; then pass; else
    fail "nobody's update made no lock file of nobody's: $(ls -l "$lock" 2>&1)"; fi
  start_waiting "$work/root.out" "$flash"
  if "${as_nobody[@]}" rm "$lock" && [ ! -e "$lock" ]; then pass; else
    fail "nobody could not delete its lock file"; fi
  check "nobody after deleting the lock file of root's waiting update" 1 "$RUNNING" \
    "${as_nobody[@]}" timeout 60 "$flash" -C "$shared"
  check "root after nobody deleted the lock file of root's waiting update" 1 "$RUNNING" \
    timeout 60 "$flash" -C "$shared"
  stop_waiting

  # Root's lock file readable by all (as tmpfiles.d makes it) serves every user.
  rm -f "$lock"
  install -m 644 /dev/null "$lock"
  check "nobody with root's lock file" 1 "$NO_DEVICE" \
    "${as_nobody[@]}" timeout 60 "$flash" -C "$shared"
  start_waiting "$work/root.out" "$flash"
  check "nobody beside root's waiting update on root's lock file" 1 "$RUNNING" \
    "${as_nobody[@]}" timeout 60 "$flash" -C "$shared"
  stop_waiting

  # The system's own lock directories, no QUARVO_LOCK_DIR, in mount and network namespaces of the
  # test's own (so that no real updater is met): where /run/lock is upstream systemd's (0755, no
  # lock file) nobody's update uses /tmp, and root's, which uses /run/lock, is refused beside it.
  fresh=$(mktemp -d /tmp/quarvo-fresh-tmp.XXXXXX)
  chmod 1777 "$fresh"
  mkdir -m 755 "$fresh/bin" "$fresh/files"
  cp "$flash" "$fresh/bin/"
  cp "$shared"/*.bin "$fresh/files/"
  if [ -d /run/lock ] && unshare -m -n true 2>/dev/null; then
    # shellcheck disable=SC2016 # the script runs in the namespaces, with its own variables
    output=$(unshare -m -n env -u QUARVO_LOCK_DIR FRESH="$fresh" bash -c '
      mount -t tmpfs -o mode=0755 tmpfs /run/lock && mount --bind "$FRESH" /tmp || exit 99
      setpriv --reuid=nobody --regid=nogroup --clear-groups -- \
        /tmp/bin/quarvo-flash -C /tmp/files --wait=60 > /tmp/nobody.out 2>&1 &
      waiting=$!
      for _ in $(seq 1 600); do grep -q "Waiting up to" /tmp/nobody.out && break; sleep 0.1; done
      timeout 60 /tmp/bin/quarvo-flash -C /tmp/files
      echo "root exited $?"
      kill "$waiting"; wait "$waiting"
      echo "in /run/lock: [$(ls -A /run/lock)]"' 2>&1)
    got=$?
    if [ "$got" = 99 ]; then
      echo "no private /run/lock and /tmp could be mounted: skipping the system directories' case"
    elif grep -qF "$RUNNING" <<<"$output" && grep -qF "root exited 1" <<<"$output" &&
         grep -qF "in /run/lock: []" <<<"$output" &&
         [ "$(stat -c %U "$fresh/GPS_UPDATE_CLIENT.lock" 2>/dev/null)" = nobody ]; then pass; else
      fail "root beside nobody's update in /tmp (/run/lock 0755):"; echo "$output"
      ls -l "$fresh"; cat "$fresh/nobody.out"
    fi
  else
    echo "no mount and network namespaces: skipping the system directories' case"
  fi
  rm -rf "$fresh"

  # A lock path that another user planted (a link, a file only they may open) is refused with
  # the obstacle named, and nothing is sent.
  rm -f "$lock"
  ln -s /etc/passwd "$lock"
  output=$("${as_nobody[@]}" timeout 60 "$flash" -C "$shared" 2>&1)
  got=$?
  if [ "$got" = 1 ] && grep -qF "symbolic link" <<<"$output" && grep -qF "$lock" <<<"$output" &&
     grep -qF "nothing was sent" <<<"$output"; then pass; else
    fail "with the lock path a planted link quarvo-flash exited $got:"; echo "$output"; fi
  rm -f "$lock"
  install -m 600 /dev/null "$lock"
  check "with the lock path another user's file" 1 \
    "owned by user root (uid 0): Permission denied" \
    "${as_nobody[@]}" timeout 60 "$flash" -C "$shared"
else
  echo "not root or no setpriv: skipping the cases as another user"
fi

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
