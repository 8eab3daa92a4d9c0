#!/bin/sh
# /init of the test guest: the chip gadget on dummy_hcd, and qz670x-mp-cli against it through
# usbhid, hidraw, hidapi and udev. Prints "QZK PASS|FAIL name: why", "QZK TIME name ...",
# "QZK SUM expected-name sha256 label" (checked by run.sh) and "QZK END"; then powers off.
export PATH=/usr/bin:/bin:/usr/sbin:/sbin
/bin/busybox --install -s
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /tmp
chmod 1777 /tmp
for m in $(cat /qzk/modules); do
  case $m in
    dummy_hcd.ko) args="num=3" ;;  # three host/device controller pairs: three ports
    *) args= ;;
  esac
  insmod "/lib/modules/$m" $args || echo "QZK FAIL boot: insmod $m"
done
mount -t configfs configfs /sys/kernel/config
. /qzk/cases.conf

CLI=qz670x-mp-cli
IMAGE=/tmp/image.bin
CHIP=/tmp/chip.bin
# a station account: uid 1000, in group plugdev (from /etc/group), no seat session
as_user() { su -s /bin/sh qzop -c "$*"; }
GADGET=
failures=0

pass() { echo "QZK PASS $*"; }
fail() { echo "QZK FAIL $*"; failures=$((failures + 1)); }
now_ms() { awk '{ printf "%d", $1 * 1000 }' /proc/uptime; }
# expect NAME WHY COMMAND...: PASS when the command succeeds
expect() {
  name=$1 why=$2
  shift 2
  if "$@"; then pass "$name: $why"; else fail "$name: $why"; fi
}
show() { sed 's/^/    | /' "$1"; }

# The chip's hidraw node, once the kernel has made it ("" when none).
chip_node() {
  for d in /sys/class/hidraw/hidraw*; do
    [ -e "$d/device/uevent" ] || continue
    grep -q 'HID_ID=0003:00001D6C' "$d/device/uevent" && { echo "/dev/${d##*/}"; return; }
  done
}

# chip_start ARGS...: the gadget with the EEPROM file, until its hidraw node is there.
chip_start() {
  : >/tmp/gadget.log
  qz670x-chip-gadget --eeprom $CHIP --replug-delay 300 "$@" >>/tmp/gadget.log 2>&1 &
  GADGET=$!
  i=0
  while [ $i -lt 200 ]; do
    node=$(chip_node)
    [ -n "$node" ] && [ -e "$node" ] && break
    sleep 0.05
    i=$((i + 1))
  done
  [ -n "$(chip_node)" ] || { fail "gadget: no hidraw node"; show /tmp/gadget.log; }
  [ -e /run/udev/control ] && udevadm settle -t 10
  return 0
}

# The number of chip hidraw nodes the kernel has now.
chip_count() { grep -l 'HID_ID=0003:00001D6C' /sys/class/hidraw/*/device/uevent 2>/dev/null | wc -l; }
# chips_up N: waits (10 s at most) until the kernel has made N chip hidraw nodes.
chips_up() {
  i=0
  while [ "$(chip_count)" != "$1" ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i + 1)); done
  [ -e /run/udev/control ] && udevadm settle -t 10
  return 0
}
# gadgets_stop PID...: stops station gadgets and waits until their hidraw nodes are gone, so
# the next case never sees a node of a gadget that is going away.
gadgets_stop() {
  for pid in "$@"; do kill -TERM "$pid"; wait "$pid"; done
  chips_up 0
}

# Stops the gadget (it saves the EEPROM file and removes itself).
chip_stop() {
  [ -n "$GADGET" ] || return 0
  kill -TERM "$GADGET" 2>/dev/null
  wait "$GADGET"
  GADGET=
  i=0
  while [ -n "$(chip_node)" ] && [ $i -lt 100 ]; do sleep 0.05; i=$((i + 1)); done
}

udev_start() {
  /lib/systemd/systemd-udevd --daemon 2>/dev/null
  udevadm trigger --action=add
  udevadm settle -t 20
}
udev_stop() {
  udevadm control --exit
  rm -f /run/udev/control
}

# run NAME COMMAND...: runs the command line, output in /tmp/NAME.out; sets rc and ms
run() {
  name=$1
  shift
  t0=$(now_ms)
  "$@" >/tmp/$name.out 2>&1
  rc=$?
  ms=$(($(now_ms) - t0))
}

# EEPROM transfers the gadget served, from its last "stopped" line
served() { sed -n 's/.*stopped after \([0-9]*\) EEPROM transfers.*/\1/p' /tmp/gadget.log | tail -1; }

echo "QZK TIME boot $(now_ms) ms"
$CLI >/dev/null 2>&1 --version || fail "boot: qz670x-mp-cli does not start"
qz670x-make-image $IMAGE >/dev/null || fail "boot: qz670x-make-image"
# udev busy elsewhere: the chip's hidraw node gets its group a second after its USB device
# has been announced, so the probe on the USB arrival finds it not yet openable and only the
# hidraw node's own event can bring the chip back (as on a loaded station)
echo 'SUBSYSTEM=="hidraw", ACTION=="add", PROGRAM="/bin/sleep 1"' >/etc/udev/rules.d/60-qzk-slow-hidraw.rules
udev_start

# --- list; a factory write from firmware mode by a station account, udev monitor and rule --
cp /qzk/70-qz670x.rules /etc/udev/rules.d/
udevadm control --reload
rm -f $CHIP
chip_start --mode firmware
node=$(chip_node)
run list as_user $CLI list
expect list "exit 0 and the chip on its hidraw node and port 1-1 in firmware mode" \
  sh -c "[ $rc = 0 ] && grep -q '^/dev/hidraw[0-9]*  1-1  1D6C:6841  firmware' /tmp/list.out"
[ $rc = 0 ] || show /tmp/list.out
expect rule "the rule gives $node to group plugdev" sh -c "ls -l $node | grep -q ' plugdev '"

udevadm monitor --udev --property --subsystem-match=usb --subsystem-match=hidraw >/tmp/monitor.out 2>&1 &
monitor=$!
run factory-udev as_user $CLI write $IMAGE --factory --replug-timeout 30 --record /tmp/factory-udev.jsonl
kill $monitor
expect factory-udev "unprivileged (group plugdev), from firmware mode: \"Write to EEPROM OK!\", exit 0 (${ms} ms)" \
  sh -c "[ $rc = 0 ] && grep -q 'Write to EEPROM OK!' /tmp/factory-udev.out"
[ $rc = 0 ] || { show /tmp/factory-udev.out; show /tmp/gadget.log; }
expect factory-udev "udev saw the chip leave and come back in ROM mode" \
  sh -c "grep -q 'ACTION=remove' /tmp/monitor.out && grep -q 'PRODUCT=1d6c/6706' /tmp/monitor.out"
factory_ms=$ms
echo "QZK TIME factory-from-firmware ${ms} ms (erase, re-plug, job)"
# the session's recording goes out over the console; run.sh replays it on the host
expect record "the write left a complete recording of its session" \
  sh -c "head -1 /tmp/factory-udev.jsonl | grep -q '\"type\":\"header\"' && tail -1 /tmp/factory-udev.jsonl | grep -q '\"type\":\"end\"'"
gzip -c /tmp/factory-udev.jsonl | base64 | sed 's/^/QZK REC /'

# read: 4096 bytes in 256 paced transfers of 16
run read as_user $CLI read /tmp/read.bin --length 4096
read_ms=$ms
chip_stop
expect read "exit 0 and the file equals the gadget's EEPROM file" \
  sh -c "[ $rc = 0 ] && cmp -s -n 4096 /tmp/read.bin $CHIP && [ \$(wc -c </tmp/read.bin) = 4096 ]"
[ $rc = 0 ] || show /tmp/read.out
echo "QZK SUM factory $(sha256sum <$CHIP | cut -d' ' -f1) factory-udev"
echo "QZK TIME eeprom-transfer-round-trip $(((read_ms - 256 * 3) * 1000 / 256)) us (read of 4096 bytes: ${read_ms} ms over a 768 ms pacing floor)"

# --- the re-plug by port power: nobody at the cable -----------------------------------------
# (the EEPROM the later cases start from is kept aside meanwhile)
cp $CHIP /tmp/chip-after-factory.bin
# The hubs bound before the rule was read get it now.
udevadm trigger --action=add --subsystem-match=usb
udevadm settle -t 10
port_disable=$(ls /sys/bus/usb/devices/usb1/1-0:1.0/usb1-port1/disable 2>/dev/null)
expect power-rule "the rule lets group plugdev write the hub ports' disable ($port_disable)" \
  sh -c "[ -n '$port_disable' ] && ls -l $port_disable | grep -q ' plugdev ' &&
         ls -l $port_disable | grep -q '^-rw-rw'"
# the gadget keeps running its firmware after the erase until its port's power goes; if the
# power never goes, the simulated operator re-plugs it after 3 s
power_gadget() { rm -f $CHIP; chip_start --mode firmware --wait-for-power --operator-after 3000; }
power_gadget
run power-factory as_user $CLI write $IMAGE --factory --replug power --replug-timeout 30
power_ms=$ms
chip_stop
expect power-factory "unprivileged, from firmware mode, --replug power: \"Write to EEPROM OK!\", exit 0, no re-plug box, the gadget saw the power go (${ms} ms)" \
  sh -c "[ $rc = 0 ] && grep -q 'Write to EEPROM OK!' /tmp/power-factory.out &&
         grep -q 'switching the port.s power' /tmp/power-factory.out &&
         ! grep -q 'Please re-plugin' /tmp/power-factory.out &&
         grep -q 'port power off' /tmp/gadget.log && ! grep -q 'by the operator' /tmp/gadget.log"
[ $rc = 0 ] || { show /tmp/power-factory.out; show /tmp/gadget.log; }
echo "QZK SUM factory $(sha256sum <$CHIP | cut -d' ' -f1) power-factory"

# against the same unit with the simulated operator (factory-udev above: the chip re-plugs itself
# 300 ms after the erase, faster than any hand), on the same guest clock
echo "QZK TIME replug-power-vs-operator factory unit from firmware mode, unprivileged, udev: --replug power ${power_ms} ms (power off 2 s), simulated operator ${factory_ms} ms"

# the rule's permission taken away: --replug auto falls back to the operator and says why
for f in /sys/bus/usb/devices/usb*/*-0:1.0/usb*-port*/disable; do chgrp root "$f"; chmod 0644 "$f"; done
power_gadget
run power-fallback as_user $CLI write $IMAGE --developer --replug auto --replug-timeout 30
chip_stop
expect power-fallback "a port that cannot be switched: --replug auto asks the operator with the re-plug box, says why, exit 0" \
  sh -c "[ $rc = 0 ] && grep -q 'Write to EEPROM OK!' /tmp/power-fallback.out &&
         grep -q 'the operator re-plugs the chip: .*ermission denied' /tmp/power-fallback.out &&
         grep -q 'Please re-plugin' /tmp/power-fallback.out && grep -q 'by the operator' /tmp/gadget.log"
[ $rc = 0 ] || { show /tmp/power-fallback.out; show /tmp/gadget.log; }
grep 'operator re-plugs' /tmp/power-fallback.out | sed 's/^/QZK NOTE /'
power_gadget
run power-denied as_user $CLI write $IMAGE --developer --replug power --replug-timeout 30
chip_stop
expect power-denied "--replug power alone on that port: exit 27, never OK" \
  sh -c "[ $rc = 27 ] && ! grep -q 'Write to EEPROM OK!' /tmp/power-denied.out"
[ $rc = 27 ] || { show /tmp/power-denied.out; show /tmp/gadget.log; }
cp /tmp/chip-after-factory.bin $CHIP

# --- without the rule: present, not openable, and the tool says why -----------------------
rm /etc/udev/rules.d/70-qz670x.rules
udevadm control --reload
chip_start
run user-norule as_user $CLI write $IMAGE --developer
expect user-norule "exit 22 with \"USB deivce is NOT found!!\" and the permission hint" \
  sh -c "[ $rc = 22 ] && grep -q -F 'USB deivce is NOT found!!' /tmp/user-norule.out &&
         grep -q 'present but cannot be opened (permission denied)' /tmp/user-norule.out"
[ $rc = 22 ] && grep -q 'permission denied' /tmp/user-norule.out || show /tmp/user-norule.out
grep 'permission denied' /tmp/user-norule.out | sed 's/^/QZK NOTE /'
chip_stop
udev_stop

# --- developer write with overrides from firmware mode without udevd (re-plug by polling) -
chip_start
run developer-poll $CLI write $IMAGE --developer $QZK_OVERRIDES --replug-timeout 30
chip_stop
expect developer-poll "with overrides, without udevd: \"Write to EEPROM OK!\", exit 0 (${ms} ms)" \
  sh -c "[ $rc = 0 ] && grep -q 'Write to EEPROM OK!' /tmp/developer-poll.out"
[ $rc = 0 ] || { show /tmp/developer-poll.out; show /tmp/gadget.log; }
echo "QZK SUM developer $(sha256sum <$CHIP | cut -d' ' -f1) developer-poll"
n=$(served)
# pacing: 3 ms after each EEPROM transfer, two 1000 ms erase pauses, 100 ms mode preparation
[ -n "$n" ] && floor=$((n * 3 + 2100)) &&
  echo "QZK TIME developer-job-from-firmware ${ms} ms for $n EEPROM transfers; pacing floor $floor ms; over the floor $((ms - floor)) ms ($(((ms - floor) * 1000 / n)) us per transfer, re-plug included)"

# --- faults through the gadget ------------------------------------------------------------
fault_case() {  # fault_case NAME FAULT EXIT
  chip_start --mode rom --fault "$2"
  run "$1" $CLI write $IMAGE --developer
  chip_stop
  expect "$1" "--fault $2 ends with exit $3, never OK (${ms} ms)" \
    sh -c "[ $rc = $3 ] && grep -q 'Try Again!($3)' /tmp/$1.out && ! grep -q 'Write to EEPROM OK!' /tmp/$1.out"
  [ $rc = "$3" ] || { show /tmp/$1.out; show /tmp/gadget.log; }
}
fault_case status status=1 2
fault_case identity identity=1234 4
fault_case no-reply no-reply@5 8

# --- the cable pulled in the middle of a job ----------------------------------------------
rm -f /tmp/fd.log /tmp/release
chip_start --mode rom --pull-at 300
QZK_FD_LOG=/tmp/fd.log QZK_HOLD_FILE=/tmp/release LD_PRELOAD=/qzk/fd_probe.so \
  $CLI write $IMAGE --developer >/tmp/pull.out 2>&1 &
pid=$!
i=0
while ! grep -q holding /tmp/fd.log 2>/dev/null && [ $i -lt 600 ]; do sleep 0.05; i=$((i + 1)); done
alive=no
[ -d /proc/$pid ] && alive=yes
open_fds=$(ls -l /proc/$pid/fd 2>/dev/null | grep -c hidraw)
touch /tmp/release
wait $pid
rc=$?
chip_stop
pulled=$(sed -n 's/^qz670x-chip-gadget: \[\([0-9]*\)\] cable pulled.*/\1/p' /tmp/gadget.log)
closed=$(awk -v p="${pulled:-0}" '$1 == "hidraw-closed" && $2 >= p { print $2; exit }' /tmp/fd.log 2>/dev/null)
expect pull "the job ends with a numbered outcome (exit $rc)" \
  sh -c "[ $rc -ge 1 ] && [ $rc -le 12 ] && grep -q 'Try Again!($rc)' /tmp/pull.out"
expect pull "the process, still running, holds no hidraw descriptor (alive=$alive, open=$open_fds)" \
  sh -c "[ $alive = yes ] && [ $open_fds = 0 ]"
expect pull "the hidraw descriptor is closed within one read time-out of the pull (pulled ${pulled:-?}, closed ${closed:-?})" \
  sh -c "[ -n '$pulled' ] && [ -n '$closed' ] && [ $((${closed:-0} - ${pulled:-0})) -lt 5500 ]"
[ -n "$closed" ] && [ -n "$pulled" ] && echo "QZK TIME pull-to-close $((closed - pulled)) ms"
[ $rc -ge 1 ] && [ $rc -le 12 ] || { show /tmp/pull.out; show /tmp/gadget.log; show /tmp/fd.log; }

# --- a station: three chips on three ports in parallel; the second stores one byte wrong,
# the third speaks 64-byte reports (65 with the report ID) ----------------------------------
pids=
for i in 0 1 2; do
  rm -f /tmp/station$i.bin
  case $i in
    1) extra="--fault corrupt@0x1234" ;;
    2) extra="--report-length 64" ;;
    *) extra= ;;
  esac
  qz670x-chip-gadget --udc dummy_udc.$i --name qz670x-$i --eeprom /tmp/station$i.bin --mode rom \
    $extra >/tmp/gadget$i.log 2>&1 &
  pids="$pids $!"
done
chips_up 3
run station-list $CLI list
ports=$(awk '{ print $2 }' /tmp/station-list.out | sort -u | tr '\n' ' ')
run station $CLI station $IMAGE --all-ports --developer $QZK_OVERRIDES --json
gadgets_stop $pids
units() { grep '"type":"unit"' /tmp/station.out | grep -c "\"exit\":$1[,}]"; }
expect station "three chips on ports $ports in parallel: two OK, the corrupt one outcome 12, station exit 1 (${ms} ms)" \
  sh -c "[ $rc = 1 ] && [ \$(echo $ports | wc -w) = 3 ] && [ $(units 0) = 2 ] && [ $(units 12) = 1 ] &&
         grep '\"exit\":12[,}]' /tmp/station.out | grep -q '\"port\":\"2-1\"'"
[ $rc = 1 ] || { show /tmp/station.out; show /tmp/station-list.out; }
grep '"type":"unit"' /tmp/station.out | sed 's/^/QZK NOTE /'
for i in 0 2; do echo "QZK SUM station $(sha256sum </tmp/station$i.bin | cut -d' ' -f1) station-udc$i"; done
echo "QZK TIME station-3-chips-developer ${ms} ms"

# --- a station of three re-plugged by port power: three chips running their firmware ------
pids=
for i in 0 1 2; do
  rm -f /tmp/power-station$i.bin
  qz670x-chip-gadget --udc dummy_udc.$i --name qz670x-$i --eeprom /tmp/power-station$i.bin \
    --mode firmware --wait-for-power >/tmp/gadget$i.log 2>&1 &
  pids="$pids $!"
done
chips_up 3
run power-station $CLI station $IMAGE --all-ports --developer --replug power --json
gadgets_stop $pids
expect power-station "three chips from firmware mode (developer writes), erased and re-plugged by port power, nobody at the cables: three OK, each \"replug\":\"power\" (${ms} ms)" \
  sh -c "[ $rc = 0 ] && [ \$(grep '\"type\":\"unit\"' /tmp/power-station.out | grep -c '\"exit\":0[,}]') = 3 ] &&
         [ \$(grep '\"type\":\"unit\"' /tmp/power-station.out | grep -c '\"replug\":\"power\"') = 3 ] &&
         ! grep -q 'Please re-plugin' /tmp/power-station.out"
[ $rc = 0 ] || { show /tmp/power-station.out; for i in 0 1 2; do show /tmp/gadget$i.log; done; }
echo "QZK TIME power-station-3-chips-developer-from-firmware ${ms} ms"

# --- no chip ------------------------------------------------------------------------------
run no-chip $CLI write $IMAGE --factory
expect no-chip "exit 22 with \"USB deivce is NOT found!!\"" \
  sh -c "[ $rc = 22 ] && grep -q -F 'USB deivce is NOT found!!' /tmp/no-chip.out"

echo "QZK TIME guest-total $(now_ms) ms"
echo "QZK END failures=$failures"
poweroff -f
