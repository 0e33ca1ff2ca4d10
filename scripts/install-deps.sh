#!/usr/bin/env bash
# Installs the Debian packages the helper needs to build and test, and any named as arguments,
# if any is missing. Usage: scripts/install-deps.sh [PACKAGE...]
set -euo pipefail
packages=(g++ cmake make pkg-config libcpp-httplib-dev nlohmann-json3-dev libgtest-dev libgmock-dev
          libbenchmark-dev libboost1.81-dev curl python3 libsdbus-c++-dev dbus python3-dbusmock clang "$@")
# The real-stack tests' virtual machine (scripts/bluez-vm.sh): Debian's kernel, QEMU, busybox for
# its first process, bluetoothd and btvirt. Without recommends: about 660 MB.
vm_packages=(qemu-system-x86 linux-image-amd64 busybox-static cpio bluez bluez-test-tools)
missing_of() {
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}
mapfile -t missing < <(missing_of "${packages[@]}")
mapfile -t vm_missing < <(missing_of "${vm_packages[@]}")
if [ ${#missing[@]} -gt 0 ] || [ ${#vm_missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update
  [ ${#missing[@]} -eq 0 ] || DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y "${missing[@]}"
  [ ${#vm_missing[@]} -eq 0 ] ||
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${vm_missing[@]}"
fi
