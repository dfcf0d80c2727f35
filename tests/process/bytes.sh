#!/usr/bin/env bash
# Control bytes in reports, through the real binaries: a zero byte (the GSM "@") ends a received
# text; an ESC or a Ctrl-Z in a report never ends or cancels a text it is copied into (each is
# sent as '?'); a Ctrl-Z inside a received line ends that line, so the message is an unreadable
# one and nothing is sent for it; and after a failed send the gateway's Ctrl-Z and ESC reach the
# modem, so the next destination's command is taken as a command. No text reaches a wrong phone.
# MVO_TRACE set but empty traces nothing: no file beyond the logs.
# usage: bytes.sh <repo> <build-dir>
source "$(dirname "$0")/lib.sh"
repo=$1
bin=$2
cat >"$tmp/scenario" <<'SCEN'
cops-delay 200
fault AT+CMGS="+222" silent count 1
SCEN
cp -r "$repo/examples/site" "$tmp/site"
rm -f "$tmp/site/log/"*.csv
mkdir -p "$tmp/spool"
"$bin/mvo-modem-sim" --link "$tmp/modem" --scenario "$tmp/scenario" --outbox "$tmp/outbox" \
  --spool "$tmp/spool" --transcript "$tmp/transcript" >"$tmp/sim.out" &
pids+=($!)
wait_for 5 test -L "$tmp/modem" || fail "no link"
(cd "$tmp/site" && MVO_TRACE= exec "$bin/mvo-gateway" </dev/null >"$tmp/gw.out") &
pids+=($!)
n=0
deliver() {  # deliver TEXT (printf format): one message from Tank3
  n=$((n + 1))
  { printf '+4410\n'; printf "$1"; printf '\n'; } >"$tmp/spool/.m$n"
  mv "$tmp/spool/.m$n" "$tmp/spool/m$n"
}
sent() { [[ $(wc -l <"$tmp/outbox" 2>/dev/null || echo 0) -ge $1 ]]; }
console() { cat -A "$tmp/gw.out" | tail -5; }

deliver '1,2,3,4,5,6,0 at \000home'
wait_for 60 sent 2 || fail "zero byte: $(cat "$tmp/outbox" 2>/dev/null); $(console)"
# +222 never sees its prompt: after 30 s the gateway leaves the text entry and goes on with +444.
deliver '10,2.5,c,400,e,f,1 \033('
wait_for 90 sent 4 || fail "ESC, failed send: $(cat "$tmp/outbox"); $(console)"
deliver '7,1.2,c,150,e,f,0\032'
wait_for 60 sent 6 || fail "Ctrl-Z at the end: $(cat "$tmp/outbox"); $(console)"
deliver '3,0.4,o,6\0320,e,f,2'
wait_for 60 grep -qF 'Cln CMGR11 (0,e,f,2) read_sms1 main1' "$tmp/gw.out" ||
  fail "Ctrl-Z inside: $(console)"
deliver '3,0.4,o,60,e,f,2'
wait_for 60 sent 9 || fail "last report: $(cat "$tmp/outbox"); $(console)"

expect=(
  '"number":"+111","text":"+4410,1,2,3,4,5,6,0 at \u001a"'
  '"number":"+333","text":"Tank3 reports: Normal at volume of 4 liter\u001a"'
  '"number":"+111","text":"+4410,10,2.5,c,400,e,f,1 ?(\u001a"'
  '"number":"+444","text":"Tank3: OVERFLOW 2.5 m, 400 l (10/c/e/f)\u001a"'
  '"number":"+111","text":"+4410,7,1.2,c,150,e,f,0?\u001a"'
  '"number":"+333","text":"Tank3 reports: Normal at volume of 150 liter\u001a"'
  '"number":"+111","text":"+4410,3,0.4,o,60,e,f,2\u001a"'
  '"number":"+222","text":"Tank3 reports: Low level at level of 0.4 meter\u001a"'
  '"number":"+444","text":"Tank3: low, 0.4 m left\u001a"'
)
sleep 1
[[ $(wc -l <"$tmp/outbox") -eq ${#expect[@]} ]] || fail "extra texts: $(cat "$tmp/outbox")"
for i in "${!expect[@]}"; do
  sed -n "$((i + 1))p" "$tmp/outbox" | grep -qF "${expect[$i]}" || fail "text $i: $(cat "$tmp/outbox")"
done
grep -qF 'get_prompt1.CMGS21.' "$tmp/gw.out" || fail "no failed send: $(console)"
# The abort bytes, as the modem received them, right after the unanswered command.
after=$(grep -m1 -A3 -F 'AT+CMGS="+222"\r' "$tmp/transcript" | sed -n 's/^[0-9]* < //p' | tr -d '\n')
[[ $after == 'AT+CMGS="+222"\r\x1a\x1b'* ]] || fail "abort bytes: $after"
extra=$(cd "$tmp/site" && find . -type f ! -path './configuration/*' ! -path './log/*.csv' \
  ! -path ./log/traffic.log ! -path ./log/gateway.state ! -path ./log/.keep)
[[ -z "$extra" ]] || fail "files beyond the logs: $extra"
echo "bytes: ok"
