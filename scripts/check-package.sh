#!/usr/bin/env bash
# Builds the Debian package (velnor-helper) in build-pkg and checks it: lintian finds no error
# and no warning, systemd-analyze finds nothing in its unit, the unit needs no user or group that
# another package creates, and the packaged helper, run from the installed paths without
# arguments, takes its port from /etc/velnor-helper/config.json, serves an emulated belt and
# names its services from the packaged Bluetooth numbers. Then, in a virtual machine, the package
# is installed and booted with systemd (scripts/vm/package-guest.sh).
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"

fail() {
  echo "package check: $1" >&2
  for log in "${work:-/nonexistent}"/*.log; do
    [ -f "$log" ] && { echo "--- $log" >&2; tail -n 20 "$log" >&2; }
  done
  exit 1
}

# shellcheck source=scripts/wait-for-text.sh
. "$repo/scripts/wait-for-text.sh"

# Posts the JSON body $2 to the route $1 once; the answer must contain $3.
post_once() {
  local answer
  answer="$(curl -s -d "$2" "$url/$1")"
  [[ "$answer" == *"$3"* ]] || fail "$1 answered $answer"
}

# Posts the JSON body $2 to the route $1 until the answer contains $3, for up to 10 seconds.
post_until() {
  local deadline=$((SECONDS + 10)) answer=""
  until [[ "$answer" == *"$3"* ]]; do
    [ $SECONDS -lt $deadline ] || fail "$1 never answered with $3; it answered $answer"
    sleep 0.2
    answer="$(curl -s -d "$2" "$url/$1")"
  done
}

# The second half runs in a private mount namespace, where the extracted package lies over /usr,
# /etc and /lib/systemd/system as if it were installed; nothing outside the namespace sees it.
if [ "${1:-}" = --installed ]; then
  root="$2" work="$3" version="$4"
  for dir in /usr /etc /lib/systemd/system; do
    mount -t overlay overlay -o "lowerdir=$root$dir:$dir" "$dir"
  done
  pids=()
  trap 'exec 3>&-; for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; wait' EXIT

  # systemd-analyze reports unknown keys and bad values, and exits with 0 even so.
  findings="$(systemd-analyze verify /lib/systemd/system/velnor-helper.service 2>&1)" ||
    fail "systemd-analyze verify failed: $findings"
  [ -z "$findings" ] || fail "systemd-analyze verify reported: $findings"
  echo "package check: systemd-analyze verify reports nothing"
  # systemd-analyze passes a user or group that does not exist; the unit would then fail to
  # start. Its user and group must be the ones that the package's sysusers.d file makes.
  for name in $(sed -n 's/^\(User\|Group\)=//p' /lib/systemd/system/velnor-helper.service); do
    grep -qE "^[ug] $name " /usr/lib/sysusers.d/velnor-helper.conf ||
      fail "the unit names $name, which the package does not make"
  done
  ! grep -E '^SupplementaryGroups=' /lib/systemd/system/velnor-helper.service ||
    fail "the unit asks for a group that only another package would create"

  python3 -c 'import json, sys; sys.exit(json.load(open(sys.argv[1])) != {"port": 24026})' \
    /etc/velnor-helper/config.json || fail "the packaged configuration does not give port 24026"

  port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])')"
  # A free port in the configuration file that the helper reads by default.
  echo "{\"port\": $port}" > "$work/config.json"
  mount --bind "$work/config.json" /etc/velnor-helper/config.json
  url="http://127.0.0.1:$port"
  # The default radio, the simulated one, in an air of its own.
  /usr/bin/Velnor_HelperApp --air "$work/air" > "$work/helper.log" 2>&1 &
  pids+=($!)
  wait_for_text "$work/helper.log" 10 "HTTPServer: Listening on 127.0.0.1:$port" ||
    fail "the packaged helper did not start on the port of /etc/velnor-helper/config.json"
  post_until getLastError '{}' '{"lastError":0,"lastErrorMessage":"No error","result":"0"}'
  answer="$(curl -s "$url/version")"
  [ "$answer" = "$version" ] || fail "the helper reports version $answer, the package $version"

  mkfifo "$work/device.in"
  /usr/bin/velnor-sim --air "$work/air" device \
    /usr/share/doc/velnor-helper/examples/heart-rate-belt.json < "$work/device.in" \
    > "$work/device.log" 2>&1 &
  pids+=($!)
  exec 3> "$work/device.in"
  wait_for_text "$work/device.log" 10 '{"event":"ready"}' || fail "the emulated belt did not start"
  post_once startScan '{"options":"","filename":"Lab"}' '"lastError":0'
  post_until get '{"selector":"devices"}' 'HR Belt'
  post_once connect '{"deviceID":"HR Belt","options":"","filename":"Lab","timeout":5.0}' \
    '"lastError":0'
  # The alias comes from the Bluetooth numbers under /usr/share/velnor-helper only.
  post_until get '{"selector":"remoteprofile","deviceID":"HR Belt"}' 'Heart Rate Measurement'
  echo "package check: the packaged helper serves the belt and names its characteristics"
  exit 0
fi

cd "$repo"
scripts/install-deps.sh lintian dpkg-dev systemd

cmake -S . -B build-pkg -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DVELNOR_BENCH=OFF \
  -DVELNOR_PACKAGE=ON -DVELNOR_BLUEZ=ON > /dev/null
cmake --build build-pkg -j"$(nproc)" --target Velnor_HelperApp velnor-sim
rm -f build-pkg/velnor-helper_*.deb
(cd build-pkg && cpack -G DEB > cpack.log) || { cat build-pkg/cpack.log; fail "cpack failed"; }
debs=(build-pkg/velnor-helper_*.deb)
deb="${debs[0]}"
[ -f "$deb" ] || fail "cpack made no package"
echo "package check: built $deb"

# Notes are shown; an error or a warning fails the check.
findings="$(lintian --display-info "$deb" 2>&1)" && status=0 || status=$?
grep -v '^running with root privileges' <<< "$findings" || true
[ "$status" -eq 0 ] && ! grep -qE '^[EW]:' <<< "$findings" || fail "lintian reports errors or warnings"

work="$(mktemp -d /tmp/velnor-package-XXXXXX)"
trap 'rm -rf "$work"' EXIT
dpkg -x "$deb" "$work/root"
! grep -qF "$repo/data" "$work/root/usr/bin/Velnor_HelperApp" ||
  fail "the packaged helper looks for its data in the source tree"
[ -f "$work/root/usr/share/velnor-helper/bluetooth-numbers/LICENSE" ] ||
  fail "the Bluetooth numbers' license is not packaged beside them"
# An upgrade must keep a port that the administrator set.
[ "$(dpkg-deb -I "$deb" conffiles)" = /etc/velnor-helper/config.json ] ||
  fail "/etc/velnor-helper/config.json is not a conffile"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo unshare --mount --propagation private "$repo/scripts/check-package.sh" --installed \
  "$work/root" "$work" "$(dpkg-deb -f "$deb" Version)"
# Installed in a machine that boots with systemd, the service starts as its user, reaches
# bluetoothd and serves a central on another virtual controller.
vm_status=0
"$repo/scripts/bluez-vm.sh" --timeout 400 --package "$deb" -- "$repo/scripts/vm/package-guest.sh" ||
  vm_status=$?
case "$vm_status" in
  0) echo "package check: installed and booted with systemd, the service serves a central" ;;
  77) echo "package check: no virtual machine here; the boot with systemd is not checked" ;;
  *) fail "the package did not serve a central in the machine booted with systemd" ;;
esac
echo "package check: $deb passes"
