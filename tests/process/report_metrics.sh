#!/usr/bin/env bash
# mvo-report --metrics: the file passes `promtool check metrics` (Debian package prometheus), is
# replaced whole, and leaves no temporary behind. A station name saved by Notepad in Windows-1252
# ("Br\xfccke") is a valid UTF-8 label. Without promtool: SKIP (the unit tests check the format
# with their own parser).
# usage: report_metrics.sh <mvo-report> <report_site>
source "$(dirname "$0")/lib.sh"
report=$1 make_site=$2
command -v promtool >/dev/null || { echo "SKIP: no promtool (apt-get install prometheus)"; exit 77; }
"$make_site" "$tmp/a" browser "2026-12-06 10:00"
"$make_site" "$tmp/b" browser "2026-12-06 10:00"
printf '"Br\xfccke";"+4450"\r\n' >>"$tmp/a/configuration/stations.txt"
printf '  +08 , 26/12/06 , 11:00:00  , 1,2.5,c,400,e,f,0 \r\n' >"$tmp/a/log/+4450.csv"
rm "$tmp/b/log/+4410.csv"
mkdir -p "$tmp/textfile"
"$report" "$tmp/a" "$tmp/b" --now "2026-12-06 12:00+08" --metrics "$tmp/textfile/mvo.prom" ||
  fail "mvo-report --metrics"
cat "$tmp/textfile/mvo.prom"
promtool check metrics <"$tmp/textfile/mvo.prom" || fail "promtool check metrics"
[[ $(ls "$tmp/textfile") == "mvo.prom" ]] || fail "left behind: $(ls "$tmp/textfile")"
grep -q '^mvo_station_silent{site="[^"]*/a",station="Gauge South",number="+4430"} 1$' \
  "$tmp/textfile/mvo.prom" || fail "Gauge South not silent"
grep -q '^mvo_gateway_on_air{site="[^"]*/b"} 1$' "$tmp/textfile/mvo.prom" || fail "on the air"
grep -q $'^mvo_station_messages{site="[^"]*/a",station="Br\xc3\xbccke",number="+4450"} 1$' \
  "$tmp/textfile/mvo.prom" || fail "Br\xfccke is not UTF-8"
# A directory the file cannot be written to: exit 1, no page, nothing left.
"$report" "$tmp/a" --now "2026-12-06 12:00+08" --metrics "$tmp/none/mvo.prom" 2>/dev/null &&
  fail "a metrics file in a missing directory"
echo PASS
