#!/bin/busybox sh
# /init of the guest tests: brings up what a small Debian system has for USB
# (the kernel's modules, devtmpfs, optionally systemd-udevd), sources the
# scenario's run.sh with the helpers below, sends /scenario's results and
# printers folders back as a tar archive on the second serial port, and
# powers off. Lines for the runner begin with "q7730-guest:".
/bin/busybox --install -s /bin
export PATH=/opt/q7730:/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs run /run
# The simulator and the sim bus meet on 127.0.0.1.
ip link set lo up
say() { echo "q7730-guest: $*" >/dev/console; }
say "up $(cut -d' ' -f1 /proc/uptime)"
modprobe vhci-hcd && modprobe usblp || say "modules failed"

sim_pid= usbip_pid= udevd_pid=

# udevd as Debian starts it, plus the coldplug of what is there already.
start_udevd() {
  /lib/systemd/systemd-udevd --daemon || return 1
  udevadm trigger --action=add >/dev/null 2>&1
  udevadm settle --timeout=10
}

# q7730-sim serving /scenario with N printers and /scenario/scenario.ini.
start_sim() {
  local args="--dir /scenario --printers $1"
  [ -e /scenario/scenario.ini ] && args="$args --scenario /scenario/scenario.ini"
  q7730-sim $args >/scenario/results/sim.out 2>&1 &
  sim_pid=$!
  q7730-sim --dir /scenario --wait 10000 >/dev/null
}

# The USB/IP front end; waits until N printers are on the kernel's bus.
start_usbip() {
  q7730-usbip --dir /scenario >/scenario/results/usbip.out 2>&1 &
  usbip_pid=$!
  wait_printers "$1"
}

# Waits (up to 20 s) until N devices 7a3d:00b4 are enumerated with usblp
# bound or their interface claimed.
wait_printers() {
  local i=0
  while [ $i -lt 200 ]; do
    [ "$(grep -l 00b4 /sys/bus/usb/devices/*/idProduct 2>/dev/null | wc -l)" -ge "$1" ] &&
      [ "$(ls /sys/bus/usb/drivers/usblp 2>/dev/null | grep -c ':1.0')" -ge "$1" ] && return 0
    sleep 0.1
    i=$((i + 1))
  done
  say "only $(grep -l 00b4 /sys/bus/usb/devices/*/idProduct 2>/dev/null | wc -l) printers appeared"
  return 1
}

# Runs a command in /scenario, its output in results/NAME.out, and records
# its exit status as a line.
run() {
  local name=$1
  shift
  (cd /scenario && "$@") >/scenario/results/$name.out 2>&1
  local status=$?
  say "status $name $status"
  return $status
}

mkdir -p /scenario/results
# Made private on the host; the scenario may run programs as another user.
chmod 755 /scenario
cd /scenario
say "run $(cut -d' ' -f1 /proc/uptime)"
( . /scenario/run.sh ) >/scenario/results/run.log 2>&1
say "ran $? $(cut -d' ' -f1 /proc/uptime)"
[ -n "$usbip_pid" ] && kill $usbip_pid 2>/dev/null
[ -n "$sim_pid" ] && kill $sim_pid 2>/dev/null
sleep 0.2
dmesg >/scenario/results/dmesg.txt
stty -F /dev/ttyS1 raw -echo 2>/dev/null
( cd /scenario && tar -cf - results printers $(cat /scenario/bring-back 2>/dev/null) ) >/dev/ttyS1
say "done"
poweroff -f
