#!/bin/busybox sh
# The virtual machine's first process: mounts the host's root (9p, read-only) under a tmpfs
# overlay, and the host's log directory at its own path, then hands over to guest-init.sh.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in $(cat /modules); do insmod "/lib/$m" || echo "initramfs: insmod $m failed"; done
arg() { sed -n "s/.*$1=\([^ ]*\).*/\1/p" /proc/cmdline; }
share="$(arg velnor.share)"
init="$(arg velnor.init)"
fail() { echo "initramfs: $*"; echo o >/proc/sysrq-trigger; sleep 10; }
# A 9p device can appear a moment after its driver loads.
for i in 1 2 3 4 5 6 7 8 9 10; do
  mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144,cache=loose hostroot /lower && grep -q " /lower " /proc/mounts && break
  sleep 0.2
done
grep -q " /lower " /proc/mounts || fail "cannot mount the host's root"
mount -t tmpfs -o size=2g upper /upper
mkdir -p /upper/data /upper/work
mount -t overlay overlay -o lowerdir=/lower,upperdir=/upper/data,workdir=/upper/work /newroot \
  || fail "cannot mount the overlay"
mkdir -p "/newroot$share"
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 share "/newroot$share" \
  || fail "cannot mount the log directory"
mount --move /dev /newroot/dev
umount /proc /sys
exec switch_root /newroot "$init"
