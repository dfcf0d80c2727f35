#!/usr/bin/env bash
# For every faulty site of the mvo-check unit tests, the real gateway does what mvo-check says:
# where the gateway halts, the first halting error mvo-check reports is the message the gateway
# prints before it halts, so the two cannot drift apart; where mvo-check's error is one the
# gateway starts with (no log directory, a file it reads as garbage), the gateway starts: it goes
# on to the modem port. Then a site whose every file begins with a UTF-8 byte-order mark forwards
# a report to the modem simulator exactly as the site without the marks.
# usage: check_parity.sh <mvo-check> <mvo-gateway> <check_tests>
source "$(dirname "$0")/lib.sh"
check=$1 gw=$2 tests=$3
bin=$(dirname "$gw")
repo=$(cd "$(dirname "$0")/../.." && pwd)

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
echo "check_parity: $halting faulty sites, mvo-check's first halting error is the gateway's message;" \
  "$starting sites with errors the gateway starts with, and it does"

# A byte-order mark at the start of each file: the same texts as without it. Both sites run at
# once, each with its simulator at its own ../modem.
start() { # start SITE: its simulator with one report stored, and its gateway
  local site=$1
  printf 'operator BOM Net\nstore +4410 10,2.5,c,400,e,f,1\n' >"$site.scenario"
  "$bin/mvo-modem-sim" --link "$site/../modem" --scenario "$site.scenario" \
    --outbox "$site.outbox" >"$site.sim" 2>&1 &
  pids+=($!)
  wait_for 5 test -L "$site/../modem" || fail "no simulator link"
  (cd "$site" && exec "$gw" </dev/null >"$site.out" 2>&1) &
  pids+=($!)
}
sent() { wait_for 60 bash -c "[[ \$(wc -l <'$1.outbox' 2>/dev/null || echo 0) -ge 3 ]]" ||
  fail "$1: $(cat "$1.outbox" 2>/dev/null); console: $(cat -A "$1.out" | tail -5)"; }
for kind in plain marked; do
  mkdir -p "$tmp/$kind"
  cp -r "$repo/examples/site" "$tmp/$kind/site"
  rm -f "$tmp/$kind/site/log/"*
done
for f in "$tmp/marked/site/configuration/"*.txt; do
  { printf '\xEF\xBB\xBF'; cat "$f"; } >"$f.new" && mv "$f.new" "$f"
done
start "$tmp/plain/site"
start "$tmp/marked/site"
sent "$tmp/plain/site"
sent "$tmp/marked/site"
texts() { sed 's/^.*"number"/"number"/' "$1"; }
[[ "$(texts "$tmp/marked/site.outbox")" == "$(texts "$tmp/plain/site.outbox")" ]] ||
  fail "with marks: $(cat "$tmp/marked/site.outbox"); without: $(cat "$tmp/plain/site.outbox")"
grep -qF '"text":"Tank3 reports: Overflow at level of 2.5 meter\u001a"' "$tmp/marked/site.outbox" ||
  fail "with marks: $(cat "$tmp/marked/site.outbox")"
[[ $("$check" "$tmp/marked/site" | grep -c 'byte-order mark') == 6 ]] ||
  fail "mvo-check: $("$check" "$tmp/marked/site")"
echo "check_parity: a byte-order mark in each file, the same $(wc -l <"$tmp/marked/site.outbox") texts"
