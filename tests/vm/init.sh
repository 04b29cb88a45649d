#!/bin/busybox sh
# /init of the test VM: the pseudo file systems, udevd with the stock rules
# (started before the disks' drivers, so that it watches every disk, and
# without a trigger), the modules, the shares from the host; then the boot's
# scenarios. Everything it finds goes to the out share; the console only
# carries progress and the runner's markers.

/bin/busybox mkdir -p /proc /sys /dev /run /tmp
/bin/busybox --install -s /bin
export PATH=/bin:/sbin:/usr/bin:/usr/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /run
mount -t tmpfs -o mode=1777 tmpfs /tmp
ln -s /proc/self/fd /dev/fd

# ardv.NAME=VALUE on the kernel's command line become ARDV_NAME.
for arg in $(cat /proc/cmdline); do
  case "$arg" in
    ardv.*=*) name=${arg%%=*}; export "ARDV_${name#ardv.}=${arg#*=}" ;;
  esac
done

fail() {
  echo "@@ardv init-failed $*"
  poweroff -f
}

modprobe virtio_pci && modprobe 9pnet_virtio && modprobe 9p || fail "no 9p"
mkdir -p "$ARDV_build"
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000,cache=loose,ro build "$ARDV_build" || fail "build share"
mkdir -p "$ARDV_out"
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 out "$ARDV_out" || fail "out share"

/lib/systemd/systemd-udevd --daemon || fail "udevd"
modprobe configfs && mount -t configfs none /sys/kernel/config || fail "configfs"
for m in libcomposite usb_f_fs sd_mod usb_storage uas xhci_pci ahci virtio_pci virtio_blk virtio_scsi nvme; do
  modprobe "$m" || fail "module $m"
done
modprobe dummy_hcd num=3 || fail "dummy_hcd"
udevadm settle --timeout=60

echo "@@ardv booted $(uname -r) $(cut -d' ' -f1 /proc/uptime)"
sh "$ARDV_out/input/scenarios.sh" "$ARDV_boot"
echo "@@ardv done $? $(cut -d' ' -f1 /proc/uptime)"
sync
poweroff -f
