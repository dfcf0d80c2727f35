#!/usr/bin/env bash
# The real gateway against mvo-modem-sim: the demo's reports forwarded to each destination type,
# byte for byte. No text reaches a wrong phone, the traffic log accounts for every message and
# text, and with MVO_TRACE unset no file appears beyond the logs. (Control bytes in reports: the
# modem's, the texts' and the sms tests, and TermiosPort's raw bytes through a real pty; a failed
# send's abort bytes: the scenario tests and TermiosPort's; the console's lines: journal.sh; the
# modem pulled out and put back: the scenario tests and the hardware tier.)
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
example_site "$tmp/site"
start_sim "$bin/mvo-modem-sim" "$tmp" --outbox "$tmp/outbox" --scenario "$tmp/scenario"
(cd "$tmp/site" && unset MVO_TRACE && exec "$bin/mvo-gateway" </dev/null >"$tmp/gw.out") &
pids+=($!)
wait_for 60 has_lines "$tmp/outbox" 5 || fail "the demo: $(cat "$tmp/outbox" 2>/dev/null); $(cat -A "$tmp/gw.out" | tail -5)"

expect=(
  '"+111","text":"+4410,10,2.5,c,400,e,f,1\u001a"'
  '"+222","text":"Tank3 reports: Overflow at level of 2.5 meter\u001a"'
  '"+444","text":"Tank3: OVERFLOW 2.5 m, 400 l (10/c/e/f)\u001a"'
  '"+111","text":"+4420,7,1.2,c,150,e,f,0\u001a"'
  '"+333","text":"Pump North reports: Normal at volume of 150 liter\u001a"'
)
sleep 1
[[ $(wc -l <"$tmp/outbox") -eq ${#expect[@]} ]] || fail "extra texts: $(cat "$tmp/outbox")"
for i in "${!expect[@]}"; do
  sed -n "$((i + 1))p" "$tmp/outbox" | grep -qF "\"number\":${expect[$i]}" ||
    fail "text $i: $(cat "$tmp/outbox")"
done
# The traffic log (on in the example site): one "in" record a message, one "out" record a due
# text (written once its result is read, so just after the phone has it), each "sent" text exactly
# what the phone got.
outs() { [[ $(grep -c ';out;' "$tmp/site/log/traffic.log") -ge 5 ]]; }
wait_for 10 outs || fail "traffic log: $(cat -A "$tmp/site/log/traffic.log")"
python3 - "$tmp/site/log/traffic.log" "$tmp/outbox" <<'PY' || fail "traffic log: $(cat -A "$tmp/site/log/traffic.log")"
import json, sys
records = []
for line in open(sys.argv[1], newline=''):
    assert line.endswith('\r\n'), repr(line)
    fields = line[:-2].split(';')
    assert len(fields) == 8, fields
    records.append(fields)
ins = [(r[2], r[4], r[7]) for r in records if r[1] == 'in']
outs = sorted((r[2], r[7] + '\x1a') for r in records if r[1] == 'out')
phones = sorted((e['number'], e['text']) for e in map(json.loads, open(sys.argv[2])))
assert ins == [('+4410', 'accepted', '10,2.5,c,400,e,f,1'),
               ('+4420', 'accepted', '7,1.2,c,150,e,f,0')], ins
assert outs == phones, (outs, phones)
assert all(r[4] == 'sent' for r in records if r[1] == 'out'), records
PY
extra=$(cd "$tmp/site" && find . -type f ! -path './configuration/*' ! -path './log/*.csv' \
  ! -path ./log/traffic.log ! -path ./log/gateway.state ! -path ./log/.keep)
[[ -z "$extra" ]] || fail "files beyond the logs: $extra"
echo "forward: ok"
