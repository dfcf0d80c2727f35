#!/usr/bin/env bash
# Clients nobody here wrote accept mvo-modem-sim as a modem. gammu identifies it. Then
# gammu-smsd (files backend) with a plain configuration (the device, the files, and a
# RunOnReceive that forwards each report) reads three reports, one from the SIM, one from the
# phone memory and one arriving later, and forwards each exactly once: three inbox files, three
# texts sent, and a later poll that finds the memories empty. The empty-slot reply stays the
# default "+CMGR: 0,,0".
# usage: gammu.sh <mvo-modem-sim>     (skipped, exit 77, where gammu or gammu-smsd is missing)
source "$(dirname "$0")/lib.sh"
command -v gammu >/dev/null && command -v gammu-smsd >/dev/null && command -v gammu-smsd-inject >/dev/null ||
  { echo "gammu or gammu-smsd not installed"; exit 77; }
sim=$1
printf 'store +4912345 first report\nstore ME +4967890 second report\ndeliver 10000 +4911111 third report\n' \
  >"$tmp/scenario"
mkdir -p "$tmp/inbox" "$tmp/outbox" "$tmp/sent" "$tmp/error"
start_sim "$sim" "$tmp" --scenario "$tmp/scenario" --outbox "$tmp/sent.jsonl" \
  --transcript "$tmp/transcript"
printf '[gammu]\ndevice = %s\nconnection = at19200\n' "$tmp/modem" >"$tmp/gammurc"
timeout 60 gammu -c "$tmp/gammurc" identify >"$tmp/identify" || fail "identify: $(cat "$tmp/identify")"
grep -q 'Manufacturer *: MVO' "$tmp/identify" || fail "identify: $(cat "$tmp/identify")"
cat >"$tmp/forward" <<EOF
#!/bin/sh
exec gammu-smsd-inject -c "$tmp/smsdrc" TEXT +4400 -text "\$SMS_1_TEXT"
EOF
chmod +x "$tmp/forward"
cat >"$tmp/smsdrc" <<EOF
[gammu]
device = $tmp/modem
connection = at19200
[smsd]
service = files
inboxpath = $tmp/inbox/
outboxpath = $tmp/outbox/
sentsmspath = $tmp/sent/
errorsmspath = $tmp/error/
logfile = $tmp/smsd.log
runonreceive = $tmp/forward
EOF
gammu-smsd -c "$tmp/smsdrc" >"$tmp/smsd.out" 2>&1 &
pids+=($!)
smsd=$!
received() { [[ $(ls "$tmp/inbox" | wc -l) -ge 3 ]]; }
wait_for 90 received || fail "inbox: $(ls "$tmp/inbox"); log: $(tail -5 "$tmp/smsd.log")"
# A poll after the last read finds both memories empty: nothing is left to be read twice.
empty_polls() { grep -c '+CPMS: 0,25,0,25' "$tmp/transcript" || true; }
before=$(empty_polls)
polled_again() { (($(empty_polls) > before)); }
wait_for 40 polled_again || fail "no later poll: $(tail -5 "$tmp/smsd.log")"
wait_for 40 has_lines "$tmp/sent.jsonl" 3 || fail "sent: $(cat "$tmp/sent.jsonl" 2>/dev/null); log: $(tail -5 "$tmp/smsd.log")"
kill -0 "$smsd" 2>/dev/null || fail "gammu-smsd ended: $(tail -5 "$tmp/smsd.log")"
[[ $(ls "$tmp/inbox" | wc -l) -eq 3 ]] || fail "inbox: $(ls "$tmp/inbox")"
for text in "first report" "second report" "third report"; do
  [[ $(grep -cF "\"number\":\"+4400\",\"text\":\"$text\\u001a\"" "$tmp/sent.jsonl") -eq 1 ]] ||
    fail "$text: $(cat "$tmp/sent.jsonl")"
done
echo "gammu: ok"
