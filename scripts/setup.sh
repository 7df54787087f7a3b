#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing the updater need, when any is
# missing. Safe to run again; needs root (or sudo) only when something must be installed.
#   scripts/setup.sh [--windows] [--screenshots]
# With --windows it also installs the MinGW-w64 cross compiler, wine, debootstrap (for the wine
# end-to-end guest's disk) and osslsigncode (to sign the Windows executables), and fetches the sources of hidapi's Windows backend (Debian's own
# hidapi source package) into build/third_party/hidapi.
# With --screenshots it also installs a window manager, for pictures of framed windows.
set -euo pipefail
cd "$(dirname "$0")/.."
windows=no
screenshots=no
for option in "$@"; do
  case "$option" in
    --windows) windows=yes ;;
    --screenshots) screenshots=yes ;;
    *) echo "usage: scripts/setup.sh [--windows] [--screenshots]" >&2; exit 2 ;;
  esac
done

packages=(
  cmake g++ make pkg-config clang libclang-rt-14-dev clang-format
  libhidapi-dev libsystemd-dev
  googletest libgtest-dev libgmock-dev
  libbenchmark-dev
  qt6-base-dev qt6-translations-l10n
  fonts-noto-cjk fonts-arphic-ukai
  xvfb xauth xdotool x11-utils dbus-daemon
  qemu-system-x86 linux-image-amd64 busybox-static cpio
)
if [ "$windows" = yes ]; then
  packages+=(g++-mingw-w64-x86-64-posix wine wine64 xauth xvfb locales)
  # The end-to-end guest's wine disk: a Debian root, an ext4 image of it.
  packages+=(debootstrap e2fsprogs util-linux)
  # Packaging and its checks; osslsigncode signs the Windows executables (scripts/package.sh).
  packages+=(dpkg-dev help2man lintian desktop-file-utils appstream unzip osslsigncode openssl)
fi
if [ "$screenshots" = yes ]; then
  packages+=(openbox)
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update
  "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi

# A Traditional Chinese (Big5) locale, so that wine can run programs under code page 950.
if [ "$windows" = yes ] && ! locale -a 2>/dev/null | grep -qi '^zh_TW\.big5$'; then
  "${sudo_cmd[@]}" localedef -i zh_TW -f BIG5 zh_TW.BIG5
fi

# hidapi's Windows backend, from Debian's hidapi source package, through an apt configuration of
# our own (a deb-src entry for the mirror the machine already uses), so that the machine's own
# sources stay as they are. Nothing is built here; the Windows preset compiles windows/hid.c.
if [ "$windows" = yes ] && [ ! -f build/third_party/hidapi/windows/hid.c ]; then
  apt_dir=$PWD/build/third_party/apt
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/source"
  mirror=$(grep -h -m1 -E '^(URIs:|deb )' /etc/apt/sources.list.d/*.sources /etc/apt/sources.list \
             2>/dev/null | grep -o 'http[^ ]*' | head -n 1 || true)
  suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
  echo "deb-src ${mirror:-http://deb.debian.org/debian} $suite main" > "$apt_dir/sources.list"
  apt_options=(-o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
               -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache"
               -o Debug::NoLocking=1)
  apt-get "${apt_options[@]}" update -qq
  (cd "$apt_dir/source" && apt-get "${apt_options[@]}" source --download-only hidapi)
  rm -rf build/third_party/hidapi
  mkdir -p build/third_party/hidapi
  tar -xzf "$apt_dir"/source/hidapi_*.orig.tar.gz -C build/third_party/hidapi --strip-components=1
fi
