#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Quillfern need.
# Idempotent and non-interactive: it does nothing when everything is there.
set -euo pipefail

packages=(
  qemu-system-x86 busybox-static bluez bluez-test-tools dbus kmod cpio python3
  build-essential cmake ninja-build pkg-config clang-format
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  obexftp openobex-apps libopenobex2-dev libcap2-bin procps ccache
  bluez-obexd python3-dbus python3-gi
  qt6-base-dev libqt6dbus6 shared-mime-info xvfb xauth trayer xdg-utils xdotool dunst
  libbluetooth-dev libsystemd-dev
  clang libclang-rt-14-dev
  debhelper dpkg-dev fakeroot lintian appstream desktop-file-utils man-db
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 update -qq
"${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
