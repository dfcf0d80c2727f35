#!/usr/bin/env bash
# The real gateway against mvo-modem-sim: the demo's reports forwarded to each destination type,
# byte for byte; the station log with CR LF; then the modem pulled out and put back, and the
# gateway on the air again without a restart. MVO_TRACE unset: no file beyond the logs.
# usage: forward.sh <repo> <build-dir>
source "$(dirname "$0")/lib.sh"
repo=$1
bin=$2
cat >"$tmp/scenario" <<'SCEN'
operator Process Net
cops-delay 200
store +4410 10,2.5,c,400,e,f,1
store +4420 7,1.2,c,150,e,f,0
SCEN
cp -r "$repo/examples/site" "$tmp/site"
rm -f "$tmp/site/log/"*.csv
"$bin/mvo-modem-sim" --link "$tmp/modem" --scenario "$tmp/scenario" --outbox "$tmp/outbox" \
  --spool "$tmp/spool" >"$tmp/sim.out" &
sim=$!
pids+=($sim)
mkdir -p "$tmp/spool"
wait_for 5 test -L "$tmp/modem" || fail "no link"
(cd "$tmp/site" && unset MVO_TRACE && exec "$bin/mvo-gateway" </dev/null >"$tmp/gw.out") &
pids+=($!)
sent() { [[ $(wc -l <"$tmp/outbox" 2>/dev/null || echo 0) -ge $1 ]]; }
wait_for 60 grep -q "Pump North" "$tmp/site/log/err_log.csv" "$tmp/gw.out" || fail "no second report"
wait_for 60 sent 5 || fail "outbox: $(cat "$tmp/outbox" 2>/dev/null); console: $(cat -A "$tmp/gw.out")"
expect=(
  '"number":"+111","text":"+4410,10,2.5,c,400,e,f,1\u001a"'
  '"number":"+222","text":"Tank3 reports: Overflow at level of 2.5 meter\u001a"'
  '"number":"+444","text":"Tank3: OVERFLOW 2.5 m, 400 l (10/c/e/f)\u001a"'
  '"number":"+111","text":"+4420,7,1.2,c,150,e,f,0\u001a"'
  '"number":"+333","text":"Pump North reports: Normal at volume of 150 liter\u001a"'
)
for i in "${!expect[@]}"; do
  sed -n "$((i + 1))p" "$tmp/outbox" | grep -qF "${expect[$i]}" || fail "text $i: $(cat "$tmp/outbox")"
done
grep -qF $'\ncpms.0.1.2.3.4..\n' "$tmp/gw.out" || fail "storage trace: $(cat -A "$tmp/gw.out")"
grep -qF 'OUR OPERATOR TODAY    -  "Process Net"' "$tmp/gw.out" || fail "operator line: $(cat -A "$tmp/gw.out")"
grep -qE '^SMS /[A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} [0-9]{4}/[01][0-9]:[0-5][0-9]:[0-5][0-9]/Tank3: 10,2.5,c,400,e,f,1$' \
  "$tmp/gw.out" || fail "console line: $(cat -A "$tmp/gw.out")"
grep -qP '^  [+-]\d\d , \d\d/\d\d/\d\d , \d\d:\d\d:\d\d  , 10,2.5,c,400,e,f,1 \r$' "$tmp/site/log/+4410.csv" ||
  fail "station log: $(od -c "$tmp/site/log/+4410.csv")"

# Pull the modem out: the simulator dies and its link goes; a new one comes up later.
kill "$sim"; wait "$sim" 2>/dev/null || true
wait_for 60 grep -q "cannot open COM port" "$tmp/gw.out" ||
  fail "gateway did not notice the unplug: $(cat -A "$tmp/gw.out" | tail -3)"
"$bin/mvo-modem-sim" --link "$tmp/modem" --outbox "$tmp/outbox" --spool "$tmp/spool" \
  >"$tmp/sim2.out" 2>&1 &
pids+=($!)
printf '+4430\n3,0.4,o,60,e,f,2\n' >"$tmp/spool/.r1" && mv "$tmp/spool/.r1" "$tmp/spool/r1"
wait_for 60 sent 8 || fail "after replug: $(cat "$tmp/outbox"); console: $(cat -A "$tmp/gw.out" | tail -5)"
[[ $(grep -c "On the air" "$tmp/site/log/err_log.csv") -ge 2 ]] || fail "no second bring-up"
grep -qF '"number":"+444","text":"Gauge 7: low, 0.4 m left\u001a"' "$tmp/outbox" || fail "$(cat "$tmp/outbox")"
# The traffic log (on in the example site) accounts for every message and every text: one "in"
# record a message, one "out" record a due text (written once its result is read, so just after
# the phone has it), each "sent" text exactly what the phone got. A text whose result was lost in
# the unplug is recorded as failed, though the modem had taken it: that is all the gateway knows.
outs() { [[ $(grep -c ';out;' "$tmp/site/log/traffic.log") -ge 8 ]]; }
wait_for 10 outs || fail "traffic log: $(cat -A "$tmp/site/log/traffic.log")"
python3 - "$tmp/site/log/traffic.log" "$tmp/outbox" <<'PY' || fail "traffic log: $(cat -A "$tmp/site/log/traffic.log")"
import json, re, sys
unescape = lambda f: re.sub(r'\\x([0-9A-F]{2})', lambda m: chr(int(m.group(1), 16)), f)
records = []
for line in open(sys.argv[1], newline=''):
    assert line.endswith('\r\n'), repr(line)
    fields = [unescape(f) for f in line[:-2].split(';')]
    assert len(fields) == 8, fields
    records.append(fields)
ins = [(r[2], r[4], r[7]) for r in records if r[1] == 'in']
outs = sorted((r[2], r[7] + '\x1a') for r in records if r[1] == 'out')
sent_records = [(r[2], r[7] + '\x1a') for r in records if r[1] == 'out' and r[4] == 'sent']
phones = sorted((e['number'], e['text']) for e in map(json.loads, open(sys.argv[2])))
assert ins == [('+4410', 'accepted', '10,2.5,c,400,e,f,1'), ('+4420', 'accepted', '7,1.2,c,150,e,f,0'),
               ('+4430', 'accepted', '3,0.4,o,60,e,f,2')], ins
assert outs == phones, (outs, phones)
assert all(s in phones for s in sent_records), sent_records
assert all(r[4] in ('sent', 'failed') for r in records if r[1] == 'out'), records
PY
extra=$(cd "$tmp/site" && find . -type f ! -path './configuration/*' ! -path './log/*.csv' \
  ! -path ./log/traffic.log ! -path ./log/gateway.state ! -path ./log/.keep)
[[ -z "$extra" ]] || fail "files beyond the logs: $extra"
echo "forward: ok"
