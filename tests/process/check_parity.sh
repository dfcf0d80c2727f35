#!/usr/bin/env bash
# For every faulty site of the mvo-check unit tests, the real gateway does what mvo-check says:
# where the gateway halts, the first halting error mvo-check reports is the message the gateway
# prints before it halts, so the two cannot drift apart; where mvo-check's error is one the
# gateway starts with (no log directory, a file it reads as garbage), the gateway starts: it goes
# on to the modem port. (A byte-order mark in each file is a warning, not kept here: the unit
# tests read each loader past it.) Last, mvo-check --alarms on the example site with an alarms.txt.
# usage: check_parity.sh <mvo-check> <mvo-gateway> <check_tests>
source "$(dirname "$0")/lib.sh"
check=$1 gw=$2 tests=$3

MVO_CHECK_KEEP_SITES="$tmp/sites" "$tests" --gtest_filter=CheckSite.FindingsOfEachFaultAndWarning \
  >"$tmp/tests.out" || fail "check_tests: $(tail -5 "$tmp/tests.out")"
sites=("$tmp"/sites/*/)
(( ${#sites[@]} >= 5 )) || fail "only ${#sites[@]} faulty sites kept"
# The gateway halts about 3 s after its start and then waits: all of them at once, then ended.
for site in "${sites[@]}"; do
  (cd "$site" && exec timeout 6 "$gw" </dev/null >gateway.out 2>&1) &
  pids+=($!)
done
halting=0 starting=0
for site in "${sites[@]}"; do
  out=$(cd "$site" && "$check") || true
  wait_for 10 grep -q . "$site/gateway.out" || fail "$site: the gateway printed nothing"
  if [[ -f "$site/halts.txt" ]]; then
    first=$(cat "$site/halts.txt")
    grep -qF ": error: $first" <<<"$out" || fail "$site: mvo-check does not say '$first': $out"
    wait_for 10 bash -c "out=\$(tr '\n' ' ' <'$site/gateway.out'); out=\${out%\"\${out##*[! ]}\"};
      [[ \"\$out\" == *\"\$1\" ]]" _ "$first" ||
      fail "$site: mvo-check says '$first', the gateway: $(tail -c 200 "$site/gateway.out" | cat -A)"
    halting=$((halting + 1))
  else
    [[ -f "$site/starts.txt" ]] || fail "$site: kept without its expectation"
    grep -q ': error: ' <<<"$out" || fail "$site: mvo-check reports no error: $out"
    wait_for 10 grep -qF "...wait..." "$site/gateway.out" ||
      fail "$site: the gateway did not go on to the port: $(cat -A "$site/gateway.out" | tail -3)"
    if grep -q '^log/: error: there is no log directory' <<<"$out"; then
      wait_for 10 grep -q "Cannot open err_log 1 " "$site/gateway.out" ||
        fail "$site: the gateway found a log directory: $(cat -A "$site/gateway.out" | tail -3)"
    fi
    starting=$((starting + 1))
  fi
done
(( starting >= 2 )) || fail "only $starting sites the gateway starts with"
site=$tmp/alarms-site
cp -r "$(dirname "$0")/../../examples/site" "$site"
printf '# a site under test\r\nsilent 1m\r\nsilent "Tank3" 1d\r\nto Operator\r\n' \
  >"$site/configuration/alarms.txt"
"$check" "$site" --alarms >"$tmp/alarms.out" || fail "mvo-check --alarms: $(cat "$tmp/alarms.out")"
grep -qF '  "Tank3" +4410: silent after 1d 0h' "$tmp/alarms.out" || fail "$(cat "$tmp/alarms.out")"
grep -qF '  MVO alarm: Tank3 (+4410) silent, last message 05/12/2026 14:02' "$tmp/alarms.out" ||
  fail "$(cat "$tmp/alarms.out")"
echo "check_parity: $halting faulty sites, mvo-check's first halting error is the gateway's message;" \
  "$starting sites with errors the gateway starts with, and it does"
