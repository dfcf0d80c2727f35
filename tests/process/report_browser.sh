#!/usr/bin/env bash
# mvo-report's page as a browser renders it: headless Chromium over a generated site with three
# stations (Gauge South silent, Tank North with a level rise, Pump East with damaged lines and
# messages that are not valid reports). Checks the rendered DOM and saves a screenshot.
# usage: report_browser.sh <mvo-report> <report_site> <dir for the screenshot>
source "$(dirname "$0")/lib.sh"
report=$1 make_site=$2 shots=$3
browser=$(command -v chromium || command -v chromium-browser || true)
[[ -n "$browser" ]] || { echo "SKIP: no chromium (scripts/install-deps --browser)"; exit 77; }

"$make_site" "$tmp/site" browser "2026-12-06 10:00"
# The PC runs at UTC+2 ("+08" quarter hours); its clock says 12:00.
"$report" "$tmp/site" --now "2026-12-06 12:00+08" -o "$tmp/report.html" >/dev/null
chrome() {
  timeout 60 "$browser" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$(mktemp -d -p "$tmp")" "$@" "file://$tmp/report.html" 2>/dev/null
}
chrome --dump-dom >"$tmp/dom.html" || fail "chromium --dump-dom"
grep -q '<h1>Stations and gateway</h1>' "$tmp/dom.html" || fail "no page in the DOM"

# One overview row per station: the silent flag on Gauge South only, and it sorts first.
rows=$(perl -0777 -ne 'print "$1 $2 $3\n" while /<tr class="(\w+)" data-number="([^"]+)">.*?<span class="flag (\w+)"/g' "$tmp/dom.html")
[[ "$rows" == $'silent +4430 silent\nfine +4410 good\nfine +4420 good' ]] || fail "overview rows: $rows"
grep -q 'SILENT 48 h' "$tmp/dom.html" || fail "silent for how long"

# Each station's two charts have their points; a polyline holds as many as it says.
charts=$(perl -0777 -ne 'while (/<section class="station" id="\w+" data-number="([^"]+)">(.*?)<\/section>/gs) {
  my ($n, $s) = ($1, $2);
  while ($s =~ /<svg class="chart (\w+)" data-points="(\d+)" data-invalid="(\d+)".*?<polyline points="([^"]*)"/gs) {
    my @p = split / /, $4; print "$n $1 $2 ", scalar(@p), " $3\n" } }' "$tmp/dom.html")
echo "$charts"
[[ $(wc -l <<<"$charts") -eq 6 ]] || fail "six charts expected"
while read -r number kind said has invalid; do
  ((said > 20 && said == has)) || fail "$number $kind chart: $said points said, $has drawn"
done <<<"$charts"
# Pump East's invalid messages are marked on its level chart, nobody else's.
grep -q '^+4420 level [0-9]* [0-9]* [1-9]' <<<"$charts" || fail "invalid messages not marked"
grep -q '^+4410 level [0-9]* [0-9]* 0$' <<<"$charts" || fail "Tank North marked invalid"

# Tank North's level rises: its last point is higher on the page (smaller y) than its first.
rise=$(perl -0777 -ne 'if (/<section class="station" id="\w+" data-number="\+4410">.*?<svg class="chart level".*?<polyline points="([^"]*)"/s) {
  my @p = split / /, $1; my ($a) = $p[0] =~ /,(\d+)/; my ($b) = $p[-1] =~ /,(\d+)/; print $a - $b }' "$tmp/dom.html")
((rise > 50)) || fail "Tank North's level rise: $rise px"

# The status legends name the codes with their human texts.
for text in '0 Normal' '1 Overflow' '2 Low level'; do
  grep -q "<li><i class=\"sw c[0-9]\"></i>$text</li>" "$tmp/dom.html" || fail "legend lacks $text"
done
# The damaged lines of Pump East are counted by fault: 3 not records, 1 zone, 1 date.
grep -qE 'log/\+4420\.csv</td><td class="n">3</td><td class="n">1</td><td class="n">1</td>' \
  "$tmp/dom.html" || fail "unreadable counts"

mkdir -p "$shots"
chrome --screenshot="$shots/report-screenshot.png" --window-size=1200,1600 >/dev/null ||
  fail "screenshot"
[[ -s "$shots/report-screenshot.png" ]] || fail "empty screenshot"
echo "screenshot: $shots/report-screenshot.png"
