#!/bin/bash
# Inside the machine that bluez-vm.sh --package boots: the installed package's service has
# started at boot as its own system user and reached bluetoothd through Debian's D-Bus policy alone;
# it publishes a characteristic and advertises, and a central helper on the other controller
# finds it, connects and reads the value.
set -uo pipefail
packaged=http://127.0.0.1:24026
central=http://127.0.0.1:24027
fail() {
  echo "package in the machine: $*"
  systemctl status velnor-helper.service bluetooth.service velnor-btvirt.service --no-pager
  exit 1
}
post() { curl -s -m 15 -d "$2" "$1/$3"; }
# Posts until the answer contains $4, for up to $5 seconds (20 when not given).
post_until() {
  local deadline=$((SECONDS + ${5:-20})) answer=""
  until [[ "$answer" == *"$4"* ]]; do
    [ $SECONDS -lt $deadline ] || fail "$3 $2 answered $answer, never $4"
    sleep 0.5
    answer="$(post "$1" "$2" "$3")"
  done
}
adapters() {
  busctl --system tree org.bluez 2>/dev/null | grep -cE '/org/bluez/hci[0-9]+$'
}

# On a loaded host the kernel's first reset of a virtual controller can time out, and bluetoothd
# never sees that controller: the controllers and bluetoothd start again.
reset_failed() { dmesg | grep -q 'Opcode 0x0c03 failed'; }
for attempt in 1 2 3; do
  deadline=$((SECONDS + 30))
  until [ "$(adapters)" -ge 2 ] || reset_failed || [ $SECONDS -ge $deadline ]; do sleep 0.5; done
  dmesg -C
  [ "$(adapters)" -ge 2 ] && break
  echo "attempt $attempt: bluetoothd has $(adapters) adapters; starting the controllers again"
  systemctl restart velnor-btvirt.service bluetooth.service
done

[ "$(systemctl is-enabled velnor-helper.service)" = enabled ] || fail "the service is not enabled"
post_until "$packaged" '{"selector":"status"}' get 'powered On' 60
pid="$(systemctl show -p MainPID --value velnor-helper.service)"
user="$(ps -o user= -p "$pid")"
[ "$user" = velnor-helper ] || fail "the service runs as $user"
echo "package in the machine: the service runs as $user and has bluetoothd"

post_until "$packaged" '{"selector":"localprofile","filename":"P","value":"[{\"UUID\":\"180D\",\"characteristics\":[{\"UUID\":\"2A38\",\"properties\":\"read\",\"format\":\"hex\"}]}]"}' set '"lastError":0'
post_until "$packaged" '{"servID":"180D","charID":"2A38","value":"0a0b0c","format":"hex"}' setLocalChar '"lastError":0'
post_until "$packaged" '{"options":"displayName=Packaged"}' startAdvertising '"lastError":0'
theirs=hci1
busctl --system get-property org.bluez /org/bluez/hci1 org.bluez.LEAdvertisingManager1 \
  ActiveInstances | grep -qx 'y 1' && theirs=hci0
echo '{"port": 24027}' >/run/central.json
/usr/bin/Velnor_HelperApp --config /run/central.json --radio "bluez:$theirs" >/run/central.log 2>&1 &
post_until "$central" '{"selector":"status"}' get 'powered On' 30

# The controllers report an advertiser only when its advertising starts: it starts again while
# the scan waits.
post "$central" '{"options":"","filename":"C"}' startScan >/dev/null
deadline=$((SECONDS + 60))
until post "$central" '{"selector":"devices"}' get | grep -q Packaged; do
  [ $SECONDS -lt $deadline ] || fail "the central never saw the packaged helper"
  post "$packaged" '{}' stopAdvertising >/dev/null
  post "$packaged" '{"options":"displayName=Packaged"}' startAdvertising >/dev/null
  sleep 2
done
post "$central" '{}' stopScan >/dev/null
# A link whose service discovery bluetoothd dropped is made once more (see docs/bluez.md).
for attempt in 1 2; do
  post "$central" '{"deviceID":"Packaged","options":"","filename":"C","timeout":20.0}' connect
  echo
  read='{"deviceID":"Packaged","servID":"180D","charID":"2A38","format":"hex","timeout":10.0}'
  deadline=$((SECONDS + 30))
  until answer="$(post "$central" "$read" read)"; [[ "$answer" == *'"result":"0a0b0c"'* ]]; do
    echo "read: $answer"
    [[ "$answer" == *'"lastError":-13'* ]] && [ $SECONDS -lt $deadline ] || break
    sleep 0.5
  done
  [[ "$answer" == *'"result":"0a0b0c"'* ]] && break
  post "$central" '{"deviceID":"Packaged"}' disconnect >/dev/null
done
[[ "$answer" == *'"result":"0a0b0c"'* ]] || fail "the central read $answer"
echo "package in the machine: a central on $theirs read the packaged helper's characteristic"
