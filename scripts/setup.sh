#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing the updater need, when any is
# missing. Safe to run again; needs root (or sudo) only when something must be installed.
set -euo pipefail

packages=(
  cmake g++ make pkg-config clang libclang-rt-14-dev clang-format
  libhidapi-dev
  googletest libgtest-dev libgmock-dev
  libbenchmark-dev
  qt6-base-dev
  fonts-noto-cjk fonts-arphic-ukai
  xvfb xauth xdotool
  qemu-system-x86 linux-image-amd64 busybox-static cpio
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update
"${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
