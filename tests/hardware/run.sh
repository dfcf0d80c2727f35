#!/usr/bin/env bash
# The real gateway on the kernel's own serial drivers: a small Linux guest under QEMU (KVM when
# /dev/kvm works, plain emulation otherwise) with Debian's kernel, a 16550 UART as /dev/ttyS1
# (driver 8250) and an FTDI USB serial adapter on an xHCI controller as /dev/ttyUSB0 (ftdi_sio).
# mvo-modem-sim runs on the host at the other end of each: port A (ttyS1) through bridge.py, which
# can make the modem stop reading; port B (the adapter, by its /dev/serial/by-id link, which
# busybox's mdev makes in udev's place) on the simulator's pseudo-terminal itself, where QEMU's
# monitor unplugs and re-plugs the adapter. The guest's script is init; what it found comes back
# on its console; check.py judges. The cases:
#   1  the demo's reports on both ports: every text forwarded, exactly the demo's texts;
#   2  the abort bytes 26 then 27 after every shut-down (rejected reports, the stop; on port A
#      also after the failed send of case 3);
#   3  port A: the modem stops reading at a text prompt; the write comes back short within its
#      time-out, the queued bytes are discarded and never reach the modem, the gateway goes on;
#   4  port B: the adapter unplugged while idle and in the middle of a modem cycle; the gateway
#      comes back on its own, nothing lost, nothing sent twice;
#   5  both ports: another user's open is refused while the gateway holds the port, and the
#      gateway opens it afresh for each modem cycle.
# The kernel package comes from apt (apt-get download into <repo>/build/hardware/cache, kept
# between runs). Skipped (77) only when there is no kernel to be had (no apt and nothing cached);
# a missing tool is a failure (scripts/install-deps --hardware installs them).
# usage: run.sh <repo> <build-dir> <static mvo-gateway>
set -euo pipefail
repo=$(cd "$1" && pwd)
bin=$(cd "$2" && pwd)
gateway=$3
here=$(cd "$(dirname "$0")" && pwd)
skip() { echo "SKIP: $*"; exit 77; }
# On a failure once QEMU runs, the guest still stops its gateways and sends its files, for the
# post-mortem.
fail() {
  echo "FAIL: $*" >&2
  if [[ -n ${qemu_pid:-} ]] && kill -0 "$qemu_pid" 2>/dev/null; then
    printf 'stop A\nstop B\n' >&7
    wait_for 30 grep -qs "^@@ done" "$work/console.log"
    collect
    echo "the guest's files: $work/{A,B}/*.g" >&2
  fi
  exit 1
}
# wait_for SECONDS COMMAND...: polls every 0.1 s (and fails once QEMU, when started, ended).
wait_for() {
  local limit=$(($1 * 10)) i
  shift
  for ((i = 0; i < limit; i++)); do
    "$@" && return 0
    [[ -z ${qemu_pid:-} ]] || kill -0 $qemu_pid 2>/dev/null ||
      fail "QEMU ended: $(cat "$work/qemu.out"; tail -20 "$work/console.log")"
    sleep 0.1
  done
  return 1
}
start=$SECONDS

for tool in qemu-system-x86_64 cc depmod modprobe socat python3; do
  command -v "$tool" >/dev/null || fail "no $tool: run scripts/install-deps --hardware"
done
applets=$(/bin/busybox --list 2>/dev/null || true)  # whole, so grep -q cannot cut it short
grep -qx mdev <<<"$applets" || fail "no static busybox: run scripts/install-deps --hardware"
[[ $(file -L /bin/busybox 2>/dev/null) == *"statically linked"* ]] ||
  fail "/bin/busybox is not the static one (busybox-static): run scripts/install-deps --hardware"

# The kernel: the newest linux-image-<version>-amd64 that linux-image-amd64 names, downloaded once.
cache=$repo/build/hardware/cache
mkdir -p "$cache"
deb=$(ls -t "$cache"/linux-image-*.deb 2>/dev/null | head -1 || true)
if [[ -z "$deb" ]]; then
  command -v apt-get >/dev/null || skip "no apt-get and no kernel package in $cache"
  pkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-/ { print $2; exit }')
  [[ -n "$pkg" ]] || skip "apt knows no linux-image-amd64 (no Debian sources?)"
  (cd "$cache" && apt-get download "$pkg") >"$cache/download.log" 2>&1 ||
    skip "apt-get download $pkg failed: $(tail -2 "$cache/download.log")"
  deb=$(ls -t "$cache"/linux-image-*.deb | head -1)
fi
kdir=$cache/$(basename "$deb" .deb)
if [[ ! -f $kdir/ready ]]; then
  rm -rf "$kdir"
  dpkg-deb -x "$deb" "$kdir"
  depmod -b "$kdir" "$(ls "$kdir/lib/modules")"
  touch "$kdir/ready"
fi
kver=$(ls "$kdir/lib/modules")
vmlinuz=$kdir/boot/vmlinuz-$kver

work=$bin/hardware
rm -rf "$work"
mkdir -p "$work/root"/{bin,etc,lib/modules,proc,sys,dev,tmp,site} "$work/A" "$work/B"
root=$work/root

# The modules the guest loads, each after those it needs, in load order.
modules=$(modprobe -d "$kdir" -S "$kver" --show-depends -a xhci-pci ftdi_sio |
  awk '$1 == "insmod" && !seen[$2]++ { print $2 }') || fail "no xhci-pci or ftdi_sio in $deb"
cp $modules "$root/lib/modules/"
for m in $modules; do basename "$m"; done >"$root/lib/modules/load"

cp /bin/busybox "$root/bin/busybox"
for applet in $applets; do
  [[ $applet == busybox ]] || ln -s busybox "$root/bin/$applet"
done
cp "$gateway" "$root/bin/mvo-gateway"
cc -static -O2 -Wall -Werror -o "$root/bin/probe" "$here/probe.c" || fail "cannot build probe.c"
cp "$here/init" "$root/init"
chmod 0755 "$root/init"
cp -r "$repo/examples/site/." "$root/site/"
rm -f "$root/site/log/"*
printf 'root:x:0:0::/:/bin/sh\ngw:x:1000:20::/tmp:/bin/sh\nother:x:1001:20::/tmp:/bin/sh\n' \
  >"$root/etc/passwd"
printf 'root:x:0:\ndialout:x:20:gw,other\n' >"$root/etc/group"
printf 'ttyS[0-9]* 0:20 660\nttyUSB[0-9]* 0:20 660 */bin/by-id\n' >"$root/etc/mdev.conf"
cp "$here/by-id" "$root/bin/by-id"
chmod 0755 "$root/bin/by-id"
(cd "$root" && find . | /bin/busybox cpio -o -H newc 2>/dev/null | gzip -1) >"$work/initrd.gz"
echo "guest made: $((SECONDS - start)) s (kernel $kver, modules: $(xargs <"$root/lib/modules/load"))"

# The two modems: the demo's stored reports; port B answers the operator query slowly, so the
# adapter can be pulled in the middle of a bring-up.
scenario() {
  grep -vE '^[[:space:]]*(end|deliver|cops-delay)[[:space:]]' "$repo/examples/demo-scenario.txt"
  echo "cops-delay $1"
}
scenario 200 >"$work/A/scenario"
scenario 2000 >"$work/B/scenario"
pids=()
for p in A B; do
  mkdir -p "$work/$p/spool"
  "$bin/mvo-modem-sim" --link "$work/$p/modem" --scenario "$work/$p/scenario" \
    --outbox "$work/$p/outbox" --transcript "$work/$p/transcript" --spool "$work/$p/spool" \
    >"$work/$p/sim.out" 2>&1 &
  pids+=($!)
done
cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT
for p in A B; do
  wait_for 5 test -L "$work/$p/modem" || fail "simulator $p did not come up: $(cat "$work/$p/sim.out")"
done

mkfifo "$work/con.in" "$work/con.out" "$work/A/line.in" "$work/A/line.out"
python3 "$here/bridge.py" "$work/A/line" "$work/A/modem" 33 >"$work/A/bridge.out" 2>&1 &
bridge=$!
pids+=($bridge)

# KVM where it works, QEMU's own emulation (TCG) otherwise; the monitor says which ran. A
# /dev/kvm that opens is not enough: on some hosts a KVM guest never runs a single instruction.
# So the kernel is started once under KVM alone, and KVM is used only if it speaks within 20 s.
kvm_runs() {
  [[ -w /dev/kvm ]] || return 1
  local log=$work/kvm-probe.log probe spoke=0
  qemu-system-x86_64 -accel kvm -M q35 -m 128 -nodefaults -display none -no-reboot -net none \
    -kernel "$vmlinuz" -append "console=ttyS0 panic=-1" -serial "file:$log" >/dev/null 2>&1 &
  probe=$!
  wait_for 20 test -s "$log" || spoke=1
  kill $probe 2>/dev/null
  wait $probe 2>/dev/null
  return $spoke
}
accel=(-accel tcg)
kvm_runs && accel=(-accel kvm -accel tcg)
qemu=(qemu-system-x86_64 "${accel[@]}" -M q35 -m 256 -smp 1 -nodefaults -display none
  -no-reboot -net none
  -kernel "$vmlinuz" -initrd "$work/initrd.gz"
  -append "console=ttyS0 quiet panic=-1 8250.nr_uarts=2"
  -chardev "pipe,id=con,path=$work/con" -serial chardev:con
  -chardev "pipe,id=portA,path=$work/A/line" -serial chardev:portA
  -device qemu-xhci,id=xhci
  -chardev "serial,id=portB,path=$(readlink "$work/B/modem")"
  -device usb-serial,bus=xhci.0,chardev=portB,id=ftdi,serial=MVO1
  -monitor "unix:$work/monitor,server=on,wait=off")
cat "$work/con.out" >"$work/console.log" &
pids+=($!)
exec 7<>"$work/con.in"
"${qemu[@]}" >"$work/qemu.out" 2>&1 &
qemu_pid=$!
pids+=($qemu_pid)
# The guest's files out of its console, into <port>/<file>.g.
collect() {
  awk -v dir="$work" '{ sub(/\r$/, "") } /^@@ file / { f = dir "/" $3 ".guest"; printf "" > f; on = 1; next }
    /^@@ end/ { on = 0; next } on { print >> f }' "$work/console.log"
  local f
  for f in "$work"/{A,B}/*.guest; do base64 -d "$f" >"${f%.guest}.g" 2>/dev/null || true; done
}
monitor() { (echo "$1"; sleep 0.5) | socat - "UNIX-CONNECT:$work/monitor" >>"$work/monitor.out" 2>&1; }
sent() { [[ $(wc -l <"$work/$1/outbox" 2>/dev/null || echo 0) -ge $2 ]]; }
count() { grep -cF -- "$2" "$work/$1/transcript" 2>/dev/null || true; }
# more PORT PATTERN N: the gateway has written PATTERN more than N times.
more() { (($(count "$1" "$2") > $3)); }

wait_for 120 grep -qs "^@@ booted" "$work/console.log" ||
  fail "the guest did not boot: $(tail -30 "$work/console.log")"
echo "booted in $((SECONDS - start)) s (${accel[1]}): $(grep "^@@ booted" "$work/console.log")"
grep "^@@ insmod" "$work/console.log" && fail "a module did not load"

# Case 1 on both ports: the demo's five stored reports (two rejected).
wait_for 150 sent A 5 || fail "port A: $(cat "$work/A/outbox" 2>/dev/null)"
wait_for 60 sent B 5 || fail "port B: $(cat "$work/B/outbox" 2>/dev/null)"
echo "demo forwarded on both ports: $((SECONDS - start)) s"

# Case 3 on port A: a report whose first text meets a modem that stops reading.
kill -USR1 $bridge
printf '+4430\n3,0.4,o,60,e,f,2\n' >"$work/A/spool/.r" && mv "$work/A/spool/.r" "$work/A/spool/r"

# Case 4 on port B: unplugged while idle (the demo's four messages gone, a listing answered),
# back 3 s later; then pulled again while the bring-up waits for the operator, and a report comes
# while the adapter is out.
wait_for 60 more B '< AT+CMGD=' 3 || fail "port B: the demo's messages stay"
idle_from=$(count B '< AT+CMGL')
wait_for 20 more B '< AT+CMGL' "$idle_from" || fail "port B never polled"
sleep 0.3
cops=$(count B '< AT+COPS=0\r')
monitor "device_del ftdi"
echo "port B: unplugged while idle"
sleep 3
monitor "device_add usb-serial,bus=xhci.0,chardev=portB,id=ftdi,serial=MVO1"
wait_for 60 more B '< AT+COPS=0\r' "$cops" ||
  fail "port B: no bring-up after the re-plug: $(tail -5 "$work/B/transcript")"
monitor "device_del ftdi"
echo "port B: back, and unplugged again in the middle of its bring-up"
printf '+4430\n3,0.4,o,60,e,f,2\n' >"$work/B/spool/.r" && mv "$work/B/spool/.r" "$work/B/spool/r"
sleep 3
monitor "device_add usb-serial,bus=xhci.0,chardev=portB,id=ftdi,serial=MVO1"
wait_for 90 sent B 8 || fail "port B after the re-plug: $(cat "$work/B/outbox")"

# Port A after the stall: the rest of the fan-out went out; the next report goes out too.
wait_for 90 grep -q "stall ends" "$work/A/bridge.out" || fail "port A: no stall: $(cat "$work/A/bridge.out")"
printf '+4420\n7,1.2,c,150,e,f,0\n' >"$work/A/spool/.r" && mv "$work/A/spool/.r" "$work/A/spool/r"
wait_for 120 sent A 9 || fail "port A after the stall: $(cat "$work/A/outbox"; cat "$work/A/bridge.out")"
sleep 1
printf 'stop A\nstop B\n' >&7
wait_for 60 grep -q "^@@ done" "$work/console.log" || fail "the guest did not finish: $(tail -20 "$work/console.log")"
wait $qemu_pid || true
collect
python3 "$here/check.py" "$work" || fail "see above; files in $work"
echo "hardware: ok ($((SECONDS - start)) s)"
