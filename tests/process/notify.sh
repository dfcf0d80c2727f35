#!/usr/bin/env bash
# The service manager's protocol on a real datagram socket (NOTIFY_SOCKET), as systemd reads it:
#   running: READY=1 once, "STATUS=bringing the modem up, attempt 1", "STATUS=on the air", and
#            WATCHDOG=1 at least every WATCHDOG_USEC/2 while the modem is polled (through every
#            wait: the scenario tests, in virtual time);
#   stopped: STOPPING=1 on SIGTERM, exit status 0;
#   halted:  "STATUS=halted: <message>" and no WATCHDOG=1 after it, so the watchdog ends it;
#            under MVO_ON_HALT=exit the halt ends the process with status 1 after its message
#            and its error-log tag.
# usage: notify.sh <repo> <build-dir>
source "$(dirname "$0")/lib.sh"
repo=$(cd "$1" && pwd)
bin=$(cd "$2" && pwd)
watchdog_usec=4000000

# listen SOCKET LOG: every assignment received, one a line, after the wall-clock seconds.
listen() {
  python3 -c '
import socket, sys, time
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
with open(sys.argv[2], "a", buffering=1) as f:
    print("listening", flush=True)
    while True:
        data = s.recv(65536)
        now = time.time()
        for line in data.decode("utf-8", "replace").split("\n"):
            if line:
                f.write("%.3f\t%s\n" % (now, line))
' "$1" "$2" >"$2.up" &
  pids+=($!)
  wait_for 5 grep -q listening "$2.up" || fail "no listener on $1"
}
# pings LOG FROM: how many WATCHDOG=1 came after the time FROM.
pings() { awk -F'\t' -v a="$2" '$2 == "WATCHDOG=1" && $1 > a' "$1" | wc -l; }
time_of() { awk -F'\t' -v w="$2" '$2 == w { print $1; exit }' "$1"; }

# --- running, stopped ----------------------------------------------------------------------------
printf 'cops-delay 200\n' >"$tmp/scenario"
start_sim "$bin/mvo-modem-sim" "$tmp" --scenario "$tmp/scenario"
example_site "$tmp/site"
log=$tmp/cycle.log
listen "$tmp/cycle.sock" "$log"
(cd "$tmp/site" && NOTIFY_SOCKET="$tmp/cycle.sock" WATCHDOG_USEC=$watchdog_usec \
  exec env --default-signal=INT,HUP,TERM "$bin/mvo-gateway" </dev/null >"$tmp/gw.out") &
gw=$!
pids+=($gw)
wait_for 60 grep -qF $'\tSTATUS=on the air' "$log" ||
  fail "never on the air: $(cat "$log"; tail -c 300 "$tmp/gw.out" | cat -A)"
ready=$(time_of "$log" READY=1)
[[ -n $ready ]] || fail "no READY=1: $(cat "$log")"
bringing=$(time_of "$log" "STATUS=bringing the modem up, attempt 1")
[[ -n $bringing ]] || fail "no bring-up status: $(cat "$log")"
awk "BEGIN { exit !($ready <= $bringing) }" || fail "READY=1 after the bring-up began: $(cat "$log")"
polled() { [[ $(pings "$log" "$(time_of "$log" "STATUS=on the air")") -ge 2 ]]; }
wait_for 5 polled || fail "not two WATCHDOG=1 in 5 s of polling: $(cat "$log")"

kill -TERM "$gw"
wait_for 6 eval '! alive $gw' || fail "still running 6 s after SIGTERM: $(tail -c 300 "$tmp/gw.out" | cat -A)"
status=0
wait "$gw" || status=$?
[[ $status == 0 ]] || fail "exit status $status after SIGTERM"
grep -qF $'\tSTOPPING=1' "$log" || fail "no STOPPING=1: $(cat "$log")"
[[ $(grep -cF $'\tREADY=1' "$log") == 1 ]] || fail "READY=1 more than once: $(cat "$log")"

# --- halted ------------------------------------------------------------------------------------
# An empty directory (no cfg.txt) halts at once; mvo-check catches it before a service starts, but
# any halt is the same to the protocol. (The halt's console and error log: startup.sh.)
for mode in stay exit; do
  site=$tmp/halt-$mode
  mkdir -p "$site/log"
  log=$tmp/halt-$mode.log
  listen "$tmp/halt-$mode.sock" "$log"
  env=(NOTIFY_SOCKET="$tmp/halt-$mode.sock" WATCHDOG_USEC=$watchdog_usec)
  [[ $mode == exit ]] && env+=(MVO_ON_HALT=exit)
  (cd "$site" && exec env "${env[@]}" "$bin/mvo-gateway" </dev/null >"$tmp/halt-$mode.out") &
  gw=$!
  pids+=($gw)
  wait_for 30 grep -qF $'\tSTATUS=halted: ' "$log" || fail "$mode: no halted status: $(cat "$log")"
  halted=$(awk -F'\t' '$2 ~ /^STATUS=halted: ./ { print $1; exit }' "$log")
  [[ -n $halted ]] || fail "$mode: the halted status has no message: $(cat "$log")"
  grep -qF "NO CFG FILE" "$site/log/err_log.csv" || fail "$mode: error log"
  if [[ $mode == stay ]]; then
    sleep 3  # longer than WATCHDOG_USEC/2
    alive "$gw" || fail "a halt outside a service ended the gateway"
    [[ $(pings "$log" "$halted") == 0 ]] || fail "WATCHDOG=1 while halted: $(cat "$log")"
    kill -9 "$gw"
    wait "$gw" 2>/dev/null || true
  else
    wait_for 5 eval '! alive $gw' || fail "MVO_ON_HALT=exit: still running after the halt"
    status=0
    wait "$gw" || status=$?
    [[ $status == 1 ]] || fail "MVO_ON_HALT=exit: exit status $status, wanted 1"
  fi
done
echo "notify: ok"
