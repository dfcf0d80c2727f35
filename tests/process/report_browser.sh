#!/usr/bin/env bash
# mvo-report's page as a browser renders it: headless Chromium over a generated site with three
# stations (Gauge South silent, Tank North with a level rise and a record from 2000, Pump East
# silent for a day, with damaged lines and messages that are not valid reports). Checks the
# rendered DOM and saves a screenshot; a page of two sites as well.
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

# The banner is the first thing in the body: the verdict and the gateway's state.
first=$(perl -0777 -ne 'print $1 if /<body>\s*(<[^>]*>)/' "$tmp/dom.html")
[[ "$first" == '<div class="banner s1" id="banner" data-state="on the air">' ]] ||
  fail "the page does not open with the banner: $first"
grep -q '<b>WARNING</b>1 of 3 stations silent: Gauge South (48 h)<p>Gateway: <strong>on the air since' \
  "$tmp/dom.html" || fail "banner text"

# One overview row per station: the silent flag on Gauge South only, and it sorts first.
rows=$(perl -0777 -ne 'print "$1 $2 $3\n" while /<tr class="(\w+)" data-number="([^"]+)">.*?<span class="flag (\w+)"/g' "$tmp/dom.html")
[[ "$rows" == $'silent +4430 silent\nfine +4410 good\nfine +4420 good' ]] || fail "overview rows: $rows"
grep -q 'SILENT 48 h' "$tmp/dom.html" || fail "silent for how long"

# Each station's two charts have their points, over as many polylines as it says pieces; Pump
# East's day of silence breaks both its lines in two, the others are whole. Every chart has
# round y ticks with grid lines.
charts=$(perl -0777 -ne 'while (/<section class="station" id="\w+" data-number="([^"]+)">(.*?)<\/section>/gs) {
  my ($n, $s) = ($1, $2);
  while ($s =~ /<svg class="chart (\w+)" data-points="(\d+)" data-pieces="(\d+)" data-invalid="(\d+)"(.*?)<\/svg>/gs) {
    my ($k, $said, $pieces, $bad, $svg) = ($1, $2, $3, $4, $5);
    my ($has, $lines, $ticks) = (0, 0, 0);
    while ($svg =~ /<polyline points="([^"]*)"/g) { my @p = split / /, $1; $has += @p; $lines++ }
    while ($svg =~ /<circle /g) { $has++; $lines++ }
    $ticks++ while $svg =~ /<text class="ytick"/g;
    print "$n $k $said $has $bad $pieces $lines $ticks\n" } }' "$tmp/dom.html")
echo "$charts"
[[ $(wc -l <<<"$charts") -eq 6 ]] || fail "six charts expected"
while read -r number kind said has invalid pieces lines ticks; do
  ((said > 20 && said == has)) || fail "$number $kind chart: $said points said, $has drawn"
  ((pieces == lines)) || fail "$number $kind chart: $pieces pieces said, $lines drawn"
  want=1
  [[ $number == +4420 ]] && want=2
  ((lines == want)) || fail "$number $kind chart: $lines pieces, not $want"
  ((ticks >= 3 && ticks <= 12)) || fail "$number $kind chart: $ticks y ticks"
done <<<"$charts"
# Pump East's invalid messages are marked on its level chart, nobody else's.
grep -q '^+4420 level [0-9]* [0-9]* [1-9]' <<<"$charts" || fail "invalid messages not marked"
grep -q '^+4410 level [0-9]* [0-9]* 0 ' <<<"$charts" || fail "Tank North marked invalid"

# Tank North's level rises: its last point is higher on the page (smaller y) than its first.
rise=$(perl -0777 -ne 'if (/<section class="station" id="\w+" data-number="\+4410">.*?<svg class="chart level".*?<polyline points="([^"]*)"/s) {
  my @p = split / /, $1; my ($a) = $p[0] =~ /,(\d+)/; my ($b) = $p[-1] =~ /,(\d+)/; print $a - $b }' "$tmp/dom.html")
((rise > 50)) || fail "Tank North's level rise: $rise px"

# The damaged lines of Pump East are counted by fault: 3 not records, 1 zone, 1 date; Tank
# North's record from 2000 is counted outside the chart, and the chart starts three days back.
grep -qE 'log/\+4420\.csv</td><td class="n">3</td><td class="n">1</td><td class="n">1</td><td class="n">0</td>' \
  "$tmp/dom.html" || fail "unreadable counts"
grep -qE 'log/\+4410\.csv</td><td class="n">0</td><td class="n">0</td><td class="n">0</td><td class="n">1</td>' \
  "$tmp/dom.html" || fail "the record from 2000 is not counted outside the chart"
grep -q 'Charts from 2026-12-03 12:00' "$tmp/dom.html" || fail "the chart reaches back to 2000"
# Each tag has its meaning beside it; station content is charted apart from modem faults.
grep -q 'cmgs6.cont.</td><td class="n">1</td><td>[^<]*</td><td>the network refused a text' \
  "$tmp/dom.html" || fail "no meaning beside cmgs6.cont."
grep -q '<svg class="bars refused"' "$tmp/dom.html" || fail "no chart of refused messages"
# The traffic log: texts per destination by outcome, strangers by number.
grep -q '<td>Operator</td><td>+222</td><td class="n">1 <small>' "$tmp/dom.html" ||
  fail "traffic per destination"
grep -q '<tr><td>+999</td><td class="n">2</td></tr>' "$tmp/dom.html" || fail "strangers"

mkdir -p "$shots"
chrome --screenshot="$shots/report-screenshot.png" --window-size=1200,1600 >/dev/null ||
  fail "screenshot"
[[ -s "$shots/report-screenshot.png" ]] || fail "empty screenshot"
echo "screenshot: $shots/report-screenshot.png"

# Two sites: a row for each on top, the worst first, then each site with its own banner.
"$make_site" "$tmp/down" browser "2026-12-06 10:00"
printf ' main1  ,  Sun Dec  6 06:00:00 2026\r\n' >>"$tmp/down/log/err_log.csv"
"$report" "$tmp/site" "$tmp/down" --now "2026-12-06 12:00+08" -o "$tmp/report.html" >/dev/null
chrome --dump-dom >"$tmp/dom.html" || fail "chromium --dump-dom (two sites)"
first=$(perl -0777 -ne 'print $1 if /<body>\s*(<[^>]*>)/' "$tmp/dom.html")
[[ "$first" == '<div class="banner s2" id="banner">' ]] || fail "two sites: first $first"
rows=$(perl -0777 -ne 'print "$1\n" while /<tr class="\w+"><td><a href="#site\d+">([^<]*)<\/a>/g' "$tmp/dom.html")
[[ "$rows" == "$tmp/down"$'\n'"$tmp/site" ]] || fail "site rows: $rows"
[[ $(grep -c '<div class="banner s[0-3]" id="banner[0-9]' "$tmp/dom.html") -eq 2 ]] ||
  fail "a banner per site"
echo PASS
