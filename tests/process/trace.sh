#!/usr/bin/env bash
# The trace of the modem dialogue (MVO_TRACE) on the real gateway: on, it holds the bring-up
# commands, the modem's replies, and the bytes 26 and 27 of the shut-down that a malformed report
# causes; off (unset or empty), the gateway writes no file beyond its logs.
# usage: trace.sh <repo> <build-dir>
source "$(dirname "$0")/lib.sh"
repo=$1
bin=$2
printf 'cops-delay 200\nstore +4430 not a report\n' >"$tmp/scenario"
"$bin/mvo-modem-sim" --link "$tmp/modem" --scenario "$tmp/scenario" >"$tmp/sim.out" &
pids+=($!)
wait_for 5 test -L "$tmp/modem" || fail "no link"
for s in on off empty; do
  cp -r "$repo/examples/site" "$tmp/$s"
  rm -f "$tmp/$s/log/"*.csv "$tmp/$s/log/.keep"
done
(cd "$tmp/on" && MVO_TRACE="$tmp/trace.txt" exec "$bin/mvo-gateway" </dev/null >"$tmp/on.out") &
pids+=($!)
on=$!
# The malformed report ends the first modem cycle; the second bring-up follows the shut-down.
twice() { [[ $(grep -c "On the air" "$tmp/on/log/err_log.csv" 2>/dev/null) -ge 2 ]]; }
wait_for 60 twice || fail "no second bring-up: $(cat -A "$tmp/on.out" | tail -3)"
kill "$on"
t="$tmp/trace.txt"
[[ -s "$t" ]] || fail "no trace written"
for want in '--- open ' '--> ATZ\r' '--> AT+CMGF=1\r' '<-- OK\r\n' '--> AT+CMGL="ALL"\r' \
  '<-- +CMGR: "REC READ","+4430"' '<-- not a report\r\n' '--> \x1a' '--> \x1b' '--- close'; do
  grep -qF -- "$want" "$t" || fail "trace lacks $want: $(head -c 3000 "$t")"
done
grep -qvP '^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d +\d+\.\d{3}  (-->|<--|---) .*\r$' "$t" &&
  fail "a record out of shape: $(grep -vP '^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d +\d+\.\d{3}  (-->|<--|---) .*\r$' "$t" | head -3 | cat -A)"

# Off: nothing but the logs, whether the variable is unset or empty (one at a time: the modem
# port is opened exclusively).
for s in off empty; do
  if [[ $s == off ]]; then
    (cd "$tmp/$s" && unset MVO_TRACE && exec "$bin/mvo-gateway" </dev/null >"$tmp/$s.out") &
  else
    (cd "$tmp/$s" && MVO_TRACE= exec "$bin/mvo-gateway" </dev/null >"$tmp/$s.out") &
  fi
  pids+=($!)
  gw=$!
  wait_for 60 grep -qs "On the air" "$tmp/$s/log/err_log.csv" || fail "$s: not on the air"
  sleep 1
  kill "$gw"
  wait "$gw" 2>/dev/null || true
  # The example site turns on the traffic log and the state file; nothing else may appear.
  extra=$(cd "$tmp/$s" && find . -type f ! -path './configuration/*' ! -path './log/*.csv' \
    ! -path ./log/traffic.log ! -path ./log/gateway.state)
  [[ -z "$extra" ]] || fail "$s: files beyond the logs: $extra"
done
extra=$(find "$tmp" -maxdepth 1 -type f ! -name trace.txt ! -name '*.out' ! -name scenario)
[[ -z "$extra" ]] || fail "unexpected files: $extra"
echo "trace: ok"
