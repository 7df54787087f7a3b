#!/usr/bin/env bash
# End-to-end test: quarvo-flash through hidapi and the Linux kernel's own hidraw stack against the
# simulated bootloader made a real HID device with uhid, inside a QEMU guest that boots Debian's
# kernel from a small initramfs. Prints each case's result, the throughput figure (data phase of
# quarvo-flash against a bare loop of report writes, with --throughput) and "N passed, N failed".
# With --wine the Windows build's executables take the cases, under Debian's wine 10 on a disk of
# its own (wine_guest_image.sh builds it once per machine, into QUARVO_WINE_GUEST_IMAGE).
#   run_e2e.sh [--throughput] [--wine WINDOWS_BUILD_DIR]
#              QUARVO_FLASH QUARVO_UHID_DEVICE QUARVO_E2E_WRITELOOP QUARVO_E2E_EXPECT
set -euo pipefail
throughput=no
windows_build=""
while [ $# -gt 4 ]; do
  case "$1" in
    --throughput) throughput=yes; shift ;;
    --wine) windows_build=$2; shift 2 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done
flash=$1 device=$2 writeloop=$3 expect=$4
here=$(cd "$(dirname "$0")" && pwd)

kernel=$(ls /boot/vmlinuz-* 2>/dev/null | sort -V | tail -n 1)
if [ -z "$kernel" ]; then
  echo "no kernel in /boot: install linux-image-amd64 (scripts/setup.sh does)"
  exit 1
fi
version=${kernel#/boot/vmlinuz-}
modules="hid hid-generic uhid"
guest=(-m 1024)
guest_time_s=800
if [ -n "$windows_build" ]; then
  # The wine disk: a virtio disk with ext4 (which asks for crc32c when it mounts).
  modules="$modules virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci"
  modules="$modules virtio_blk crc32c_generic crc16 mbcache jbd2 ext4"
  image=$("$here/wine_guest_image.sh" \
    "${QUARVO_WINE_GUEST_IMAGE:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/quarvo/wine-guest.img}")
  guest=(-m 1536 -drive "file=$image,format=raw,if=virtio,snapshot=on")
  guest_time_s=1500
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
mkdir -p "$root"/{bin,dev,proc,sys,tmp,etc,modules,cases,expect,out}

cp /bin/busybox "$root/bin/busybox"
for applet in $("$root/bin/busybox" --list); do
  [ -e "$root/bin/$applet" ] || ln -s busybox "$root/bin/$applet"
done
for program in "$flash" "$device" "$writeloop"; do
  cp "$program" "$root/bin/"
  # The shared libraries each program needs, at the paths the loader looks in.
  for library in $(ldd "$program" | awk '/=> \// {print $3} /^[ \t]*\/.*ld-linux/ {print $1}'); do
    mkdir -p "$root$(dirname "$library")"
    cp -L "$library" "$root$library"
  done
done
for module in $modules; do
  found=$(find "/lib/modules/$version/kernel" -name "$module.ko*" | head -n 1)
  case "$found" in
    *.xz) xz -dc "$found" > "$root/modules/$module.ko" ;;
    *.zst) zstd -dc "$found" > "$root/modules/$module.ko" ;;
    *) cp "$found" "$root/modules/$module.ko" ;;
  esac
done
echo "$modules" > "$root/modules/order"
if [ -n "$windows_build" ]; then
  mkdir -p "$root/windows"
  cp "$windows_build/cli/quarvo-flash.exe" "$windows_build/win/quarvo-updater.exe" \
     "$windows_build/tests/e2e/quarvo-e2e-press-update.exe" "$root/windows/"
  cp "$here/guest_wine.sh" "$root/guest_wine.sh"
fi
printf 'root:x:0:0:root:/:/bin/sh\nnobody:x:65534:65534:nobody:/:/bin/sh\n' > "$root/etc/passwd"
printf 'root:x:0:\nnogroup:x:65534:\n' > "$root/etc/group"
cp "$here/guest_init.sh" "$root/init"
chmod +x "$root/init"

# Update files of a few sizes, one an exact multiple of 4096, with what the device must then hold.
make_case() {   # make_case NAME CODE_BYTES DATABASE_BYTES
  mkdir -p "$root/cases/$1" "$root/expect/$1"
  head -c "$2" /dev/urandom > "$root/cases/$1/code_data.bin"
  head -c "$3" /dev/urandom > "$root/cases/$1/car_data.bin"
  "$expect" "$root/cases/$1/code_data.bin" "$root/cases/$1/car_data.bin" "$root/expect/$1"
}
make_case healthy-1 300000 50000
make_case healthy-2 65536 8192
make_case healthy-3 1 9
if [ "$throughput" = yes ]; then
  echo $((300000 / 256 + 1)) > "$root/cases/throughput-pages"
fi

(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) > "$work/initrd.gz"

console=$work/console.log
timeout "$guest_time_s" qemu-system-x86_64 -accel tcg "${guest[@]}" -smp 1 -nographic -no-reboot \
  -kernel "$kernel" -initrd "$work/initrd.gz" \
  -append "console=ttyS0 panic=-1 quiet loglevel=3" > "$console" 2>&1 || true
# Each result line starts with "E2E "; drop the console's escape sequences in front of them.
tr -d '\r' < "$console" | sed 's/^.*\(E2E \)/\1/' > "$console.txt"
# Kept for a look after a failure.
cp "$console.txt" "${E2E_CONSOLE:-./e2e${windows_build:+-wine}-console.txt}"

passed=$(grep -c '^E2E PASS' "$console.txt" || true)
failed=$(grep -c '^E2E FAIL' "$console.txt" || true)
grep '^E2E ' "$console.txt" | grep -v '^E2E TIMING' || true
if grep -q '^E2E TESTBED-FAULT' "$console.txt"; then
  echo "THE TEST BED DROPPED REPORTS: the results above do not speak for the updater."
  failed=$((failed + 1))
fi
if ! grep -q '^E2E DONE' "$console.txt"; then
  echo "the guest did not finish"
  failed=$((failed + 1))
fi
if [ "$failed" -gt 0 ]; then
  echo "--- the guest's console (also kept in e2e${windows_build:+-wine}-console.txt):"
  tail -n 80 "$console.txt"
fi

if [ "$throughput" = yes ]; then
  median() { sort -n | sed -n 2p; }
  flash_us=$(awk '/^E2E TIMING flash program/ {print $NF}' "$console.txt" | median)
  bare_us=$(awk '/^E2E TIMING bare program/ {print $NF}' "$console.txt" | median)
  if [ -n "$flash_us" ] && [ -n "$bare_us" ]; then
    echo "Data phase of 300000 bytes (4688 reports), median of 3, timed by the device:"
    echo "  quarvo-flash ${flash_us} us, bare hidapi loop ${bare_us} us," \
         "throughput ratio $(awk -v b="$bare_us" -v f="$flash_us" 'BEGIN {printf "%.3f", b / f}')"
  else
    echo "no throughput figure: the timing lines are missing"
    failed=$((failed + 1))
  fi
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
