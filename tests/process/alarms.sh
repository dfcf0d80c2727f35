#!/usr/bin/env bash
# The real gateway with configuration/alarms.txt against mvo-modem-sim: stations silent past a
# one-minute bound get one folded alarm, a station that reports again one text, a restart in the
# silence keeps what was told; mvo-check --alarms previews them. (A restart's "no second alarm"
# over time is the scenario tests' work, in virtual time; the page over the gateway's alarm state,
# mvo-report's unit tests.)
# usage: alarms.sh <repo> <build-dir>
source "$(dirname "$0")/lib.sh"
repo=$1
bin=$2
cat >"$tmp/scenario" <<'SCEN'
operator Process Net
cops-delay 200
store +4410 10,2.5,c,400,e,f,0
SCEN
cp -r "$repo/examples/site" "$tmp/site"
rm -f "$tmp/site/log/"*.csv
printf '# a site under test\r\nsilent 1m\r\nsilent "Tank3" 1d\r\nto Operator\r\nper-hour 10\r\n' \
  >"$tmp/site/configuration/alarms.txt"
mkdir -p "$tmp/spool"
"$bin/mvo-modem-sim" --link "$tmp/modem" --scenario "$tmp/scenario" --outbox "$tmp/outbox" \
  --spool "$tmp/spool" >"$tmp/sim.out" &
pids+=($!)
wait_for 5 test -L "$tmp/modem" || fail "no link"
start_gateway() {
  (cd "$tmp/site" && exec "$bin/mvo-gateway" </dev/null >>"$tmp/gw.out") &
  gw=$!
  pids+=($gw)
}
alarms() { grep -c '"text":"MVO' "$tmp/outbox" 2>/dev/null || true; }
has_alarms() { [[ $(alarms) -ge $1 ]]; }
start_gateway
# Pump North and Gauge 7 never report: one text names both, a minute after the bring-up.
wait_for 100 has_alarms 1 || fail "no alarm: $(cat "$tmp/outbox" 2>/dev/null); $(tail -c 300 "$tmp/gw.out" | cat -A)"
grep -qE '"number":"\+222","text":"MVO alarm: 2 stations silent: Pump North \(\+4420\) none since [0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}; Gauge 7 \(\+4430\) none since [0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}\\u001a"' \
  "$tmp/outbox" || fail "folded alarm: $(cat "$tmp/outbox")"
test -f "$tmp/site/log/alarms.state" || fail "no alarm state"
# A restart in the middle of the silence: stopped, started again, the alarm still on record.
kill -TERM "$gw"
wait_for 20 grep -q "stopped on request" "$tmp/gw.out" || fail "no stop"
start_gateway
wait_for 10 grep -q 'station=+4430;[0-9]*;[0-9/ :]*;0;1;0' "$tmp/site/log/alarms.state" ||
  fail "state: $(cat -A "$tmp/site/log/alarms.state")"
wait_for 30 bash -c "[[ \$(grep -c 'On the air' '$tmp/site/log/err_log.csv') -ge 2 ]]" || fail "no second bring-up"
# Pump North reports again: one text says so.
printf '+4420\n7,1.2,c,150,e,f,0\n' >"$tmp/spool/.r1" && mv "$tmp/spool/.r1" "$tmp/spool/r1"
wait_for 40 grep -q 'MVO: Pump North (+4420) reports again' "$tmp/outbox" ||
  fail "no back text: $(cat "$tmp/outbox")"
sleep 6
[[ $(alarms) -eq 2 ]] || fail "alarms repeated: $(grep MVO "$tmp/outbox")"
[[ $(grep -c '"number":"+222","text":"MVO' "$tmp/outbox") -eq 2 ]] || fail "recipients: $(cat "$tmp/outbox")"
# The traffic log (on in the example site) records each alarm text with its outcome.
[[ $(grep -c ';out;+222;Operator;sent;ALM;' "$tmp/site/log/traffic.log") -eq 2 ]] ||
  fail "traffic log: $(grep ALM "$tmp/site/log/traffic.log")"
kill -TERM "$gw"
wait_for 20 bash -c "[[ \$(grep -c 'stopped on request' '$tmp/gw.out') -ge 2 ]]" || fail "no second stop"
"$bin/mvo-check" "$tmp/site" --alarms >"$tmp/check.out" || fail "mvo-check --alarms: $(cat "$tmp/check.out")"
grep -qF '  "Tank3" +4410: silent after 1d 0h' "$tmp/check.out" || fail "$(cat "$tmp/check.out")"
grep -qF '  MVO alarm: Tank3 (+4410) silent, last message 05/12/2026 14:02' "$tmp/check.out" ||
  fail "$(cat "$tmp/check.out")"
echo "alarms: ok"
