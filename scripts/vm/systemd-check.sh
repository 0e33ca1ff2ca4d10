#!/bin/bash
# Runs the command that bluez-vm.sh wrote, as a unit of the machine that systemd booted, then
# leaves the journal and the kernel's log beside its output and powers the machine off.
share="$VELNOR_SHARE"
bash "$share/command.sh" >"$share/command.log" 2>&1
status=$?
journalctl -b --no-pager >"$share/journal.log" 2>&1
dmesg >"$share/dmesg.log" 2>&1
echo "$status" >"$share/status"
sync
echo o >/proc/sysrq-trigger
