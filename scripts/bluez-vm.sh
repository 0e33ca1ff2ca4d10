#!/usr/bin/env bash
# Boots Debian's own kernel in QEMU over this machine's root (read-only, with a tmpfs overlay),
# with a system bus, three virtual LE controllers (btvirt) and Debian's bluetoothd, runs one
# command inside, and exits with its status. The guest writes its logs to LOGDIR (command.log,
# bluetoothd.log, dbus.log, btmon.snoop, console.log, dmesg.log), which it shares with the host.
#
# Usage: scripts/bluez-vm.sh [--logs LOGDIR] [--timeout SECONDS] [--btmon] [--package DEB] -- COMMAND [ARG...]
# --package boots the machine as an installed system instead: DEB installed, systemd as init,
# Debian's units for dbus and bluetoothd, two controllers; the command runs as a unit of its own.
# Exit status: the command's; 124 when the machine did not finish in time; 125 when the
# machine could not be started or bluetoothd never had its controllers; 77 when this machine
# lacks QEMU, the kernel image or btvirt.
# VELNOR_VM_ACCEL=kvm uses KVM instead of software emulation.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
logs=""
timeout=600
btmon=0
deb=""
while [ $# -gt 0 ]; do
  case "$1" in
    --logs) logs="$2"; shift 2 ;;
    --timeout) timeout="$2"; shift 2 ;;
    --btmon) btmon=1; shift ;;
    --package) deb="$(cd "$(dirname "$2")" && pwd)/$(basename "$2")"; shift 2 ;;
    --) shift; break ;;
    *) echo "bluez-vm: unknown option $1" >&2; exit 2 ;;
  esac
done
[ $# -gt 0 ] || { echo "usage: $0 [--logs DIR] [--timeout S] [--btmon] -- COMMAND..." >&2; exit 2; }

kernel="$(ls -1 /boot/vmlinuz-* 2>/dev/null | sort -V | tail -n 1 || true)"
if [ -z "$kernel" ] || ! command -v qemu-system-x86_64 >/dev/null || ! command -v btvirt >/dev/null; then
  echo "bluez-vm: skipped: needs qemu-system-x86 linux-image-amd64 busybox-static bluez bluez-test-tools" >&2
  exit 77
fi
kver="${kernel#/boot/vmlinuz-}"

[ -n "$logs" ] || logs="$(mktemp -d /tmp/velnor-vm-logs.XXXXXX)"
mkdir -p "$logs"
logs="$(cd "$logs" && pwd)"
rm -f "$logs"/{status,ready,command.log,guest.log,bluetoothd.log,dbus.log,btvirt.log,btmon.snoop,console.log,dmesg.log,journal.log}

# The initramfs depends only on the kernel and busybox: built once per kernel, in the cache.
cache="${XDG_CACHE_HOME:-$HOME/.cache}/velnor-vm"
initrd="$cache/initramfs-$kver.cpio.gz"
if [ ! -s "$initrd" ] || [ "$here/vm/initramfs-init.sh" -nt "$initrd" ]; then
  mkdir -p "$cache"
  stage="$(mktemp -d)"
  trap 'rm -rf "$stage"' EXIT
  mkdir -p "$stage"/{bin,dev,proc,sys,lower,upper,newroot,lib}
  cp /bin/busybox "$stage/bin/busybox"
  cp "$here/vm/initramfs-init.sh" "$stage/init"
  chmod +x "$stage/init"
  # The modules that mounting the shared root needs, in the order modules.dep asks for.
  moddir="/lib/modules/$kver"
  : >"$stage/modules"
  add_module() {
    local path
    path="$(grep -E "^kernel/[^:]*/$1\.ko(\.[a-z]+)?:" "$moddir/modules.dep" | head -n 1)"
    [ -n "$path" ] || { echo "bluez-vm: kernel $kver lacks module $1" >&2; exit 125; }
    local deps="${path#*:}" file="${path%%:*}"
    for d in $deps; do add_module "$(basename "${d%%.ko*}")"; done
    grep -qx "$(basename "$file")" "$stage/modules" && return 0
    cp "$moddir/$file" "$stage/lib/"
    basename "$file" >>"$stage/modules"
  }
  for m in virtio_pci 9pnet_virtio 9p overlay; do add_module "$m"; done
  (cd "$stage" && find . | cpio -o -H newc --quiet | gzip -1) >"$initrd.tmp"
  mv "$initrd.tmp" "$initrd"
fi

# What the guest runs, and where: the same paths as here, since the guest sees this root.
{
  printf 'cd %q\n' "$PWD"
  while IFS= read -r -d '' kv; do
    case "${kv%%=*}" in
      PATH|HOME|TERM|VELNOR_*|GTEST_*|ASAN_OPTIONS|UBSAN_OPTIONS|TSAN_OPTIONS) printf 'export %q\n' "$kv" ;;
    esac
  done < <(env -0)
  printf 'exec'
  printf ' %q' "$@"
  printf '\n'
} >"$logs/command.sh"

accel="tcg,thread=multi"
cpu="max"
if [ "${VELNOR_VM_ACCEL:-tcg}" = kvm ] && [ -w /dev/kvm ]; then accel=kvm; cpu=host; fi
cpus="$(nproc)"
[ "$cpus" -gt 4 ] && cpus=4

qemu_status=0
timeout --foreground -k 10 "$timeout" qemu-system-x86_64 \
  -machine q35 -accel "$accel" -cpu "$cpu" -smp "$cpus" -m 3072 \
  -kernel "$kernel" -initrd "$initrd" \
  -append "console=ttyS0 quiet loglevel=4 panic=-1 velnor.init=$here/vm/guest-init.sh velnor.share=$logs velnor.btmon=$btmon${deb:+ velnor.deb=$deb systemd.show_status=true}" \
  -nographic -no-reboot -nodefaults -serial "file:$logs/console.log" -monitor none \
  -device virtio-rng-pci \
  -virtfs "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap" \
  -virtfs "local,path=$logs,mount_tag=share,security_model=none" \
  || qemu_status=$?
if [ "$qemu_status" -eq 124 ] || [ "$qemu_status" -eq 137 ]; then
  echo "bluez-vm: the machine did not finish within ${timeout} s; logs in $logs" >&2
  exit 124
fi
if [ ! -s "$logs/status" ]; then
  echo "bluez-vm: the machine stopped without a result (qemu status $qemu_status); logs in $logs" >&2
  tail -n 30 "$logs/console.log" >&2 || true
  exit 125
fi
status="$(cat "$logs/status")"
# The command's own output, for whoever runs this (ctest shows it on failure).
cat "$logs/command.log"
[ "$status" -eq 0 ] || echo "bluez-vm: the command exited with $status; logs in $logs" >&2
exit "$status"
