#!/usr/bin/env bash
# mvo-gateway in an empty directory, and in sites whose configuration is faulty: the exact
# console texts, the error log, and a halted process that stays alive without using CPU.
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

# Faulty tables halt with their message before any port is opened.
site() {
  mkdir -p "$tmp/$1/configuration" "$tmp/$1/log"
  echo "port /dev/mvo-no-such-port" >"$tmp/$1/configuration/cfg.txt"
  printf '"Tank";"+4410"\n' >"$tmp/$1/configuration/stations.txt"
  printf 'Normal\nHigh\n' >"$tmp/$1/configuration/human.txt"
  printf '"Ops";"+111";SMC\n' >"$tmp/$1/configuration/destinations.txt"
}
check() {  # check NAME EXPECTED-TAIL
  (cd "$tmp/$1" && exec "$gw" </dev/null >"$tmp/$1.out") &
  pids+=($!)
  local p=$!
  wait_for 10 grep -qF "$2" "$tmp/$1.out" || fail "$1: $(cat -A "$tmp/$1.out" | tail -3)"
  sleep 0.5
  kill -0 "$p" || fail "$1: exited"
}
site stations; printf '"Tank";"12+3"\n' >"$tmp/stations/configuration/stations.txt"
check stations "cell phone number contains illegal characters(2) +"
site human; printf '%0170d\n' 0 >"$tmp/human/configuration/human.txt"
check human " line 1 in file human.txt is too long"
site dest; printf '"Ops";"+111";XYZ\n' >"$tmp/dest/configuration/destinations.txt"
check dest "no type in destination "
site nocustom
check nocustom "cannot open COM port"
grep -qF $'\n\nNo custom.txt FILE\n' "$tmp/nocustom.out" || fail "no custom.txt text"
echo "startup: ok"
