#!/usr/bin/env bash
# Runs a command inside a small VM booted from Debian's own kernel, which has the ALSA
# sequencer that this machine's kernel lacks, and the USB gadget stack: dummy_hcd (three virtual
# controllers, host and device side in one), configfs with the ACM function and the host's
# cdc-acm and USB-serial drivers, so tests can make real USB serial boards. An xHCI controller
# takes qemu's emulated FT232 (usb-serial), which the guest plugs and unplugs itself through
# QMP: the virtio port "qmp" is linked to qemu's own monitor, and the port "ft232" to the
# FT232's other end, so a test plays that board too. The host's / is shared read-only under a
# throw-away overlay, and BUILD_DIR is shared read-write at the same path, so the command sees
# the same files as here. Usage: alsa-vm.sh BUILD_DIR COMMAND...
# Exits with the command's status.
set -euo pipefail
build=$(realpath "$1"); shift
cache=${TESSARYN_VM_CACHE:-/var/cache/tessaryn-vm}
mkdir -p "$cache"
mods="snd-seq-dummy snd-virmidi 9p 9pnet_virtio virtio_pci overlay
  dummy_hcd libcomposite usb_f_acm cdc-acm usbserial ftdi_sio xhci_pci virtio_console"
# One module folder per module set: runs from other branches may share the cache meanwhile.
moddir="$cache/modules-$(echo $mods | md5sum | cut -c1-8)"

if [ ! -f "$cache/vmlinux" ] || [ ! -f "$moddir/order" ]; then
  pkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
  if [ -z "$pkg" ]; then  # no package lists yet
    apt-get update >/dev/null
    pkg=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
  fi
  kver=${pkg#linux-image-}
  work=$(mktemp -d)
  (cd "$work" && apt-get download "$pkg" >/dev/null 2>&1)
  dpkg -x "$work"/*.deb "$work/root"
  depmod -b "$work/root" "$kver"
  # vmlinuz is a bzImage around an xz stream; the bare kernel boots faster (PVH).
  vmlinuz="$work/root/boot/vmlinuz-$kver"
  offset=$(grep -abo $'\xfd7zXZ\x00' "$vmlinuz" | head -1 | cut -d: -f1)
  tail -c +$((offset + 1)) "$vmlinuz" | xz -dc > "$cache/vmlinux.new" 2>/dev/null || true
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
cp /bin/busybox "$run/initrd/bin/busybox"
cp "$moddir"/* "$run/initrd/modules/"
printf '%s\n' "$@" > "$run/command"
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
mount -t configfs configfs /root/sys/kernel/config
mount -t tmpfs tmpfs /root/tmp
mkdir -p /root$build
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 build /root$build
chroot /root /usr/bin/env ALSAVM=1 HOME=/tmp PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin \
  /bin/bash -c "cd $build && exec /bin/bash $build/.alsa-vm-command"
echo \$? > /root$status
sync
poweroff -f
INIT
chmod +x "$run/initrd/init"
printf '%q ' "$@" > "$build/.alsa-vm-command"
(cd "$run/initrd" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1 > "$run/initrd.gz")

accel=tcg
grep -qE 'vmx|svm' /proc/cpuinfo && [ -w /dev/kvm ] && accel=kvm:tcg
timeout_s=${TESSARYN_VM_TIMEOUT:-900}
timeout -k 5 "$timeout_s" qemu-system-x86_64 -accel "$accel" -m 2048 -smp 2 -nic none -display none -serial stdio -no-reboot \
  -kernel "$cache/vmlinux" -initrd "$run/initrd.gz" \
  -append 'console=ttyS0 quiet loglevel=3 panic=-1' \
  -virtfs local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap \
  -virtfs local,path="$build",mount_tag=build,security_model=none,multidevs=remap \
  -device qemu-xhci,id=xhci -device virtio-serial-pci \
  -chardev socket,id=qmp,path="$run/qmp",server=on,wait=off -mon chardev=qmp,mode=control \
  -chardev socket,id=qmp-guest,path="$run/qmp" -device virtserialport,chardev=qmp-guest,name=qmp \
  -chardev socket,id=ft232,path="$run/ft232",server=on,wait=off \
  -chardev socket,id=ft232-guest,path="$run/ft232" \
  -device virtserialport,chardev=ft232-guest,name=ft232 </dev/null || true
rm -f "$build/.alsa-vm-command"
if [ ! -f "$status" ]; then
  echo "alsa-vm: the VM ended without a result (timeout ${timeout_s}s or boot failure)" >&2
  exit 1
fi
code=$(cat "$status"); rm -f "$status"
exit "$code"
