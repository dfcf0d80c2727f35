#!/usr/bin/env bash
# mvo-gateway in an empty directory: the exact console text, the error log, and a halted process
# that stays alive without using CPU. (Sites with faulty tables: check_parity.sh, over every
# faulty site of mvo-check's tests.)
# usage: startup.sh <mvo-gateway>
source "$(dirname "$0")/lib.sh"
gw=$1

mkdir -p "$tmp/empty/log"
(cd "$tmp/empty" && exec "$gw" </dev/null >"$tmp/empty.out") &
pids+=($!)
pid=$!
wait_for 10 grep -q "AND stopping" "$tmp/empty.out" || fail "no fatal stop"
expected=$(printf '\n...wait...(5 seconds)\r RKT 26 FEB 2012%33s\n\n Q U O R I N D A L E\n%13sMARVENTO (MVO)%8s\n\nNO CFG FILE\n AND stopping...' "" "" "")
[[ "$(cat "$tmp/empty.out")" == "$expected" ]] || fail "console: $(od -c "$tmp/empty.out" | head)"
grep -qP '^ NO CFG FILE\r$' "$tmp/empty/log/err_log.csv" || fail "err_log first line"
grep -qP '^  ,  [A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4}\r$' "$tmp/empty/log/err_log.csv" ||
  fail "err_log stamp line: $(od -c "$tmp/empty/log/err_log.csv")"
before=$(cpu_ticks "$pid")
sleep 2
kill -0 "$pid" || fail "halted gateway exited"
after=$(cpu_ticks "$pid")
(( after - before <= 2 )) || fail "halted gateway used $((after - before)) ticks in 2 s"

echo "startup: ok"
