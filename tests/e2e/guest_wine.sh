# The Windows cases of the end-to-end guest, sourced by guest_init.sh when the guest has the wine
# disk (run_e2e.sh --wine): the unchanged Windows executables under Debian's wine 10, whose HID bus
# reads the uhid device's hidraw node and hands it to wine's HID class driver, against the same
# device and with the same checks as the Linux cases. Ends by printing "E2E DONE".

X_START_S=30       # the X server's start
WINE_START_S=300   # wine's first start in the emulated guest
FIRST_UPDATER_S=15 # for the first of two updaters to reach the erase
WINDOW_CASE_S=600  # the window's whole case: wine's X start, the dialog, the update
WINDOW_END_S=30    # for the window to go once its user has closed it
FIRST_END_S=30     # for the first of two updaters to end once it is told to
WINE_DEVICE_S=60   # for wine's HID stack to show a device the kernel made, or to drop one

root=/wine
mkdir -p $root
mount -t ext4 /dev/vda $root || result "FAIL setup the wine disk did not mount"
mount -t proc proc $root/proc
mount -t sysfs sysfs $root/sys
mount -t tmpfs tmpfs $root/tmp
# A /dev of wine's own, where the guest makes each hidraw node in one step, as udev would: on the
# kernel's devtmpfs a new node's attributes change right after it appears, and wine's HID bus then
# drops the device it has just added and does not take it up again.
mount -t tmpfs tmpfs $root/dev
for node in null zero full random urandom tty ptmx; do cp -a /dev/$node $root/dev/; done
mkdir -p $root/dev/pts $root/dev/shm $root/cases
mount -t devpts devpts $root/dev/pts
mount -t tmpfs tmpfs $root/dev/shm
mount -o bind /cases $root/cases
# The executables, where wine inside that root reaches them.
cp -r /windows $root/tmp/windows

nodes_changed() {
  for node in /sys/class/hidraw/hidraw*; do
    [ -e "$node/dev" ] || continue
    name=$(basename "$node")
    [ -e "$root/dev/$name" ] || mknod -m 600 "$root/dev/$name" c $(tr ':' ' ' < "$node/dev")
  done
  for node in "$root"/dev/hidraw*; do
    [ -e "$node" ] && [ ! -e "/sys/class/hidraw/$(basename "$node")" ] && rm -f "$node"
  done
  # wine's HID bus takes a new or removed node up in its own time (slowly on a busy machine), as
  # Windows does a device that is plugged in: a case starts once wine's stack shows the change.
  if ls "$root"/dev/hidraw* > /dev/null 2>&1; then
    in_wine timeout $((WINE_DEVICE_S + 60)) wine /tmp/windows/quarvo-flash.exe --list \
      --wait=$WINE_DEVICE_S < /dev/null > /tmp/list.out 2>&1
    grep -q "can be opened" /tmp/list.out ||
      { result "FAIL $CASE wine did not show the device"; cat /tmp/list.out; }
    # The first time, the listing that answered: hidapi's own, or SetupAPI's where it cannot list.
    if [ -z "${LISTING_SHOWN:-}" ]; then
      LISTING_SHOWN=yes
      listing=$(grep "^Listed by " /tmp/list.out)
      if [ -n "$listing" ]; then result "PASS listing: $listing"; else
        result "FAIL listing: --list did not say which listing answered"; cat /tmp/list.out; fi
    fi
  else
    for _ in $(seq 1 $WINE_DEVICE_S); do
      in_wine timeout $WINE_DEVICE_S wine /tmp/windows/quarvo-flash.exe --list < /dev/null \
        > /tmp/list.out 2>&1
      grep -q "No bootloader" /tmp/list.out && return
      sleep 1
    done
    result "FAIL $CASE wine still showed a removed device"
  fi
}

end_within() {   # end_within SECONDS PID: waits that long for PID to end, then ends it
  for _ in $(seq 1 $(($1 * 10))); do kill -0 "$2" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$2" 2>/dev/null; then
    result "FAIL $CASE process $2 did not end within $1 s"; kill -KILL "$2"
  fi
  wait "$2"
}

in_wine() {
  chroot $root env -i PATH=/usr/bin:/bin HOME=/root XDG_RUNTIME_DIR=/tmp WINEPREFIX=/root/.wine \
    WINEDEBUG=-all DISPLAY=:1 "$@"
}

# The X server first: wine's desktop (explorer.exe) starts with wine and, without a display, fails,
# and a window then waits on it for good.
in_wine Xvfb :1 -screen 0 1024x768x24 -nolisten tcp > /tmp/xvfb.log 2>&1 &
for _ in $(seq 1 $((X_START_S * 10))); do [ -e $root/tmp/.X11-unix/X1 ] && break; sleep 0.1; done
[ -e $root/tmp/.X11-unix/X1 ] || result "FAIL setup the X server did not start"
# wine's services start with the first wine program and keep its standard output open: started
# on their own here, they hold no later program's output (or a $(...) around it) open.
in_wine wineserver -p
in_wine timeout $WINE_START_S wineboot > /tmp/wine-start.log 2>&1 ||
  { result "FAIL setup wine did not start"; cat /tmp/wine-start.log; }

# flash DIR [ARGS]: quarvo-flash.exe in DIR (or, with FRONT_END=window, the window in DIR with 更新
# pressed by its user); its output in $OUT, its status in $RC.
FRONT_END=cli
flash() {
  dir=$1; shift
  if [ "$FRONT_END" = window ]; then
    in_wine sh -c 'cd "$1" && exec wine /tmp/windows/quarvo-updater.exe' sh "$dir" \
      < /dev/null > /tmp/window.out 2>&1 &
    window=$!
    in_wine timeout $WINDOW_CASE_S wine /tmp/windows/quarvo-e2e-press-update.exe \
      < /dev/null > /tmp/flash.out 2>&1
    RC=$?
    end_within $WINDOW_END_S $window
    # What the window itself printed comes first; the last line is the status its user saw last.
    cat /tmp/window.out /tmp/flash.out > /tmp/both.out
    mv /tmp/both.out /tmp/flash.out
  else
    in_wine sh -c 'cd "$1" && shift && exec timeout 120 wine /tmp/windows/quarvo-flash.exe "$@"' \
      sh "$dir" "$@" < /dev/null > /tmp/flash.out 2>&1
    RC=$?
  fi
  OUT=$(cat /tmp/flash.out)
}

healthy_cases
# The window: one whole update, 更新 pressed by its user, ending in 更新成功!.
FRONT_END=window
update_case window healthy-1 healthy
FRONT_END=cli
failure_cases

# Two updaters for one device: the second is turned away (wine's named mutexes) before it opens
# anything, while the first sits in an erase that never ends.
CASE=second-updater
start_device endless /out/$CASE
in_wine sh -c 'cd /cases/healthy-1 && exec wine /tmp/windows/quarvo-flash.exe' \
  < /dev/null > /tmp/first.out 2>&1 &
FIRST=$!
sleep $FIRST_UPDATER_S
flash /cases/healthy-1
kill -TERM $FIRST 2>/dev/null
end_within $FIRST_END_S $FIRST
stop_device
expect_failure "軟體正在使用中"

result DONE
poweroff -f
