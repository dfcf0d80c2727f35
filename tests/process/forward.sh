#!/usr/bin/env bash
# The real gateway against mvo-modem-sim: the demo's reports forwarded to each destination type,
# byte for byte. Then control bytes in reports, through the pseudo-terminal both ways: a zero byte
# (the GSM "@") ends a received text; an ESC or a Ctrl-Z in a report never ends or cancels a text
# it is copied into (each is sent as '?'); a Ctrl-Z inside a received line ends that line, so the
# message is an unreadable one and nothing is sent for it. No text reaches a wrong phone, the
# traffic log accounts for every message and text, and with MVO_TRACE unset no file appears beyond
# the logs. (A failed send's abort bytes: the scenario tests and TermiosPort's; the console's
# lines: journal.sh; the modem pulled out and put back: the scenario tests and the hardware tier.)
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
mkdir -p "$tmp/spool"
"$bin/mvo-modem-sim" --link "$tmp/modem" --outbox "$tmp/outbox" --spool "$tmp/spool" \
  --scenario "$tmp/scenario" >>"$tmp/sim.out" 2>&1 &
pids+=($!)
wait_for 5 test -L "$tmp/modem" || fail "no link"
(cd "$tmp/site" && unset MVO_TRACE && exec "$bin/mvo-gateway" </dev/null >"$tmp/gw.out") &
pids+=($!)
n=0
deliver() {  # deliver SENDER TEXT (printf format): one message
  n=$((n + 1))
  { printf '%s\n' "$1"; printf "$2"; printf '\n'; } >"$tmp/spool/.m$n"
  mv "$tmp/spool/.m$n" "$tmp/spool/m$n"
}
sent() { [[ $(wc -l <"$tmp/outbox" 2>/dev/null || echo 0) -ge $1 ]]; }
ups() { [[ $(grep -c "On the air" "$tmp/site/log/err_log.csv") -ge $1 ]]; }
console() { cat -A "$tmp/gw.out" | tail -5; }
step() {  # step TEXTS WHAT: waits until TEXTS texts went out
  wait_for 60 sent "$1" || fail "$2: $(cat "$tmp/outbox" 2>/dev/null); $(console)"
}

step 5 "the demo"
deliver +4410 '1,2,3,4,5,6,0 at \000home'
step 7 "zero byte"
deliver +4410 '10,2.5,c,400,e,f,1 \033('
step 10 "ESC"
deliver +4410 '7,1.2,c,150,e,f,0\032'
step 12 "Ctrl-Z at the end"
deliver +4410 '3,0.4,o,6\0320,e,f,2'
wait_for 60 grep -qF 'Cln CMGR11 (0,e,f,2) read_sms1 main1' "$tmp/gw.out" ||
  fail "Ctrl-Z inside: $(console)"
wait_for 60 ups 2 || fail "no bring-up after the unreadable message: $(console)"

expect=(
  '"+111","text":"+4410,10,2.5,c,400,e,f,1\u001a"'
  '"+222","text":"Tank3 reports: Overflow at level of 2.5 meter\u001a"'
  '"+444","text":"Tank3: OVERFLOW 2.5 m, 400 l (10/c/e/f)\u001a"'
  '"+111","text":"+4420,7,1.2,c,150,e,f,0\u001a"'
  '"+333","text":"Pump North reports: Normal at volume of 150 liter\u001a"'
  '"+111","text":"+4410,1,2,3,4,5,6,0 at \u001a"'
  '"+333","text":"Tank3 reports: Normal at volume of 4 liter\u001a"'
  '"+111","text":"+4410,10,2.5,c,400,e,f,1 ?(\u001a"'
  '"+222","text":"Tank3 reports: Overflow at level of 2.5 meter\u001a"'
  '"+444","text":"Tank3: OVERFLOW 2.5 m, 400 l (10/c/e/f)\u001a"'
  '"+111","text":"+4410,7,1.2,c,150,e,f,0?\u001a"'
  '"+333","text":"Tank3 reports: Normal at volume of 150 liter\u001a"'
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
outs() { [[ $(grep -c ';out;' "$tmp/site/log/traffic.log") -ge 12 ]]; }
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
phones = sorted((e['number'], e['text']) for e in map(json.loads, open(sys.argv[2])))
accepted = ['10,2.5,c,400,e,f,1', '7,1.2,c,150,e,f,0', '1,2,3,4,5,6,0 at ',
            '10,2.5,c,400,e,f,1 \x1b(', '7,1.2,c,150,e,f,0\x1a']
assert [i[2] for i in ins if i[1] == 'accepted'] == accepted, ins
assert [(i[0], i[1]) for i in ins if i[1] != 'accepted'] == [('+4410', 'unreadable')], ins
assert outs == phones, (outs, phones)
assert all(r[4] == 'sent' for r in records if r[1] == 'out'), records
PY
extra=$(cd "$tmp/site" && find . -type f ! -path './configuration/*' ! -path './log/*.csv' \
  ! -path ./log/traffic.log ! -path ./log/gateway.state ! -path ./log/.keep)
[[ -z "$extra" ]] || fail "files beyond the logs: $extra"
echo "forward: ok"
