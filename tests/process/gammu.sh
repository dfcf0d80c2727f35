#!/usr/bin/env bash
# A client nobody here wrote: gammu identifies mvo-modem-sim, reads its messages and sends one.
# usage: gammu.sh <mvo-modem-sim>     (skipped, exit 77, where gammu is not installed)
source "$(dirname "$0")/lib.sh"
command -v gammu >/dev/null || { echo "gammu not installed"; exit 77; }
sim=$1
printf 'store +4912345 first report\nstore +4967890 second report\n' >"$tmp/scenario"
"$sim" --link "$tmp/modem" --scenario "$tmp/scenario" --outbox "$tmp/outbox" >"$tmp/sim.out" &
pids+=($!)
wait_for 5 test -L "$tmp/modem" || fail "no link"
printf '[gammu]\ndevice = %s\nconnection = at19200\n' "$tmp/modem" >"$tmp/gammurc"
timeout 60 gammu -c "$tmp/gammurc" identify >"$tmp/identify" || fail "identify: $(cat "$tmp/identify")"
grep -q 'Manufacturer *: MVO' "$tmp/identify" || fail "identify: $(cat "$tmp/identify")"
timeout 60 gammu -c "$tmp/gammurc" getallsms >"$tmp/all" || fail "getallsms"
grep -q 'Remote number *: "+4912345"' "$tmp/all" || fail "getallsms: $(cat "$tmp/all")"
grep -q '^second report$' "$tmp/all" || fail "getallsms: $(cat "$tmp/all")"
timeout 60 gammu -c "$tmp/gammurc" sendsms TEXT +4911111 -text "from gammu" >"$tmp/send" 2>&1 ||
  fail "sendsms: $(cat "$tmp/send")"
grep -qF '"number":"+4911111","text":"from gammu\u001a"' "$tmp/outbox" || fail "outbox: $(cat "$tmp/outbox")"
echo "gammu: ok"
