#!/usr/bin/env bash
# The serial platform tests on real kernel drivers: a small QEMU machine with the Debian kernel,
# an emulated 16550 UART (8250 driver) and an emulated FTDI USB adapter (ftdi_sio), each wired
# over the host to a second UART of the guest that plays the far end. The guest sees this
# machine's file system read-only and runs the test programs built here: the platform suite
# on each port, then the device link (konfigurator-cli against konfigurator-sim serving the
# far end), the window's flows offscreen and the serial component's cases. The host sends a
# break into a port, or pulls the adapter out, when a case asks.
#
#   scripts/serial-vm.sh [build-dir]      (default: build; the test programs are built if missing)
#
# SERIAL_VM_FILTER (a gtest filter) runs a part of the cases, SERIAL_VM_SUITE_TIMEOUT (seconds,
# 240) bounds each driver's run, SERIAL_VM_KEEP=<folder> keeps the logs there.
#
# Exit status: 0 all passed, 1 a case failed or the machine did not finish, 77 this machine
# cannot run the bed (no qemu and no way to install it, no kernel, no emulator that starts).
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."
root=$PWD
build=$(readlink -f "${1:-build}")
readonly CANNOT=77
cannot() {
  echo "serial-vm: cannot run here: $*" >&2
  exit $CANNOT
}

# --- what the bed needs, from Debian -------------------------------------------------------
packages=(qemu-system-x86 linux-image-amd64 busybox-static cpio kmod)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  [[ $(id -u) == 0 ]] || cannot "missing ${missing[*]} and not root to install them"
  { apt-get -o DPkg::Lock::Timeout=900 update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -qq \
      --no-install-recommends "${missing[@]}"; } >&2 || cannot "apt-get could not install ${missing[*]}"
fi
command -v qemu-system-x86_64 >/dev/null || cannot "no qemu-system-x86_64"
kernel=$(ls -1v /boot/vmlinuz-*-amd64 2>/dev/null | tail -n1)
[[ -n $kernel ]] || cannot "no Debian kernel in /boot"
kver=${kernel#/boot/vmlinuz-}
[[ -d /lib/modules/$kver ]] || cannot "no modules for $kver"
[[ -r $kernel ]] || cannot "$kernel not readable"

if [[ ! -x $build/bin/tests_platform || ! -x $build/bin/konfigurator-sim ||
  ! -x $build/bin/konfigurator-cli || ! -x $build/bin/main_tests || ! -x $build/bin/tests_cport ]]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j2 --target tests_platform konfigurator-sim konfigurator-cli \
    main_tests tests_cport >/dev/null
fi
tests=$build/bin/tests_platform
bin=$build/bin
# The window's flows that only need a device answering (faults are the simulator's own).
window_flows='ReadFlow.DeviceInLanModeFillsAllThreeFields:ReadFlow.DeviceInRs485ModeLeavesIpAndPortAlone'
window_flows+=':SendFlow.ModeUnchangedWritesIpAndPortButNoMode:SendFlow.ModeChangedIsWrittenAfterItIsRead'
window_flows+=':Flows.SilentDeviceIsTriedTwiceThenTheFlowEnds'

work=$(mktemp -d /tmp/serial-vm.XXXXXX)
qemu_pid=
cleanup() {
  [[ -n $qemu_pid ]] && kill "$qemu_pid" 2>/dev/null || true  # timeout passes it on to qemu
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/initrd"/{bin,dev,proc,sys,host,lib/modules} "$work/out"
chmod 1777 "$work/out"

# --- the initramfs: busybox, the modules with their dependencies, an init that runs the suites
cp /bin/busybox "$work/initrd/bin/busybox"
: >"$work/initrd/modules.order"
for m in virtio_pci 9pnet_virtio 9p xhci_pci ftdi_sio; do
  modprobe -S "$kver" --show-depends "$m" | awk '$1 == "insmod" {print $2}'
done | awk '!seen[$0]++' | while read -r ko; do
  name=$(basename "$ko")
  case $ko in
  *.xz) xz -dc "$ko" >"$work/initrd/lib/modules/${name%.xz}" && name=${name%.xz} ;;
  *.zst) zstd -qdc "$ko" >"$work/initrd/lib/modules/${name%.zst}" && name=${name%.zst} ;;
  *) cp "$ko" "$work/initrd/lib/modules/$name" ;;
  esac
  echo "$name" >>"$work/initrd/modules.order"
done

# Each suite: a name, the port under test, its far end.
suites="8250:/dev/ttyS1:/dev/ttyS2 ftdi_sio:/dev/ttyUSB0:/dev/ttyS3"
cat >"$work/initrd/init" <<EOF
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in \$(cat /modules.order); do insmod /lib/modules/\$m || echo "serial-vm: insmod \$m failed"; done
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,ro host /host || echo "serial-vm: no host share"
mount -o bind /dev /host/dev
mount -t devpts devpts /host/dev/pts
mount -t proc proc /host/proc
mount -t sysfs sys /host/sys
# Writable room under /run only: a tmpfs over /tmp would hide a build that lives there.
mount -t tmpfs run /host/run
mkdir -p /host/run/lock /host/run/tmp /host/run/out
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 out /host/run/out
echo "serial-vm: up \$(cut -d' ' -f1 /proc/uptime) s"
i=0
while [ ! -e /dev/ttyUSB0 ] && [ \$i -lt 100 ]; do sleep 0.1; i=\$((i + 1)); done
dmesg >/host/run/out/dmesg.txt
echo "serial-vm: ports ready \$(cut -d' ' -f1 /proc/uptime) s"
for s in $suites; do
  name=\${s%%:*}; rest=\${s#*:}; dev=\${rest%%:*}; peer=\${rest#*:}
  if [ ! -e \$dev ]; then echo "no \$dev" >/host/run/out/\$name.missing; continue; fi
  start=\$(cut -d' ' -f1 /proc/uptime)
  unplug=; [ \$name = ftdi_sio ] && unplug=/run/out
  chroot /host /usr/bin/env TMPDIR=/run/tmp KONF_SERIAL_DRIVER=\$name KONF_SERIAL_DEVICE=\$dev KONF_SERIAL_PEER=\$peer \
    KONF_SERIAL_UNPLUG=\$unplug KONF_SERIAL_HOST=/run/out \
    timeout ${SERIAL_VM_SUITE_TIMEOUT:-240} $tests --gtest_filter='${SERIAL_VM_FILTER:-PtyPort.*:RealPort.*}' >/host/run/out/\$name.log 2>&1
  echo \$? >/host/run/out/\$name.rc
  echo "serial-vm: \$name done in \$(cut -d' ' -f1 /proc/uptime) s (started at \$start s)"
done
# The device link over each wire: the command-line program reads and writes a simulated
# device served on the far end, step by step in the form of the suites' logs.
for s in $suites; do
  name=\${s%%:*}; rest=\${s#*:}; dev=\${rest%%:*}; peer=\${rest#*:}
  log=/host/run/out/link-\$name.log
  [ -e \$dev ] || continue
  chroot /host $bin/konfigurator-sim --device \$peer >/host/run/out/link-\$name-sim.log 2>&1 &
  sim=\$!
  sleep 0.3
  failed=0
  step() {
    title=\$1; rc_want=\$2; want=\$3; shift 3
    echo "[ RUN      ] DeviceLink.\$title" >>\$log
    out=\$(chroot /host /usr/bin/env TMPDIR=/run/tmp HOME=/run/tmp timeout 30 $bin/konfigurator-cli "\$@" -p \$dev 2>&1)
    rc=\$?
    echo "\$out" >>\$log
    case "\$out" in
    *"\$want"*) [ \$rc = \$rc_want ] && { echo "[       OK ] DeviceLink.\$title (rc \$rc)" >>\$log; return; } ;;
    esac
    echo "[  FAILED  ] DeviceLink.\$title (rc \$rc, wanted \$rc_want and \$want)" >>\$log
    failed=1
  }
  step Read 0 '"ip":"192.168.1.10","ip_port":502' read -j
  step Send 0 'ip-port: 1502 written' write --ip 10.1.2.3 --ip-port 1502
  step ReadWhatWasSent 0 '"ip":"10.1.2.3","ip_port":1502' read -j
  step NoDeviceAtAnotherAddress 1 '"result":3' read -a 9 -j
  kill \$sim
  echo \$failed >/host/run/out/link-\$name.rc
  echo "serial-vm: link over \$name done in \$(cut -d' ' -f1 /proc/uptime) s"
  # The window's flows, offscreen, with the device served on the far end.
  chroot /host /usr/bin/env TMPDIR=/run/tmp HOME=/run/tmp XDG_RUNTIME_DIR=/run/tmp \
    QT_QPA_PLATFORM=offscreen KONF_SERIAL_DEVICE=\$dev KONF_SERIAL_PEER=\$peer \
    timeout ${SERIAL_VM_SUITE_TIMEOUT:-240} $bin/main_tests --gtest_filter='$window_flows' \
    >/host/run/out/window-\$name.log 2>&1
  echo \$? >/host/run/out/window-\$name.rc
  echo "serial-vm: window over \$name done in \$(cut -d' ' -f1 /proc/uptime) s"
  # The serial component's own cases on the port.
  chroot /host /usr/bin/env TMPDIR=/run/tmp HOME=/run/tmp KONF_SERIAL_DRIVER=\$name \
    KONF_SERIAL_DEVICE=\$dev KONF_SERIAL_PEER=\$peer \
    timeout ${SERIAL_VM_SUITE_TIMEOUT:-240} $bin/tests_cport --gtest_filter='PtyPortTest.*' \
    >/host/run/out/cport-\$name.log 2>&1
  echo \$? >/host/run/out/cport-\$name.rc
  echo "serial-vm: component over \$name done in \$(cut -d' ' -f1 /proc/uptime) s"
done
sync
echo "serial-vm: end \$(cut -d' ' -f1 /proc/uptime) s"
poweroff -f
EOF
chmod +x "$work/initrd/init"
(cd "$work/initrd" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz"

# --- the machine --------------------------------------------------------------------------
accel=tcg
if [[ -r /dev/kvm && -w /dev/kvm ]] && qemu-system-x86_64 -accel kvm -machine none -display none \
  -nodefaults -S -daemonize -pidfile "$work/probe.pid" 2>/dev/null; then
  kill "$(cat "$work/probe.pid")" 2>/dev/null || true
  accel=kvm
fi
# The wires: ttyS1 <-> ttyS2 and the FTDI adapter <-> ttyS3, each a stream socket from one end
# to the other. A stream holds bytes back while the receiving UART is full, as a wire with
# flow control would (a datagram wire drops them), and the adapter attaches to the bus only
# once its far end is connected.
monitor=$((20000 + RANDOM % 20000))
boot() {
  : >"$work/console.log"
  started=$(date +%s.%N)
  timeout -k 10 900 qemu-system-x86_64 -accel "$1" -m 512 -smp 1 -nodefaults -display none -no-reboot \
    -kernel "$kernel" -initrd "$work/initrd.gz" \
    -append "console=ttyS0 rdinit=/init panic=-1 quiet loglevel=3 8250.nr_uarts=4" \
    -chardev file,id=con,path="$work/console.log" -serial chardev:con \
    -chardev socket,id=s1,path="$work/uart.sock",server=on,wait=off -serial chardev:s1 \
    -chardev socket,id=s2,path="$work/uart.sock" -serial chardev:s2 \
    -chardev socket,id=u0,path="$work/ftdi.sock",server=on,wait=off \
    -chardev socket,id=s3,path="$work/ftdi.sock" -serial chardev:s3 \
    -device qemu-xhci,id=xhci -device usb-serial,bus=xhci.0,chardev=u0,id=ftdi \
    -virtfs local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap \
    -virtfs local,path="$work/out",mount_tag=out,security_model=none \
    -monitor tcp:127.0.0.1:$monitor,server=on,wait=off >"$work/qemu.log" 2>&1 &
  qemu_pid=$!
}
boot $accel
# A nested KVM may take the guest and never run it: no line on the console, a core busy for
# good. The init says it is up within seconds on KVM; past a minute the emulator does it.
if [[ $accel == kvm ]]; then
  for _ in $(seq 120); do
    grep -q "serial-vm: up" "$work/console.log" 2>/dev/null || ! kill -0 $qemu_pid 2>/dev/null && break
    sleep 0.5
  done
  if ! grep -q "serial-vm: up" "$work/console.log" 2>/dev/null; then
    echo "serial-vm: the machine did not come up under KVM within 60 s; again under TCG" >&2
    kill $qemu_pid 2>/dev/null || true
    wait $qemu_pid 2>/dev/null || true
    accel=tcg
    boot $accel
  fi
fi
# The guest asks for the adapter to be pulled out and put back, or for a break into the port
# under test (the file names the driver), with a file in the shared folder.
monitor() {
  exec 5<>"/dev/tcp/127.0.0.1/$monitor" || return 0
  printf '%s\n' "$1" >&5
  sleep 1
  exec 5>&-
}
(
  while kill -0 $qemu_pid 2>/dev/null; do
    if [[ -e $work/out/unplug ]]; then
      rm -f "$work/out/unplug"
      monitor "device_del ftdi"
    fi
    if [[ -e $work/out/replug ]]; then
      rm -f "$work/out/replug"
      monitor "device_add usb-serial,bus=xhci.0,chardev=u0,id=ftdi"
    fi
    if [[ -s $work/out/break ]]; then
      who=$(cat "$work/out/break")
      rm -f "$work/out/break"
      case $who in
      8250) monitor "chardev-send-break s1" ;;
      ftdi_sio) monitor "chardev-send-break u0" ;;
      esac
    fi
    sleep 0.2
  done
) &
status=0
wait $qemu_pid || status=$?
qemu_pid=
ended=$(date +%s.%N)
if ! grep -q "serial-vm: up" "$work/console.log" 2>/dev/null; then
  cat "$work/qemu.log" "$work/console.log" 2>/dev/null | tail -n 20 >&2
  ((status == 124)) && { echo "serial-vm: the machine did not boot within its time" >&2; exit 1; }
  cannot "qemu did not start the machine (status $status)"
fi

# --- the summary --------------------------------------------------------------------------
grep "^serial-vm:" "$work/console.log" || true
awk -v a=$accel -v s="$started" -v e="$ended" 'BEGIN {printf "serial-vm: accelerator %s, machine ran %.1f s\n", a, e - s}'
fail=0
for name in $(for s in $suites; do echo "${s%%:*}"; done) \
  $(for s in $suites; do echo "link-${s%%:*} window-${s%%:*} cport-${s%%:*}"; done); do
  log=$work/out/$name.log
  if [[ ! -f $log ]]; then
    echo "== $name: not run ($(cat "$work/out/${name#*-}.missing" 2>/dev/null || echo "the machine ended early"))"
    fail=1
    continue
  fi
  run=$(grep -c '^\[ RUN      \]' "$log" || true)
  passed=$(grep -c '^\[       OK \]' "$log" || true)
  failed=$(grep -c '^\[  FAILED  \] [A-Za-z].*(' "$log" || true)
  skipped=$(grep -c '^\[  SKIPPED \] [A-Za-z].*(' "$log" || true)
  echo "== $name: run $run, passed $passed, failed $failed, skipped $skipped"
  # Each skip with its reason (the line after gtest's "Skipped").
  awk '/: Skipped$/ {getline reason; next_reason = reason; next}
       /^\[  SKIPPED \] [A-Za-z].*\(/ {print "   skipped " $4 ": " next_reason}' "$log"
  awk '/^\[  FAILED  \] [A-Za-z].*\(/ {print "   FAILED " $4}' "$log"
  [[ $(cat "$work/out/$name.rc" 2>/dev/null) == 0 && $failed == 0 && $run -gt 0 ]] || {
    fail=1
    [[ -n ${SERIAL_VM_VERBOSE:-} ]] && cat "$log"
  }
  [[ -n ${SERIAL_VM_KEEP:-} ]] && cp "$work"/out/* "$SERIAL_VM_KEEP/"
done
exit $fail
