#!/usr/bin/env bash
# mvo-gateway.exe under Wine, its cfg.txt naming COM5, Wine's dosdevices/com5 pointing at the
# pseudo-terminal of mvo-modem-sim: a report forwarded, the station log written with CR LF.
# usage: windows_forward.sh <mvo-gateway.exe> <mvo-modem-sim> <repo>   (exit 77: no Wine or .exe)
source "$(dirname "$0")/lib.sh"
exe=$1
sim=$2
repo=$3
command -v wine >/dev/null && [[ -f "$exe" ]] || { echo "no Wine or no Windows build"; exit 77; }
export WINEPREFIX="${WINEPREFIX:-$repo/build/wine}" WINEDEBUG=-all
"$repo/scripts/wine-ready"
printf 'cops-delay 200\nstore +4410 10,2.5,c,400,e,f,1\n' >"$tmp/scenario"
start_sim "$sim" "$tmp" --scenario "$tmp/scenario" --outbox "$tmp/outbox"
ln -sfn "$tmp/modem" "$WINEPREFIX/dosdevices/com5"
example_site "$tmp/site"
echo "port COM5" >"$tmp/site/configuration/cfg.txt"
(cd "$tmp/site" && exec wine "$exe" </dev/null >"$tmp/gw.out" 2>"$tmp/wine.err") &
pids+=($!)
wait_for 90 has_lines "$tmp/outbox" 3 || fail "outbox: $(cat "$tmp/outbox" 2>/dev/null); console: $(cat -A "$tmp/gw.out" | tail -5)"
grep -qF '"number":"+222","text":"Tank3 reports: Overflow at level of 2.5 meter\u001a"' "$tmp/outbox" ||
  fail "outbox: $(cat "$tmp/outbox")"
grep -qP '^  [+-]\d\d , \d\d/\d\d/\d\d , \d\d:\d\d:\d\d  , 10,2.5,c,400,e,f,1 \r$' "$tmp/site/log/+4410.csv" ||
  fail "station log: $(od -c "$tmp/site/log/+4410.csv")"
grep -qP '^ On the air  ,  .{24}\r$' "$tmp/site/log/err_log.csv" || fail "err_log: $(od -c "$tmp/site/log/err_log.csv")"
grep -q 'Tank3: 10,2.5,c,400,e,f,1' "$tmp/gw.out" || fail "console: $(cat -A "$tmp/gw.out")"

# The serial time-out meaning under Wine: a silent COM6 (a simulator told to say nothing).
printf 'fault AT silent\n' >"$tmp/silent-scenario"
"$sim" --link "$tmp/silent" --scenario "$tmp/silent-scenario" >"$tmp/silent.out" &
pids+=($!)
wait_for 5 test -L "$tmp/silent" || fail "no silent link"
ln -sfn "$tmp/silent" "$WINEPREFIX/dosdevices/com6"
tests_exe="$(dirname "$exe")/platform_tests.exe"
MVO_TEST_COM=COM6 wine "$tests_exe" --gtest_filter='CommPort.*' >"$tmp/port.out" 2>&1 ||
  fail "CommPort under Wine: $(cat "$tmp/port.out")"
grep -q '\[  PASSED  \] 1 test' "$tmp/port.out" || fail "CommPort test did not run: $(cat "$tmp/port.out")"
echo "windows forward: ok"
