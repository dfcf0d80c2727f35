#!/usr/bin/env bash
# The gateway as systemd runs it: its notices on a real datagram socket (NOTIFY_SOCKET), its
# console on the journal's stream (JOURNAL_STREAM naming its standard output), its exit status.
#   running: READY=1 once, before "STATUS=bringing the modem up, attempt 1", then "STATUS=on the
#            air" and WATCHDOG=1 at least every WATCHDOG_USEC/2 while the modem is polled (through
#            every wait: the scenario tests, in virtual time). The journal gets every event as one
#            whole line led by its syslog priority: "<6>" the bring-up and the forward, "<3>" a
#            submission refused, "<4>" a sender that is no station, "<5>" the stop (every tag's:
#            the logs' unit rows); no spinner, no CR. With MVO_TRACE unset no file appears beyond
#            the logs. SIGTERM: STOPPING=1, exit status 0.
#   halted:  an empty directory (no cfg.txt) halts at once (mvo-check catches it before a service
#            starts, but any halt is the same here): "STATUS=halted: <message>", then no WATCHDOG=1,
#            so the watchdog ends it, and it stays alive. Its JOURNAL_STREAM names another file
#            on the same device, so its console is today's (byte for byte, with the error log and
#            the CPU it uses while halted: startup.sh). Under MVO_ON_HALT=exit the halt ends the
#            process with status 1.
# usage: service.sh <repo> <build-dir>
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

# --- halted, side by side with the run below ----------------------------------------------------
mkdir -p "$tmp/halt/log" "$tmp/halt-exit/log"
: >"$tmp/elsewhere"
listen "$tmp/halt.sock" "$tmp/halt.log"
(cd "$tmp/halt" && NOTIFY_SOCKET="$tmp/halt.sock" WATCHDOG_USEC=$watchdog_usec \
  JOURNAL_STREAM=$(stat -c %d:%i "$tmp/elsewhere") exec "$bin/mvo-gateway" </dev/null >"$tmp/halt.out") &
halt=$!
pids+=($halt)
(cd "$tmp/halt-exit" && MVO_ON_HALT=exit exec "$bin/mvo-gateway" </dev/null >/dev/null) &
halt_exit=$!
pids+=($halt_exit)

# --- running, stopped ----------------------------------------------------------------------------
printf 'cops-delay 200\nstore +4410 10,2.5,c,400,e,f,1\nstore +4499 hello there\n'`
  `'send-fault +222 cms500 count 1\n' >"$tmp/scenario"
start_sim "$bin/mvo-modem-sim" "$tmp" --scenario "$tmp/scenario"
example_site "$tmp/site"
log=$tmp/cycle.log
j=$tmp/journal
listen "$tmp/cycle.sock" "$log"
: >"$j"
# WATCHDOG_PID names the gateway itself, as systemd names its main process ($BASHPID: the
# subshell that the gateway replaces).
(cd "$tmp/site" && unset MVO_TRACE && NOTIFY_SOCKET="$tmp/cycle.sock" WATCHDOG_USEC=$watchdog_usec \
  WATCHDOG_PID=$BASHPID JOURNAL_STREAM=$(stat -c %d:%i "$j") \
  exec env --default-signal=INT,HUP,TERM "$bin/mvo-gateway" </dev/null >"$j") &
gw=$!
pids+=($gw)
wait_for 60 grep -qs "SMS from UFO" "$tmp/site/log/err_log.csv" ||
  fail "the unknown sender was never refused: $(cat "$log"; tail -c 300 "$j" | cat -A)"
order=$(awk -F'\t' '$2 ~ /^(READY=1|STATUS=bringing the modem up, attempt 1|STATUS=on the air)$/ {
  printf "%s|", $2 }' "$log")
[[ $order == "READY=1|STATUS=bringing the modem up, attempt 1|STATUS=on the air|" ]] ||
  fail "READY=1 once, then the bring-up, then on the air: $(cat "$log")"
# Polling (where the spinner would turn) for as long as two pings take.
refused=$(date +%s.%N)
polled() { [[ $(pings "$log" "$refused") -ge 2 ]]; }
wait_for 5 polled || fail "not two WATCHDOG=1 in 5 s of polling: $(cat "$log")"
kill -TERM "$gw"
wait_for 6 eval '! alive $gw' || fail "still running 6 s after SIGTERM: $(tail -c 300 "$j" | cat -A)"
status=0
wait "$gw" || status=$?
[[ $status == 0 ]] || fail "exit status $status after SIGTERM"
grep -qF $'\tSTOPPING=1' "$log" || fail "no STOPPING=1: $(cat "$log")"
extra=$(cd "$tmp/site" && find . -type f ! -path './configuration/*' ! -path './log/*.csv' \
  ! -path ./log/traffic.log ! -path ./log/gateway.state ! -path ./log/.keep)
[[ -z "$extra" ]] || fail "files beyond the logs: $extra"

# The journal: whole lines, each with a priority; the events at theirs.
[[ $(tail -c 1 "$j" | od -An -c | tr -d ' ') == '\n' ]] || fail "journal: not whole lines: $(tail -c 200 "$j" | cat -A)"
! grep -q $'\r' "$j" || fail "journal: a CR: $(grep -n $'\r' "$j" | head -3 | cat -A)"
bad=$(grep -vnE '^<[0-7]>' "$j" || true)
[[ -z $bad ]] || fail "journal: lines without a priority: $(head -5 <<<"$bad" | cat -A)"
! grep -qE '^<[0-7]>[-+ ]*$|--        \+\+' "$j" || fail "journal: a spinner: $(grep -nE '^<[0-7]>[-+ ]*$' "$j" | head -3)"
for want in '^<6>.*OUR OPERATOR TODAY    -  "MVO Telecom"' \
  '^<6>SMS /[A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} [0-9]{4}/[0-9:]{8}/Tank3: 10,2\.5,c,400,e,f,1$' \
  '^<3>.*CMGS6\(\(\+CMS ERROR: 500\)\)\.Probably wrong destination\(\(\+222\)\)' \
  '^<4>.*SMS from un-authorized: \+4499' '^<5>stopped on request\.$'; do
  grep -qE "$want" "$j" || fail "journal: no line like $want: $(cat -A "$j")"
done

# --- halted: the checks ----------------------------------------------------------------------------
halted=$(awk -F'\t' '$2 ~ /^STATUS=halted: ./ { print $1; exit }' "$tmp/halt.log")
[[ -n $halted ]] || fail "no halted status with its message: $(cat "$tmp/halt.log")"
! grep -q '^<[0-7]>' "$tmp/halt.out" || fail "journal lines on another stream: $(cat -A "$tmp/halt.out")"
grep -qF "NO CFG FILE" "$tmp/halt.out" || fail "halted console: $(cat -A "$tmp/halt.out")"
alive "$halt" || fail "a halt outside a service ended the gateway"
# The halt came during the run above, longer ago than WATCHDOG_USEC/2.
[[ $(pings "$tmp/halt.log" "$halted") == 0 ]] || fail "WATCHDOG=1 while halted: $(cat "$tmp/halt.log")"
! alive "$halt_exit" || fail "MVO_ON_HALT=exit: still running after the halt"
status=0
wait "$halt_exit" || status=$?
[[ $status == 1 ]] || fail "MVO_ON_HALT=exit: exit status $status, wanted 1"
echo "service: ok"
