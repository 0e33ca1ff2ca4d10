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
  echo "$1" >"$share/status"
  sync
  echo o >/proc/sysrq-trigger
  sleep 30
}

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
# first reset of a controller can time out, and such a controller never gets an index: start
# btvirt again until all three are there.
controllers_up() { [ "$(ls /sys/class/bluetooth 2>/dev/null | grep -c '^hci[0-9]*$')" -ge 3 ]; }
for attempt in 1 2 3 4 5; do
  btvirt -L -l3 >>"$share/btvirt.log" 2>&1 &
  btvirt_pid=$!
  for i in $(seq 1 100); do controllers_up && break; sleep 0.1; done
  controllers_up && break
  log "btvirt attempt $attempt: $(ls /sys/class/bluetooth | tr '\n' ' ')"
  kill "$btvirt_pid"; wait "$btvirt_pid" 2>/dev/null
  for i in $(seq 1 50); do [ -z "$(ls /sys/class/bluetooth)" ] && break; sleep 0.1; done
done
controllers_up || { log "btvirt gave no three controllers"; finish 125; }
log "controllers after $(cut -d' ' -f1 /proc/uptime) s"
echo "$btvirt_pid" >/run/btvirt.pid

/usr/libexec/bluetooth/bluetoothd -n -d >>"$share/bluetoothd.log" 2>&1 &
echo $! >/run/bluetoothd.pid
adapters_known() {
  dbus-send --system --print-reply --dest=org.bluez / org.freedesktop.DBus.ObjectManager.GetManagedObjects 2>/dev/null \
    | grep -c 'object path "/org/bluez/hci[0-9]*"$'
}
for i in $(seq 1 600); do [ "$(adapters_known)" -ge 3 ] && break; sleep 0.1; done
[ "$(adapters_known)" -ge 3 ] || { log "bluetoothd has $(adapters_known) adapters"; finish 125; }
log "bluetoothd ready after $(cut -d' ' -f1 /proc/uptime) s"
touch "$share/ready"

bash "$share/command.sh" >"$share/command.log" 2>&1
status=$?
log "command ended with $status after $(cut -d' ' -f1 /proc/uptime) s"
finish "$status"
