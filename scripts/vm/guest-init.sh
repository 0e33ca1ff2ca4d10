#!/bin/bash
# Runs as the virtual machine's init over the host's root: a system bus, three virtual LE
# controllers (btvirt), Debian's bluetoothd with debug output, then the command that
# bluez-vm.sh wrote to the log directory. Writes the command's status there and powers off.
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
share="$(sed -n 's/.*velnor.share=\([^ ]*\).*/\1/p' /proc/cmdline)"
btmon_wanted="$(sed -n 's/.*velnor.btmon=\([^ ]*\).*/\1/p' /proc/cmdline)"
log() { echo "guest: $*" | tee -a "$share/guest.log" >/dev/console; }
finish() {
  dmesg >"$share/dmesg.log" 2>&1
  echo "$1" >"$share/status"
  sync
  echo o >/proc/sysrq-trigger
  sleep 30
}

# With a package given, the machine boots as an installed system would: the package installed
# with dpkg, then systemd as init with Debian's own units for dbus and bluetoothd.
deb="$(sed -n 's/.*velnor.deb=\([^ ]*\).*/\1/p' /proc/cmdline)"
if [ -n "$deb" ]; then
  here="$(cd "$(dirname "$0")" && pwd)"
  mount -t tmpfs tmpfs /run
  # This machine's own services (databases and the like) stay off.
  for unit in /etc/systemd/system/multi-user.target.wants/*.service; do
    [ -e "$unit" ] && ln -sf /dev/null "/etc/systemd/system/$(basename "$unit")"
  done
  # The host's /tmp is seen here; emptying it at boot took a minute over 9p.
  : >/etc/tmpfiles.d/tmp.conf
  # The man-db trigger would take a minute under emulation.
  dpkg -i --no-triggers "$deb" >>"$share/guest.log" 2>&1 || { log "dpkg -i $deb failed"; finish 125; }
  cat >/etc/systemd/system/velnor-btvirt.service <<UNIT
[Unit]
Description=Two virtual LE controllers
Before=bluetooth.service
[Service]
ExecStartPre=/sbin/modprobe hci_vhci
ExecStart=/usr/bin/btvirt -L -l2
UNIT
  cat >/etc/systemd/system/velnor-check.service <<UNIT
[Unit]
Description=The command that bluez-vm.sh gave, then power-off
After=velnor-helper.service bluetooth.service
[Service]
Type=oneshot
Environment=VELNOR_SHARE=$share
ExecStart=$here/systemd-check.sh
UNIT
  for unit in velnor-btvirt velnor-check; do
    ln -s "/etc/systemd/system/$unit.service" /etc/systemd/system/multi-user.target.wants/
  done
  umount /proc /sys
  exec /lib/systemd/systemd --unit=multi-user.target
fi

mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /var/lib/bluetooth 2>/dev/null || mkdir -p /var/lib/bluetooth
echo 1 >/proc/sys/kernel/sysrq
ip link set lo up
hostname velnor-vm
log "booted in $(cut -d' ' -f1 /proc/uptime) s"

modprobe bluetooth && modprobe hci_vhci || { log "no Bluetooth modules"; finish 125; }

mkdir -p /run/dbus
dbus-daemon --system --fork --nopidfile || { log "no system bus"; finish 125; }
dbus-monitor --system >"$share/dbus.log" 2>&1 &
[ "$btmon_wanted" = 1 ] && btmon -w "$share/btmon.snoop" >/dev/null 2>&1 &

# btvirt's controllers see each other only within one process. On a loaded host the kernel's
# first reset of a controller can time out, and such a controller never gets a management
# index, so bluetoothd never sees it: then btvirt and bluetoothd start again.
controllers() { ls /sys/class/bluetooth 2>/dev/null | grep -c '^hci[0-9]*$'; }
adapters_known() {
  dbus-send --system --print-reply --dest=org.bluez / org.freedesktop.DBus.ObjectManager.GetManagedObjects 2>/dev/null \
    | grep -c 'object path "/org/bluez/hci[0-9]*"$'
}
controllers_up() { [ "$(controllers)" -ge 3 ]; }
controllers_gone() { [ "$(controllers)" -eq 0 ]; }
adapters_up() { [ "$(adapters_known)" -ge 3 ]; }
reset_failed() { dmesg | grep -q 'Opcode 0x0c03 failed'; }
adapters_up_or_reset_failed() { reset_failed || adapters_up; }
wait_until() {  # SECONDS CHECK...: runs CHECK until it succeeds or SECONDS have passed
  local end=$((SECONDS + $1)); shift
  until "$@"; do [ "$SECONDS" -ge "$end" ] && return 1; sleep 0.2; done
}
# bluetoothd, started again whenever it exits, as a service manager would: a test that stops or
# crashes it leaves a working stack to the next. Each exit is in guest.log.
run_bluetoothd() {
  trap 'kill "$daemon" 2>/dev/null; exit 0' TERM
  while true; do
    /usr/libexec/bluetooth/bluetoothd -n -d >>"$share/bluetoothd.log" 2>&1 &
    daemon=$!
    echo "$daemon" >/run/bluetoothd.pid
    wait "$daemon"
    log "bluetoothd exited with status $? after $(cut -d' ' -f1 /proc/uptime) s; started again"
    sleep 0.5
  done
}
stack_up=0
for attempt in 1 2 3 4 5; do
  dmesg -C
  btvirt -L -l3 >>"$share/btvirt.log" 2>&1 &
  btvirt_pid=$!
  # The kernel resets each new controller within a few seconds of its appearance.
  if wait_until 15 controllers_up; then
    run_bluetoothd &
    bluetoothd_pid=$!
    if wait_until 30 adapters_up_or_reset_failed && ! reset_failed; then stack_up=1; break; fi
    log "attempt $attempt: bluetoothd has $(adapters_known) adapters"
    kill "$bluetoothd_pid"; wait "$bluetoothd_pid" 2>/dev/null
  else
    log "attempt $attempt: $(controllers) controllers; $(dmesg | grep -c 'failed: -110') resets timed out"
  fi
  kill "$btvirt_pid"; wait "$btvirt_pid" 2>/dev/null
  wait_until 10 controllers_gone
done
[ "$stack_up" = 1 ] || { log "no three controllers in bluetoothd"; finish 125; }
echo "$btvirt_pid" >/run/btvirt.pid
log "bluetoothd ready after $(cut -d' ' -f1 /proc/uptime) s"
touch "$share/ready"

bash "$share/command.sh" >"$share/command.log" 2>&1
status=$?
log "command ended with $status after $(cut -d' ' -f1 /proc/uptime) s"
finish "$status"
