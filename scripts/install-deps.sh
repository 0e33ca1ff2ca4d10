#!/usr/bin/env bash
# Installs the Debian packages the helper needs to build and test, and any named as arguments,
# if any is missing. Usage: scripts/install-deps.sh [PACKAGE...]
set -euo pipefail
packages=(g++ cmake make pkg-config cpio libcpp-httplib-dev nlohmann-json3-dev libgtest-dev libgmock-dev
          libbenchmark-dev libboost1.81-dev curl python3 libsdbus-c++-dev dbus python3-dbusmock "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y "${missing[@]}"
fi
