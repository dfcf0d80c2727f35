#!/usr/bin/env bash
# mvo-modem-sim on a pseudo-terminal (its replies: the model's unit tests; its dialogue over the
# pseudo-terminal: stop.sh and host.sh, through the real gateway, and gammu.sh). A client killed
# while it holds the line exclusively (TIOCEXCL), as a gateway killed by a watchdog or by
# `systemctl restart` is: the next open must succeed, as it would on a serial port, which forgets
# the flag at its last close. While a client holds the line, another open is refused; the flag
# goes only with the last of its clients.
# usage: sim.sh <mvo-modem-sim>
source "$(dirname "$0")/lib.sh"
sim=$1
start_sim "$sim" "$tmp"
dev=$(readlink "$tmp/modem")

# The opens that must be refused run unprivileged.
if [[ $(id -u) == 0 ]]; then
  ((${#as_nobody[@]})) || { echo "skipped: setpriv or /usr/bin/python3 missing"; exit 77; }
  chmod o+rw "$dev"
fi

# open.py MODE DEVICE: hold-excl | hold (open, say "held", wait to be killed), try (exit 0 when the
# open succeeds, 3 when it is refused as busy).
code='
import errno, fcntl, os, sys, termios, time
mode, dev = sys.argv[1], sys.argv[2]
try:
    fd = os.open(dev, os.O_RDWR | os.O_NOCTTY)
except OSError as e:
    sys.exit(3 if e.errno == errno.EBUSY else 4)
if mode == "hold-excl":
    fcntl.ioctl(fd, termios.TIOCEXCL)
if mode.startswith("hold"):
    print("held", flush=True)
    time.sleep(120)
'
status() { local s=0; "${as_nobody[@]}" "$py" -c "$code" try "$dev" || s=$?; echo "$s"; }
free() { [[ $(status) == 0 ]]; }
hold() {  # hold MODE NAME: a client in the background, its pid in $held
  python3 -c "$code" "$1" "$dev" >"$tmp/$2.out" &
  held=$!
  pids+=($held)
  wait_for 5 grep -q held "$tmp/$2.out" || fail "$2 did not open the line"
}
killed() { kill "$@"; wait "${@: -1}" 2>/dev/null || true; }

# One client, killed while it holds the line.
hold hold-excl first
[[ $(status) == 3 ]] || fail "a second open while the line is held: $(status), wanted busy (3)"
killed -9 "$held"
wait_for 3 free || fail "the line stays exclusive after its client died: $(status)"

# Two clients, the exclusive one killed first: the line is still someone's until the other goes.
hold hold plain
plain=$held
hold hold-excl excl
killed -9 "$held"
sleep 0.5
[[ $(status) == 3 ]] || fail "released while a client still had the line open: $(status)"
killed "$plain"
wait_for 3 free || fail "the line stays exclusive after its last client: $(status)"
[[ $(grep -c "released" "$tmp/sim.out") == 2 ]] || fail "releases: $(cat "$tmp/sim.out")"
echo "sim: ok"
