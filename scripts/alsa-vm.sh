#!/usr/bin/env bash
# Runs a command inside a small VM booted from Debian's own kernel, which has the ALSA
# sequencer that this machine's kernel lacks, and the USB gadget stack: dummy_hcd (three virtual
# controllers, host and device side in one), configfs with the ACM function and the host's
# cdc-acm and USB-serial drivers, so tests can make real USB serial boards. An xHCI controller
# takes qemu's emulated FT232 (usb-serial), which the guest plugs and unplugs itself through
# QMP: the virtio port "qmp" is linked to qemu's own monitor, and the port "ft232" to the
# FT232's other end, so a test plays that board too; the port "uart" is the far end of a
# second 16550 UART (ttyS1, the 8250 driver). The host's / is shared read-only under a
# throw-away overlay, and BUILD_DIR is shared read-write at the same path, so the command sees
# the same files as here. With --arch arm64 or armhf, the VM is a 64- or 32-bit ARM machine (a
# Raspberry Pi's CPU, emulated) booted from Debian's kernel for it, for programs cross-built for
# it: the host's / has their libraries (multiarch), and a static busybox of that architecture
# runs COMMAND, as `sh`, in place of the host's bash. It has the sequencer but no USB.
# Usage: alsa-vm.sh [--arch amd64|arm64|armhf] BUILD_DIR COMMAND...
# Exits with the command's status.
set -euo pipefail
arch=amd64
if [ "$1" = --arch ]; then arch=$2; shift 2; fi
build=$(realpath "$1"); shift
cache=${TESSARYN_VM_CACHE:-/var/cache/tessaryn-vm}
mods="snd-seq-dummy 9p 9pnet_virtio virtio_pci overlay"
case $arch in
  amd64) kernel=linux-image-amd64
    mods="$mods snd-virmidi dummy_hcd libcomposite usb_f_acm cdc-acm usbserial ftdi_sio xhci_pci virtio_console" ;;
  arm64) kernel=linux-image-arm64 cache=$cache/arm64
    machine=(qemu-system-aarch64 -M virt -cpu cortex-a72) ;;
  armhf) kernel=linux-image-armmp-lpae cache=$cache/armhf
    machine=(qemu-system-arm -M virt -cpu cortex-a15) ;;
  *) echo "alsa-vm: no VM for $arch (amd64, arm64 or armhf)" >&2; exit 2 ;;
esac
mkdir -p "$cache"
# One module folder per module set: runs from other branches may share the cache meanwhile.
moddir="$cache/modules-$(echo $mods | md5sum | cut -c1-8)"

if [ ! -f "$cache/vmlinux" ] || [ ! -f "$moddir/order" ]; then
  pkg=$(apt-cache depends "$kernel:$arch" 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
  if [ -z "$pkg" ]; then  # no package lists yet
    apt-get update >/dev/null
    pkg=$(apt-cache depends "$kernel:$arch" | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
  fi
  kver=${pkg#linux-image-}; kver=${kver%:*}
  work=$(mktemp -d)
  (cd "$work" && apt-get download "$pkg" >/dev/null 2>&1)
  dpkg -x "$work"/*.deb "$work/root"
  depmod -b "$work/root" "$kver"
  vmlinuz="$work/root/boot/vmlinuz-$kver"
  if [ "$arch" = amd64 ]; then
    # vmlinuz is a bzImage around an xz stream; the bare kernel boots faster (PVH).
    offset=$(grep -abo $'\xfd7zXZ\x00' "$vmlinuz" | head -1 | cut -d: -f1)
    tail -c +$((offset + 1)) "$vmlinuz" | xz -dc > "$cache/vmlinux.new" 2>/dev/null || true
  else
    cp "$vmlinuz" "$cache/vmlinux.new"
    (cd "$work" && apt-get download "busybox-static:$arch" >/dev/null 2>&1)
    dpkg -x "$work"/busybox-static_*.deb "$work/busybox"
    cp "$work/busybox/bin/busybox" "$cache/busybox"
  fi
  rm -rf "$moddir.new"; mkdir -p "$moddir.new"
  modprobe -a -d "$work/root" -S "$kver" --show-depends $mods |
    awk '$1 == "insmod" {print $2}' | while read -r ko; do
      name=$(basename "$ko")
      case "$name" in
        *.xz) xz -dc "$ko" > "$moddir.new/${name%.xz}"; name=${name%.xz} ;;
        *) cp "$ko" "$moddir.new/$name" ;;
      esac
      grep -qx "$name" "$moddir.new/order" 2>/dev/null || echo "$name" >> "$moddir.new/order"
    done
  mv "$cache/vmlinux.new" "$cache/vmlinux"
  rm -rf "$moddir"; mv "$moddir.new" "$moddir"
  rm -rf "$work"
fi

run=$(mktemp -d)
trap 'rm -rf "$run"' EXIT
mkdir -p "$run/initrd/bin" "$run/initrd/modules"
cp "$moddir"/* "$run/initrd/modules/"
if [ "$arch" = amd64 ]; then
  cp /bin/busybox "$run/initrd/bin/busybox"
  enter="/usr/bin/env" shell=/bin/bash path=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin
else
  # The host's programs are not for this CPU: the command gets busybox's, in /tmp/bin.
  cp "$cache/busybox" "$run/initrd/bin/busybox"
  enter="/tmp/bin/busybox env" shell=/tmp/bin/sh path=/tmp/bin:/usr/bin
fi
status="$build/.alsa-vm-status"
rm -f "$status"
cat > "$run/initrd/init" <<INIT
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mkdir -p /proc /sys /dev /lower /rw /root
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in \$(cat /modules/order); do
  # The drivers' debug lines tell the divisor given to the FT232 and the modem lines set at open.
  case \$m in
    dummy_hcd.ko) insmod /modules/\$m num=3 ;;
    ftdi_sio.ko | cdc-acm.ko) insmod /modules/\$m dyndbg=+p ;;
    *) insmod /modules/\$m ;;
  esac
done
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,cache=loose,ro host /lower
mount -t tmpfs tmpfs /rw
mkdir -p /rw/upper /rw/work
mount -t overlay overlay -o lowerdir=/lower,upperdir=/rw/upper,workdir=/rw/work /root
mount -t devtmpfs dev /root/dev
mkdir -p /root/dev/pts
mount -t devpts -o ptmxmode=0666 devpts /root/dev/pts
ln -sf pts/ptmx /root/dev/ptmx 2>/dev/null
mount -t proc proc /root/proc
mount -t sysfs sys /root/sys
[ ! -d /root/sys/kernel/config ] || mount -t configfs configfs /root/sys/kernel/config
mount -t tmpfs tmpfs /root/tmp
mkdir -p /root$build
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 build /root$build
if [ $arch != amd64 ]; then
  mkdir -p /root/tmp/bin && cp /bin/busybox /root/tmp/bin/ && chroot /root /tmp/bin/busybox --install -s /tmp/bin
elif [ -x /root/usr/bin/udevadm ]; then
  # For the /dev/serial/by-id links users save their boards by.
  chroot /root /lib/systemd/systemd-udevd --daemon >/dev/null 2>&1
fi
chroot /root $enter ALSAVM=1 HOME=/tmp PATH=$path $shell -c "cd $build && exec $shell $build/.alsa-vm-command"
echo \$? > /root$status
sync
poweroff -f
INIT
chmod +x "$run/initrd/init"
printf '%q ' "$@" > "$build/.alsa-vm-command"
(cd "$run/initrd" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1 > "$run/initrd.gz")

append="quiet loglevel=3 panic=-1"
uart=()
if [ "$arch" = amd64 ]; then
  accel=tcg
  grep -qE 'vmx|svm' /proc/cpuinfo && [ -w /dev/kvm ] && accel=kvm:tcg
  machine=(qemu-system-x86_64 -accel "$accel" -append "console=ttyS0 $append"
    -device qemu-xhci,id=xhci -device virtio-serial-pci
    -chardev socket,id=qmp,path="$run/qmp",server=on,wait=off -mon chardev=qmp,mode=control
    -chardev socket,id=qmp-guest,path="$run/qmp" -device virtserialport,chardev=qmp-guest,name=qmp
    -chardev socket,id=ft232,path="$run/ft232",server=on,wait=off
    -chardev socket,id=ft232-guest,path="$run/ft232"
    -device virtserialport,chardev=ft232-guest,name=ft232
    -chardev socket,id=uart,path="$run/uart",server=on,wait=off
    -chardev socket,id=uart-guest,path="$run/uart"
    -device virtserialport,chardev=uart-guest,name=uart)
  # After the console's, so that it is ttyS1.
  uart=(-serial chardev:uart)
else
  machine+=(-accel tcg,thread=multi -append "console=ttyAMA0 $append")
fi
timeout_s=${TESSARYN_VM_TIMEOUT:-900}
timeout -k 5 "$timeout_s" "${machine[@]}" -m 2048 -smp 2 -nic none -display none -serial stdio \
  "${uart[@]}" -no-reboot \
  -kernel "$cache/vmlinux" -initrd "$run/initrd.gz" \
  -virtfs local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap \
  -virtfs local,path="$build",mount_tag=build,security_model=none,multidevs=remap </dev/null || true
rm -f "$build/.alsa-vm-command"
if [ ! -f "$status" ]; then
  echo "alsa-vm: the VM ended without a result (timeout ${timeout_s}s or boot failure)" >&2
  exit 1
fi
code=$(cat "$status"); rm -f "$status"
exit "$code"
