#!/usr/bin/env bash
# The service manager's protocol on a real datagram socket (NOTIFY_SOCKET), as systemd reads it:
#   cycling: READY=1 once, "STATUS=bringing the modem up, attempt 1", "STATUS=on the air", and
#            WATCHDOG=1 while the modem is brought up and polled, at least every WATCHDOG_USEC/2,
#            even through an operator selection that takes longer than WATCHDOG_USEC;
#   hung:    none while the gateway is frozen (SIGSTOP), again after SIGCONT;
#   stopped: STOPPING=1 on SIGTERM, exit status 0;
#   halted:  "STATUS=halted: <message>" and no WATCHDOG=1 after it, so the watchdog ends it;
#            under MVO_ON_HALT=exit the halt ends the process with status 1 after its message
#            and its error-log tag.
# usage: notify.sh <repo> <build-dir>
source "$(dirname "$0")/lib.sh"
repo=$(cd "$1" && pwd)
bin=$(cd "$2" && pwd)
watchdog_usec=4000000
half=2.0   # WATCHDOG_USEC/2 in seconds
slack=0.5  # scheduling on a loaded machine

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
now() { date +%s.%N; }
# pings LOG FROM TO: how many WATCHDOG=1 came between the two times.
pings() { awk -F'\t' -v a="$2" -v b="$3" '$2 == "WATCHDOG=1" && $1 > a && $1 < b' "$1" | wc -l; }
# longest_gap LOG FROM TO: the longest time without a WATCHDOG=1 from FROM to TO.
longest_gap() {
  awk -F'\t' -v a="$2" -v b="$3" '
    BEGIN { last = a; gap = 0 }
    $2 == "WATCHDOG=1" && $1 > a && $1 < b { if ($1 - last > gap) gap = $1 - last; last = $1 }
    END { if (b - last > gap) gap = b - last; printf "%.3f\n", gap }' "$1"
}
time_of() { awk -F'\t' -v w="$2" '$2 == w { print $1; exit }' "$1"; }
alive() { [[ -e /proc/$1 ]] && [[ $(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) != Z ]]; }

# --- cycling, hung, stopped --------------------------------------------------------------------
printf 'cops-delay 6000\n' >"$tmp/scenario"  # longer than WATCHDOG_USEC
"$bin/mvo-modem-sim" --link "$tmp/modem" --scenario "$tmp/scenario" >"$tmp/sim.out" &
pids+=($!)
wait_for 5 test -L "$tmp/modem" || fail "no link"
cp -r "$repo/examples/site" "$tmp/site"
rm -f "$tmp/site/log/"*.csv
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
sleep 4  # polling an empty modem
t=$(now)
gap=$(longest_gap "$log" "$ready" "$t")
awk "BEGIN { exit !($gap <= $half + $slack) }" ||
  fail "$gap s without WATCHDOG=1 while cycling: $(cat "$log")"

# Frozen longer than WATCHDOG_USEC/2: no sign of life; thawed: the pings come back.
kill -STOP "$gw"
frozen=$(now)
sleep 5
thawed=$(now)
kill -CONT "$gw"
[[ $(pings "$log" "$frozen" "$thawed") == 0 ]] || fail "WATCHDOG=1 while frozen: $(cat "$log")"
thawed_ping() { [[ $(pings "$log" "$thawed" "$(now)") -ge 1 ]]; }
wait_for 8 thawed_ping || fail "no WATCHDOG=1 after the thaw: $(cat "$log")"

kill -TERM "$gw"
wait_for 6 eval '! alive $gw' || fail "still running 6 s after SIGTERM: $(tail -c 300 "$tmp/gw.out" | cat -A)"
status=0
wait "$gw" || status=$?
[[ $status == 0 ]] || fail "exit status $status after SIGTERM"
grep -qF $'\tSTOPPING=1' "$log" || fail "no STOPPING=1: $(cat "$log")"
[[ $(grep -cF $'\tREADY=1' "$log") == 1 ]] || fail "READY=1 more than once: $(cat "$log")"

# --- halted ------------------------------------------------------------------------------------
# A site without cfg.txt halts at once; mvo-check catches it before a service starts, but any
# halt is the same to the protocol.
for mode in stay exit; do
  site=$tmp/halt-$mode
  cp -r "$repo/examples/site" "$site"
  rm -f "$site/log/"*.csv "$site/configuration/cfg.txt"
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
  grep -qF "NO CFG FILE" "$tmp/halt-$mode.out" || fail "$mode: console: $(cat -A "$tmp/halt-$mode.out")"
  grep -qF "NO CFG FILE" "$site/log/err_log.csv" || fail "$mode: error log"
  if [[ $mode == stay ]]; then
    sleep 5  # longer than WATCHDOG_USEC/2
    alive "$gw" || fail "a halt outside a service ended the gateway"
    [[ $(pings "$log" "$halted" "$(now)") == 0 ]] || fail "WATCHDOG=1 while halted: $(cat "$log")"
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
