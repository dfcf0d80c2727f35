#!/usr/bin/env bash
# The real gateway against mvo-modem-sim with one destination the network refuses (cms500 for
# +222): err_log holds "On the air", then "cmgs6.cont." for each report, and the reports are still
# forwarded to the others. Three hours later mvo-report --check must say OK, not "off the air".
# Then with the heartbeat and the traffic log on: on the air, the refusals counted per
# destination; the gateway killed (its state file goes stale); the gateway stopped on request.
# usage: report_gateway.sh <repo> <build-dir>
source "$(dirname "$0")/lib.sh"
repo=$1
bin=$2
cat >"$tmp/scenario" <<'SCEN'
cops-delay 200
send-fault +222 cms500
store +4410 10,2.5,c,400,e,f,1
SCEN
cp -r "$repo/examples/site" "$tmp/site"
# Without the state file: the gateway's state is judged from the error log alone.
rm -f "$tmp/site/configuration/options.txt"
rm -f "$tmp/site/log/"*.csv
mkdir -p "$tmp/spool"
"$bin/mvo-modem-sim" --link "$tmp/modem" --scenario "$tmp/scenario" --outbox "$tmp/outbox" \
  --spool "$tmp/spool" >"$tmp/sim.out" &
pids+=($!)
wait_for 5 test -L "$tmp/modem" || fail "no link"
(cd "$tmp/site" && exec "$bin/mvo-gateway" </dev/null >"$tmp/gw.out") &
pids+=($!)
wait_for 60 grep -q "cmgs6.cont." "$tmp/site/log/err_log.csv" 2>/dev/null ||
  fail "no refusal: $(cat -A "$tmp/gw.out" | tail -5)"
# A later report, forwarded in the same modem cycle.
printf '+4410\n10,2.6,c,410,e,f,1\n' >"$tmp/spool/.r1" && mv "$tmp/spool/.r1" "$tmp/spool/r1"
wait_for 60 grep -q '2.6,c,410' "$tmp/outbox" || fail "the later report was not forwarded"
refusals() { (($(grep -c 'cmgs6.cont.' "$tmp/site/log/err_log.csv") >= 2)); }
wait_for 60 refusals ||
  fail "second refusal: $(cat -A "$tmp/site/log/err_log.csv"; cat "$tmp/outbox")"
[[ $(grep -c "On the air" "$tmp/site/log/err_log.csv") -eq 1 ]] || fail "the modem was reset"
tags=$(sed -e 's/  ,.*//' "$tmp/site/log/err_log.csv" | tr -d '\r' | paste -sd '|')
echo "err_log: $tags"

# Three hours later, as the PC's clock and zone give it.
later=$(($(date +%s) + 3 * 3600))
offset=$(date -d "@$later" +%z)
quarters=$(( (10#${offset:1:2} * 60 + 10#${offset:3:2}) / 15 ))
now="$(date -d "@$later" '+%Y-%m-%d %H:%M')${offset:0:1}$(printf '%02d' $quarters)"
# Only Tank3 reported: the other two stations are never heard (WARNING); the gateway is on the air.
rc=0
line=$("$bin/mvo-report" "$tmp/site" --check --now "$now") || rc=$?
echo "$rc $line"
((rc == 1)) || fail "exit $rc, not 1: $line"
[[ "$line" == "MVO WARNING - 2 of 3 stations silent: "* ]] || fail "$line"

# now_in SECONDS: --now that many seconds from now, in the PC's zone as quarter hours.
now_in() {
  local later=$(($(date +%s) + $1)) offset quarters
  offset=$(date -d "@$later" +%z)
  quarters=$(((10#${offset:1:2} * 60 + 10#${offset:3:2}) / 15))
  echo "$(date -d "@$later" '+%Y-%m-%d %H:%M')${offset:0:1}$(printf '%02d' $quarters)"
}
check() {  # check CODE PATTERN [--now ...]
  local code=$1 pattern=$2 rc=0
  shift 2
  line=$("$bin/mvo-report" "$tmp/hb" --check "$@") || rc=$?
  echo "$rc $line"
  ((rc == code)) || fail "exit $rc, not $code: $line"
  [[ "$line" =~ $pattern ]] || fail "line does not match '$pattern': $line"
}
cp -r "$repo/examples/site" "$tmp/hb"
rm -f "$tmp/hb/log/"*
printf '"Tank3";"+4410"\r\n' >"$tmp/hb/configuration/stations.txt"
printf 'heartbeat on\r\ntraffic on\r\n' >"$tmp/hb/configuration/options.txt"
printf 'cops-delay 200\nsend-fault +222 cms500\nstore +4410 10,2.5,c,400,e,f,1\n' >"$tmp/scenario2"
"$bin/mvo-modem-sim" --link "$tmp/modem2" --scenario "$tmp/scenario2" --outbox "$tmp/outbox2" \
  >"$tmp/sim2.out" &
pids+=($!)
wait_for 5 test -L "$tmp/modem2" || fail "no second link"
sed -i "s|^port .*|port $tmp/modem2|" "$tmp/hb/configuration/cfg.txt"
start_gateway() {
  (cd "$tmp/hb" && exec "$bin/mvo-gateway" </dev/null >>"$tmp/hb.out") &
  gateway=$!
  pids+=($gateway)
}
start_gateway
refused() { grep -q ';out;+222;[^;]*;refused;' "$tmp/hb/log/traffic.log" 2>/dev/null; }
wait_for 60 refused || fail "no refusal in the traffic log: $(cat -A "$tmp/hb.out" | tail -3)"
check 0 '^MVO OK - 1 stations reporting, gateway on the air'
"$bin/mvo-report" "$tmp/hb" --metrics "$tmp/hb.prom" || fail "--metrics"
grep -q '^mvo_texts{site="[^"]*",destination="Operator",number="+222",outcome="refused"} 1$' \
  "$tmp/hb.prom" || fail "refusal not counted: $(grep mvo_texts "$tmp/hb.prom")"

# Killed: nothing more is written; eleven minutes later the state file is stale.
kill -KILL "$gateway"
wait "$gateway" 2>/dev/null || true
check 2 '^MVO CRITICAL - gateway not running: last sign of life .* \(1[01] min ago, state on the air\)' \
  --now "$(now_in 660)"

# Started again and stopped on request: critical at once, naming it.
start_gateway
on_air() {
  grep -q "^pid=$gateway\b" "$tmp/hb/log/gateway.state" &&
    grep -q '^state=on the air' "$tmp/hb/log/gateway.state"
}
wait_for 60 on_air || fail "not on the air again: $(cat "$tmp/hb/log/gateway.state")"
kill -TERM "$gateway"
wait "$gateway" 2>/dev/null || true
grep -q '^state=stopped' "$tmp/hb/log/gateway.state" || fail "$(cat "$tmp/hb/log/gateway.state")"
check 2 '^MVO CRITICAL - gateway stopped on request at '
echo "report_gateway: ok"
