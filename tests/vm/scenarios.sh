# The scenarios of one boot, run by the VM's /init with busybox sh; $1 names
# the boot. Each scenario leaves what it saw under $OUT/$1/NAME/ for the
# host's checks (tests/vm/checks.py) and has the host hash every disk image
# before and after it.

set -u
BOOT=$1
OUT=$ARDV_out
IN=$OUT/input
BUILD=$ARDV_build
CLI=$BUILD/cli/ardenvel-cli
VMBIN=$BUILD/tests/vm
RESULTS=$OUT/results
mkdir -p "$RESULTS"
seq=0

step() { echo "@@ardv step $*"; }

# A request only the host can serve (hash the images, plug a disk); waits for
# the answer in $OUT/acks/SEQ and says it again now and then, since kernel
# messages may garble a console line.
ask() {
  seq=$((seq + 1))
  tries=0
  while [ ! -e "$OUT/acks/$seq" ]; do
    [ $((tries % 50)) -eq 0 ] && echo "@@ardv ask $seq $*"
    tries=$((tries + 1))
    sleep 0.1
  done
}

begin() {
  S=$RESULTS/$1
  mkdir -p "$S"
  step "begin $1"
  ask hash "before-$1"
  for log in "$RESULTS"/gadget*.log; do echo "# begin $1" >> "$log"; done
}
end() {
  for log in "$RESULTS"/gadget*.log; do echo "# end $1" >> "$log"; done
  ask hash "after-$1"
  step "end $1"
}

# Waits until `test` succeeds, at most $2 tenths of a second.
wait_for() {
  n=0
  while ! eval "$1"; do
    n=$((n + 1))
    [ "$n" -ge "$2" ] && return 1
    sleep 0.1
  done
}

# The kernel name of the disk behind USB gadget N ("" while there is none).
gadget_disk() {
  for d in /sys/block/*; do
    case "$(readlink -f "$d")" in */dummy_hcd.$1/*) echo "${d##*/}" ;; esac
  done
}
# The disk of a USB device QEMU was given with serial $1.
usb_disk() {
  for d in /sys/block/*; do
    p=$(readlink -f "$d/device")
    while [ "$p" != / ] && [ ! -e "$p/serial" ]; do p=${p%/*}; [ -z "$p" ] && p=/; done
    [ -e "$p/serial" ] && [ "$(cat "$p/serial")" = "$1" ] && echo "${d##*/}"
  done
}

# Gadget N: a configfs gadget with one FunctionFS function served by
# ardenvel-vm-gadget from enclosure directory $2, bound to dummy_udc.N.
gadget_up() {
  g=/sys/kernel/config/usb_gadget/g$1
  mkdir "$g"
  echo 0x1d50 > "$g/idVendor"
  echo 0x6180 > "$g/idProduct"
  mkdir "$g/strings/0x409"
  echo Ardenvel > "$g/strings/0x409/manufacturer"
  echo "Emulated bridge $1" > "$g/strings/0x409/product"
  echo "ARDV-GADGET-$1" > "$g/strings/0x409/serialnumber"
  mkdir "$g/configs/c.1" "$g/functions/ffs.bridge$1"
  ln -s "$g/functions/ffs.bridge$1" "$g/configs/c.1/"
  mkdir -p "/dev/ffs-bridge$1"
  mount -t functionfs "bridge$1" "/dev/ffs-bridge$1"
  gadget_start "$1" "$2"
  gadget_bind "$1"
}
gadget_start() {
  rm -f "/run/gadget$1.ready"
  "$VMBIN/ardenvel-vm-gadget" --ffs "/dev/ffs-bridge$1" --enclosure "$2" \
    --log "$RESULTS/gadget$1.log" --ready "/run/gadget$1.ready" 2>>"$RESULTS/gadget$1.log" &
  echo $! > "/run/gadget$1.pid"
  wait_for "[ -e /run/gadget$1.ready ]" 300 || step "gadget $1 did not start"
}
# Gadget N off and on again: its bridge starts afresh from directory $2.
gadget_restart() {
  gadget_unbind "$1"
  kill "$(cat "/run/gadget$1.pid")"
  wait "$(cat "/run/gadget$1.pid")" 2>/dev/null
  gadget_start "$1" "$2"
  gadget_bind "$1"
}
gadget_bind() {
  echo "dummy_udc.$1" > "/sys/kernel/config/usb_gadget/g$1/UDC"
  wait_for "[ -n \"\$(gadget_disk $1)\" ]" 600 || step "gadget $1 has no disk"
}
gadget_unbind() {
  echo "" > "/sys/kernel/config/usb_gadget/g$1/UDC"
  wait_for "[ -z \"\$(gadget_disk $1)\" ]" 300 || step "gadget $1 disk stays"
}

# The slot of the enclosure of directory $IN/$1 in `list`'s answer $2,
# known by the enclosure's model.
slot_of() {
  model=$(sed -n 's/.*"model": *"\([^"]*\)".*/\1/p' "$IN/$1/description.json" | head -1)
  awk -v want="$model" 'index($0, want) { print $1; exit }' "$2"
}

# Every block device: name, sysfs path, and the USB vendor:product above it.
snapshot_disks() {
  for d in /sys/block/*; do
    p=$(readlink -f "$d")
    u=$p
    while [ "$u" != / ] && [ ! -e "$u/idVendor" ]; do u=${u%/*}; [ -z "$u" ] && u=/; done
    id=-
    [ -e "$u/idVendor" ] && id="$(cat "$u/idVendor"):$(cat "$u/idProduct")"
    echo "${d##*/} $p $id"
  done
}

# The uevents of block devices while a command runs, one line per event.
watch_uevents() {
  udevadm monitor --udev --subsystem-match=block > "$1" 2>&1 &
  UEVENTS=$!
  sleep 1
}
stop_uevents() {
  sleep 2
  kill "$UEVENTS"
  wait "$UEVENTS" 2>/dev/null
}

# ---- the boots ----------------------------------------------------------

steady() {
  gadget_up 0 "$IN/mirror-lba"
  gadget_up 1 "$IN/ata-bay"
  gadget_up 2 "$IN/usb-rebuild"
  udevadm settle --timeout=60

  begin discovery
  snapshot_disks > "$S/disks.txt"
  "$VMBIN/ardenvel-vm-drivenumbers" > "$S/numbers.txt" 2>&1
  "$CLI" --trace "$S/trace.txt" list > "$S/list.txt" 2> "$S/list.err"
  echo $? > "$S/exit"
  "$VMBIN/ardenvel-vm-senseprobe" $(for d in /sys/block/sd*; do echo "/dev/${d##*/}"; done) > "$S/sense.txt" 2>&1
  end discovery

  begin status-and-monitor
  "$CLI" --log-dir "$S/logs" monitor --count 6 --interval 1 --state "$S/state.json" \
    > "$S/monitor.txt" 2> "$S/monitor.err"
  echo $? > "$S/monitor.exit"
  end status-and-monitor

  begin udev-echo
  # Root: drives open read-only, so closing them makes udev re-read nothing.
  # Meanwhile another program's change events for an ordinary disk come and
  # must change nothing either.
  watch_uevents "$S/root-uevents.txt"
  (for i in 1 2 3 4; do sleep 1; echo change > /sys/block/vda/uevent; done) &
  "$CLI" --trace "$S/root-trace.txt" monitor --count 5 --interval 1 > "$S/root-monitor.txt" 2>&1
  echo $? > "$S/root.exit"
  stop_uevents
  # A member of the disk group, without CAP_SYS_RAWIO: read-write opens,
  # each closed one re-read by udev, and its echo must not keep the monitor busy.
  chmod 777 "$S"
  watch_uevents "$S/disk-group-uevents.txt"
  su -s /bin/sh ardvdisk -c "'$CLI' --trace '$S/disk-group-trace.txt' monitor --count 12 --interval 1 \
    > '$S/disk-group-monitor.txt' 2>&1 < /dev/null; echo \$? > '$S/disk-group.exit'"
  stop_uevents
  end udev-echo

  begin privilege
  chmod 777 "$S"
  su -s /bin/sh ardv -c "'$CLI' list > '$S/user-list.txt' 2> '$S/user-list.err' < /dev/null; echo \$? > '$S/user.exit'"
  cp "$VMBIN/ardenvel-vm-pkexec" /run/ardv-pkexec
  chown 0:0 /run/ardv-pkexec
  chmod 4755 /run/ardv-pkexec
  su -s /bin/sh ardv -c "'$CLI' --helper /run/ardv-pkexec list > '$S/helper-list.txt' 2> '$S/helper-list.err' \
    < /dev/null; echo \$? > '$S/helper.exit'"
  end privilege

  begin upgrade
  # A bridge's new record carries its live status; power the one whose
  # status moved on off and on, so that it starts where a run of the tool on
  # the virtual host starts.
  gadget_restart 2 "$IN/usb-rebuild"
  for name in mirror-lba ata-bay usb-rebuild; do
    n=$(slot_of "$name" "$RESULTS/discovery/list.txt")
    "$CLI" --trace "$S/$name.trace" firmware upgrade "$IN/up.bin" --device "$n" --yes > "$S/$name.txt" 2>&1
    echo $? > "$S/$name.exit"
  done
  "$CLI" status --json > "$S/status.json" 2>&1
  end upgrade
}

hotplug() {
  gadget_up 0 "$IN/mirror-lba"
  gadget_up 1 "$IN/usb-striping"
  udevadm settle --timeout=60

  begin hotplug
  # Every event the monitor raises, as a hook sees it.
  printf '#!/bin/sh\necho "$ARDENVEL_EVENT $ARDENVEL_DEVICE $ARDENVEL_MODEL" >> %s\n' "$S/events.txt" > /run/hook
  chmod 755 /run/hook
  "$CLI" --trace "$S/trace.txt" --log-dir "$S/logs" monitor --interval 1 --exec /run/hook --state "$S/state.json" \
    > "$S/monitor.txt" 2> "$S/monitor.err" &
  MONITOR=$!
  sleep 5
  snapshot_disks > "$S/disks-0.txt"
  step "plug usb-hot1"
  ask usb-add usb-hot1
  wait_for "[ -n \"\$(usb_disk ARDV-USB-HOT1)\" ]" 300
  sleep 7
  snapshot_disks > "$S/disks-1.txt"
  # The gadget goes and an ordinary disk comes while the monitor is held, as
  # a loaded machine may hold it: the disk count is as before.
  step "swap gadget 1 for usb-hot2"
  kill -STOP "$MONITOR"
  gadget_unbind 1
  ask usb-add usb-hot2
  wait_for "[ -n \"\$(usb_disk ARDV-USB-HOT2)\" ]" 300
  kill -CONT "$MONITOR"
  sleep 8
  snapshot_disks > "$S/disks-2.txt"
  step "unplug usb-hot1 and usb-hot2, plug gadget 1"
  ask usb-del usb-hot1
  ask usb-del usb-hot2
  gadget_bind 1
  sleep 9
  snapshot_disks > "$S/disks-3.txt"
  kill "$MONITOR"
  wait "$MONITOR"
  echo $? > "$S/monitor.exit"
  end hotplug

  begin unplug-mid-upgrade
  "$CLI" --trace "$S/trace-list.txt" list > "$S/list.txt" 2>&1
  slot=$(slot_of mirror-lba "$S/list.txt")
  "$CLI" --trace "$S/trace.txt" firmware upgrade "$IN/up.bin" --device "$slot" --yes > "$S/upgrade.txt" 2>&1 &
  UPGRADE=$!
  # Once the first page is programmed, freeze the upgrade between two of its
  # requests, pull the enclosure and plug an ordinary USB disk into its place.
  wait_for "grep -q 'sector 33 58 02 02' '$S/trace.txt' 2>/dev/null" 1200 || step "no page programmed"
  kill -STOP "$UPGRADE"
  step "unplug gadget 0, plug usb-hot2"
  gadget_unbind 0
  ask usb-add usb-hot2
  wait_for "[ -n \"\$(usb_disk ARDV-USB-HOT2)\" ]" 300
  snapshot_disks > "$S/disks-frozen.txt"
  kill -CONT "$UPGRADE"
  wait "$UPGRADE"
  echo $? > "$S/upgrade.exit"
  ask hash "after-interrupted-upgrade"
  step "unplug usb-hot2, plug gadget 0"
  ask usb-del usb-hot2
  gadget_bind 0
  "$CLI" --trace "$S/trace-status.txt" status --json > "$S/status.json" 2>&1
  echo $? > "$S/status.exit"
  "$CLI" --trace "$S/trace-list2.txt" list > "$S/list2.txt" 2>&1
  slot=$(slot_of mirror-lba "$S/list2.txt")
  "$CLI" --trace "$S/trace2.txt" firmware upgrade "$IN/up.bin" --device "$slot" --yes > "$S/upgrade2.txt" 2>&1
  echo $? > "$S/upgrade2.exit"
  end unplug-mid-upgrade
}

"$BOOT"
dmesg > "$RESULTS/dmesg.txt"
killall ardenvel-vm-gadget 2>/dev/null
sleep 1
