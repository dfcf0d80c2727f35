#!/usr/bin/env bash
# For every faulty site of the mvo-check unit tests, the first error mvo-check reports is the
# message the real gateway prints before it halts, so the two cannot drift apart.
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
for site in "${sites[@]}"; do
  first=$(cd "$site" && "$check" | grep -m1 ': error: ' | sed 's/^[^ ]*: error: //') || true
  [[ -n "$first" ]] || fail "$site: mvo-check reports no error"
  wait_for 10 grep -q . "$site/gateway.out" || fail "$site: the gateway printed nothing"
  wait_for 10 bash -c "out=\$(tr '\n' ' ' <'$site/gateway.out'); out=\${out%\"\${out##*[! ]}\"};
    [[ \"\$out\" == *\"\$1\" ]]" _ "$first" ||
    fail "$site: mvo-check says '$first', the gateway: $(tail -c 200 "$site/gateway.out" | cat -A)"
done
echo "check_parity: ${#sites[@]} faulty sites, mvo-check's first error is the gateway's message"
