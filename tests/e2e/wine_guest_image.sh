#!/usr/bin/env bash
# The disk of the end-to-end guest's Windows cases: a Debian 13 root with Debian's wine 10 and an
# X server, and a wine prefix made ready on this machine (wine's first start takes minutes in the
# emulated guest, seconds here). Builds IMAGE when it is missing or was made by another version of
# this script, and leaves it alone otherwise; prints the image's path.
#   wine_guest_image.sh IMAGE
# Needs root (debootstrap, chroot), through sudo when not run as root, and Debian's archive.
set -euo pipefail
image=$1
recipe=$(sha256sum "$0" | cut -d' ' -f1)
if [ -f "$image" ] && [ "$(cat "$image.recipe" 2>/dev/null)" = "$recipe" ]; then
  echo "$image"
  exit 0
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
mirror=${QUARVO_DEBIAN_MIRROR:-http://deb.debian.org/debian}
mkdir -p "$(dirname "$image")"
root=$(mktemp -d "$(dirname "$image")/wine-guest-root.XXXXXX")
chmod 755 "$root"
trap '"${sudo_cmd[@]}" rm -rf "$root" "$image.partial"' EXIT

echo "Building the wine guest's disk $image (once per machine)" >&2
"${sudo_cmd[@]}" debootstrap --variant=minbase trixie "$root" "$mirror" > "$root.log" 2>&1 ||
  { tail -n 20 "$root.log" >&2; exit 1; }
rm -f "$root.log"
in_root() {   # in_root COMMAND...: runs in the root, with /proc, /dev and a /tmp of its own
  "${sudo_cmd[@]}" unshare -m sh -c 'root=$1; shift
    mount -t proc proc "$root/proc" && mount --rbind /dev "$root/dev" &&
    mount -t tmpfs tmpfs "$root/tmp" && exec chroot "$root" "$@"' sh "$root" \
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root XDG_RUNTIME_DIR=/tmp \
    DEBIAN_FRONTEND=noninteractive WINEPREFIX=/root/.wine WINEDEBUG=-all "$@"
}
in_root apt-get install -y -qq --no-install-recommends wine64 wine libwine xvfb > /dev/null
in_root apt-get clean
"${sudo_cmd[@]}" rm -rf "$root/var/lib/apt/lists" "$root/usr/share/doc" "$root/usr/share/man"

# wine's own start, and what the guest needs of wine's HID bus: without udevd in the guest the bus
# lists /dev/hidraw* itself and follows /dev with inotify instead of udevd's events.
in_root sh -c 'wineboot -i &&
  wine reg add "HKLM\System\CurrentControlSet\Services\winebus" /v DisableUdevd /t REG_DWORD \
    /d 1 /f && wineserver -w' > /dev/null 2>&1
"${sudo_cmd[@]}" test -f "$root/root/.wine/system.reg"
# wine copies its DLLs into the prefix; links to the installed ones keep the disk smaller.
"${sudo_cmd[@]}" hardlink -q -t "$root/usr/lib/x86_64-linux-gnu/wine" "$root/root/.wine/drive_c" \
  > /dev/null

size_mb=$(( $("${sudo_cmd[@]}" du -sm "$root" | cut -f1) * 5 / 4 + 256 ))
"${sudo_cmd[@]}" mkfs.ext4 -q -F -O ^has_journal,^metadata_csum -L quarvo-wine -d "$root" \
  "$image.partial" "${size_mb}M" >&2
"${sudo_cmd[@]}" chown "$(id -u):$(id -g)" "$image.partial"
mv "$image.partial" "$image"
echo "$recipe" > "$image.recipe"
echo "$image"
