#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the demo need.
# Quick when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake pkg-config ninja-build
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libjpeg-dev
  nlohmann-json3-dev
  libudev-dev libsystemd-dev
  libseccomp-dev  # the host helper's system-call filter
  systemd desktop-file-utils groff-base man-db  # the unit's check looks its manual page up
  mandoc  # lints the manual pages
  dbus-daemon
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  fonts-liberation
  xvfb xauth
  imagemagick
  clang-format
  python3
  libxml2-utils polkitd  # xmllint and the DTD the helper's polkit action is checked against
  g++-mingw-w64-x86-64-posix wine64
  g++-mingw-w64-i686-posix
  qemu-system-x86 busybox-static  # the VM tests; they fetch the kernel and udev with apt-get download
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

# The VM tests resolve the kernel through apt's package lists.
if [ ${#missing[@]} -eq 0 ] && apt-cache show linux-image-amd64 >/dev/null 2>&1; then
  exit 0
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
if [ ${#missing[@]} -ne 0 ]; then
  echo "Installing: ${missing[*]}"
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
