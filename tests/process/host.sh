#!/usr/bin/env bash
# The gateway and its host: run as an unprivileged user (nobody, when the test runs as root, as CI
# does), with its console piped into `head -c 100`, which goes away at once, and the modem
# dialogue traced (MVO_TRACE). A malformed report ends the first modem cycle; the gateway must
# re-open its port while the simulator holds its side, survive the broken pipe, and forward the
# next report. The trace holds the bring-up, the replies and the shut-down's bytes 26 and 27 (its
# records' stamps and line ends: TraceFile's unit tests).
# usage: host.sh <repo> <build-dir>
source "$(dirname "$0")/lib.sh"
repo=$1
bin=$2
cat >"$tmp/scenario" <<'SCEN'
cops-delay 200
store +4410 bad
deliver 15000 +4420 7,1.2,c,150,e,f,0
SCEN
example_site "$tmp/site"
start_sim "$bin/mvo-modem-sim" "$tmp" --scenario "$tmp/scenario" --outbox "$tmp/outbox"
if ((${#as_nobody[@]})); then
  chmod 755 "$tmp"
  chown -R 65534 "$tmp/site" "$(readlink -f "$tmp/modem")"
fi
mkfifo "$tmp/console"
head -c 100 <"$tmp/console" >"$tmp/head.out" &
(cd "$tmp/site" && MVO_TRACE="$tmp/site/log/trace.txt" exec "${as_nobody[@]}" "$bin/mvo-gateway" \
  </dev/null >"$tmp/console") &
gw=$!
pids+=($gw)
log() { cat "$tmp/site/log/err_log.csv" 2>/dev/null; }
wait_for 60 has_lines "$tmp/outbox" 2 || fail "not forwarded: $(cat "$tmp/outbox" 2>/dev/null); log: $(log)"
[[ $(stat -c %s "$tmp/head.out") -eq 100 ]] || fail "console: $(cat -A "$tmp/head.out")"
kill -0 "$gw" 2>/dev/null || fail "the gateway ended"
grep -q "Illegal SMS content 2" "$tmp/site/log/err_log.csv" || fail "no malformed report: $(log)"
[[ $(grep -c "On the air" "$tmp/site/log/err_log.csv") -eq 2 ]] || fail "bring-ups: $(log)"
! grep -q "cannot open COM port" "$tmp/site/log/err_log.csv" || fail "port not re-opened: $(log)"
grep -qF '"number":"+333","text":"Pump North reports: Normal at volume of 150 liter\u001a"' \
  "$tmp/outbox" || fail "$(cat "$tmp/outbox")"
t="$tmp/site/log/trace.txt"
for want in '--- open ' '--> ATZ\r' '<-- bad\r\n' '--> \x1a' '--> \x1b' '--- close'; do
  grep -qF -- "$want" "$t" || fail "trace lacks $want: $(head -c 3000 "$t")"
done
echo "host: ok"
