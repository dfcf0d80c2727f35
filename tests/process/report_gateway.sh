#!/usr/bin/env bash
# The real gateway against mvo-modem-sim with one destination the network refuses (cms500 for
# +222): err_log holds "On the air", then "cmgs6.cont." for each report, and the reports are still
# forwarded to the others. Three hours later mvo-report --check must not say "off the air". The
# state file's states (killed, stopped) are the unit tests' rows.
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

echo "report_gateway: ok"
