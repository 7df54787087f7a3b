#!/bin/sh
# /init of the end-to-end guest: loads the HID modules, runs each case against the uhid device and
# prints one "E2E ..." line per result on the console, then powers off.
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
for module in $(cat /modules/order); do insmod /modules/$module.ko || echo "E2E FAIL setup insmod $module"; done
dmesg -n 1
echo   # the results start on a clean line, after whatever the console printed
: > /tmp/dmesg.before

result() { echo "E2E $*"; }

wait_node() {   # waits until a hidraw node exists (or, with "gone", until none does)
  for _ in $(seq 1 100); do
    if ls /dev/hidraw* >/dev/null 2>&1; then [ "$1" = gone ] || return 0
    else [ "$1" = gone ] && return 0; fi
    sleep 0.1
  done
  return 1
}

nodes_changed() { :; }   # the wine cases mirror the hidraw nodes here

start_device() {   # start_device SCENARIO OUTDIR
  mkdir -p "$2"
  quarvo-uhid-device --scenario "$1" --out "$2" > "$2/device.log" 2>&1 &
  DEVICE=$!
  wait_node || result "FAIL $CASE the uhid device did not appear"
  nodes_changed
}

stop_device() {
  kill -TERM "$DEVICE" 2>/dev/null
  wait "$DEVICE" 2>/dev/null
  wait_node gone || result "FAIL $CASE the uhid device did not go away"
  nodes_changed
}

check_testbed() {
  if dmesg | grep -q "Output queue is full"; then
    result "TESTBED-FAULT $CASE the kernel dropped output reports (uhid queue full)"
    dmesg -c > /dev/null
  fi
}

flash() {   # flash DIR [ARGS]: runs quarvo-flash in DIR, leaves its output in $OUT and status in $RC
  dir=$1; shift
  OUT=$(cd "$dir" && timeout 120 quarvo-flash "$@" 2>&1)
  RC=$?
}

expect_failure() {   # expect_failure WANTED_TEXT
  if [ "$RC" -eq 0 ] || [ "$RC" -eq 124 ]; then result "FAIL $CASE exit status $RC"; return 1; fi
  if echo "$OUT" | grep -q "更新成功!"; then result "FAIL $CASE printed success"; return 1; fi
  if ! echo "$OUT" | grep -q "$1"; then result "FAIL $CASE did not say: $1"; echo "$OUT"; return 1; fi
  result "PASS $CASE (exit $RC)"
}

# update_case NAME FILES SCENARIO: a whole update from /cases/FILES against the device in
# SCENARIO must succeed and leave the device holding /expect/FILES.
update_case() {
  CASE=$1
  start_device "$3" "/out/$CASE"
  flash "/cases/$2"
  stop_device
  check_testbed
  bad=""
  [ "$RC" -eq 0 ] || bad="$bad exit=$RC"
  echo "$OUT" | tail -n 1 | grep -q "更新成功!" || bad="$bad no-success-line"
  grep -q "^restarted yes" "/out/$CASE/state.txt" || bad="$bad not-restarted"
  grep -q "^unerased 0" "/out/$CASE/state.txt" || bad="$bad unerased-writes"
  grep -q "^violations 0" "/out/$CASE/state.txt" || bad="$bad protocol-violations"
  for want in /expect/$2/region_*; do
    cmp -s "$want" "/out/$CASE/$(basename "$want")" || bad="$bad $(basename "$want")-differs"
  done
  if [ -z "$bad" ]; then result "PASS $CASE"; else
    result "FAIL $CASE$bad"; echo "$OUT"; cat "/out/$CASE/state.txt" "/out/$CASE/device.log"; dmesg | tail -n 20
  fi
}

# Healthy updates: every size of /cases/healthy-*.
healthy_cases() {
  for dir in /cases/healthy-*; do
    update_case "$(basename "$dir")" "$(basename "$dir")" healthy
  done
  # A device that answers every erase at once: its records, "over" included, arrive while the
  # erase command's own handle is open, and only that handle can see them.
  update_case instant-erase healthy-3 instant-erase
}

# Devices that fail the update, each with what the updater must say.
failure_cases() {
  CASE=no-device
  flash /cases/healthy-1
  expect_failure "設備連線失敗! 請檢查USB連接。"

  CASE=vanishes-during-data
  start_device disconnect:300 /out/$CASE
  flash /cases/healthy-1
  stop_device
  expect_failure "寫入資料錯誤"

  CASE=endless-erase
  start_device endless /out/$CASE
  flash /cases/healthy-1
  stop_device
  expect_failure "讀取清除訊息錯誤!"
}

# With the wine disk the Windows executables take the cases instead (guest_wine.sh).
[ -f /guest_wine.sh ] && . /guest_wine.sh

healthy_cases
failure_cases

# Two updaters for one device: the second is turned away before it opens anything, while the
# first sits in an erase that never ends.
CASE=second-updater
start_device endless /out/$CASE
(cd /cases/healthy-1 && exec quarvo-flash > /tmp/first.out 2>&1) &
FIRST=$!
sleep 2
flash /cases/healthy-1
kill -TERM $FIRST 2>/dev/null
wait $FIRST
FIRST_RC=$?
stop_device
if [ "$FIRST_RC" -ne 143 ]; then
  result "FAIL $CASE the first updater ended with $FIRST_RC, not 143"; cat /tmp/first.out
else
  expect_failure "軟體正在使用中"
fi

CASE=no-permission
start_device healthy /out/$CASE
chmod 600 /dev/hidraw*
LIST=$(su -s /bin/sh nobody -c "quarvo-flash --list" 2>&1)
LIST_RC=$?
OUT=$(cd /cases/healthy-1 && su -s /bin/sh nobody -c "timeout 120 quarvo-flash" 2>&1)
RC=$?
stop_device
if [ "$LIST_RC" -ne 1 ] || ! echo "$LIST" | grep -q "cannot be opened" || ! echo "$LIST" | grep -q "udev"; then
  result "FAIL $CASE --list did not explain the refusal (exit $LIST_RC)"; echo "$LIST"
else
  expect_failure "cannot be opened"
fi

# The throughput figure, when asked for: the code's data phase of quarvo-flash and a bare loop of
# as many report writes, alternately, three times each; the device times both.
if [ -f /cases/throughput-pages ]; then
  pages=$(cat /cases/throughput-pages)
  for round in 1 2 3; do
    CASE=throughput-flash-$round
    start_device healthy "/out/$CASE"
    flash /cases/healthy-1
    stop_device
    check_testbed
    [ "$RC" -eq 0 ] || result "FAIL $CASE exit $RC"
    grep "^program 0000a000" "/out/$CASE/state.txt" | sed "s/^/E2E TIMING flash /"
    CASE=throughput-bare-$round
    start_device healthy "/out/$CASE"
    quarvo-e2e-writeloop "$pages" || result "FAIL $CASE the bare loop failed"
    stop_device
    check_testbed
    grep "^program 0000a000" "/out/$CASE/state.txt" | sed "s/^/E2E TIMING bare /"
  done
fi

result DONE
poweroff -f
