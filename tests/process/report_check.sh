#!/usr/bin/env bash
# mvo-report --check as a monitoring system runs it: the real binary over sites written here,
# one per case, and the line and exit code it gives. The logs that the checking user may not read
# are tested as an unprivileged user (nobody) when the test runs as root, as CI does.
# usage: report_check.sh <mvo-report>
source "$(dirname "$0")/lib.sh"
report=$1
chmod 755 "$tmp"
now_utc=$(date -u -d '2026-12-06 12:00' +%s)
NOW="2026-12-06 12:00+00"  # the PC runs at UTC

# station SITE NUMBER FROM_AGO TO_AGO [STEP]: one report every STEP s (1800) from FROM_AGO to
# TO_AGO seconds before now, as the gateway writes them (CR LF, the modem's stamp at +00).
station() {
  local site=$1 number=$2 from=$3 to=$4 step=${5:-1800} t
  for ((t = now_utc - from; t <= now_utc - to; t += step)); do
    printf '  +00 , %s , %s  , 7,1.50,c,600,e,f,0 \r\n' "$(date -u -d "@$t" +%y/%m/%d)" \
      "$(date -u -d "@$t" +%H:%M:%S)"
  done >>"$site/log/$number.csv"
}
# error SITE AGO TAG: an error-log record AGO seconds before now.
error() {
  printf ' %s  ,  %s\r\n' "$3" "$(date -u -d "@$((now_utc - $2))" '+%a %b %e %H:%M:%S %Y')" \
    >>"$1/log/err_log.csv"
}
# new_site NAME: two stations reporting for two days, the gateway on the air two days ago.
new_site() {
  local site=$tmp/$1
  mkdir -p "$site/configuration" "$site/log"
  printf '"Tank North";"+4410"\r\n"Pump East";"+4420"\r\n' >"$site/configuration/stations.txt"
  printf 'Normal\r\nOverflow\r\n' >"$site/configuration/human.txt"
  error "$site" 172800 "On the air"
  station "$site" +4410 172000 600
  station "$site" +4420 171000 900
  echo "$site"
}
# expect CODE PATTERN ARGS...: the check's exit code and a pattern its line must match.
expect() {
  local code=$1 pattern=$2 line rc=0
  shift 2
  line=$(timeout 20 "$report" "$@" --check --now "$NOW") || rc=$?
  echo "$rc $line"
  ((rc != 124)) || fail "--check hung: $*"
  ((rc == code)) || fail "exit $rc, not $code: $line"
  [[ "$line" =~ $pattern ]] || fail "line does not match '$pattern': $line"
}

healthy=$(new_site healthy)
expect 0 '^MVO OK - 2 stations reporting, gateway on the air' "$healthy"

silent=$(new_site silent)
: >"$silent/log/+4420.csv"
station "$silent" +4420 172000 108000  # nothing for 30 h
expect 1 '^MVO WARNING - 1 of 2 stations silent: Pump East \(30 h\)' "$silent"

down=$(new_site down)
error "$down" 14400 "cmgl-2"
error "$down" 14400 "cmgl-1"
error "$down" 14400 "main1"
for ago in 14000 13000 12000; do error "$down" $ago "pre_at2"; error "$down" $ago "init_modem3"; error "$down" $ago "handle_modem0"; done
expect 2 '^MVO CRITICAL - gateway off the air for 4 h since 2026-12-06 08:00 \("main1"\)' "$down"

# One destination the network refuses: the send counts as done, the reports are still forwarded.
refused=$(new_site refused)
error "$refused" 10800 "cmgs6.cont."
error "$refused" 5400 "cmgs6.cont."
expect 0 '^MVO OK' "$refused"

# The gateway killed: its state file says "on the air" but was last written 20 min ago.
killed=$(new_site killed)
printf 'heartbeat on\r\n' >"$killed/configuration/options.txt"
beat() {  # beat SITE AGO STATE
  printf 'version=1.0\npid=4242\nstate=%s\nsince=2026-12-05 12:00:00\nbeat=%s\nbeat_utc=%d\n' "$3" \
    "$(date -u -d "@$((now_utc - $2))" '+%Y-%m-%d %H:%M:%S')" $((now_utc - $2)) \
    >"$1/log/gateway.state"
}
beat "$killed" 60 "on the air"
expect 0 '^MVO OK' "$killed"
beat "$killed" 1200 "on the air"
expect 2 '^MVO CRITICAL - gateway not running: last sign of life 2026-12-06 11:40 \(20 min ago' "$killed"
beat "$killed" 1200 "stopped"
expect 2 '^MVO CRITICAL - gateway stopped on request at 2026-12-05 12:00' "$killed"

# A FIFO and a link to /dev/zero named like logs: skipped, no hang; a station's own log that is
# a FIFO cannot be judged.
fifo=$(new_site fifo)
mkfifo "$fifo/log/+4499.csv"
ln -s /dev/zero "$fifo/log/+4498.csv"
expect 0 '^MVO OK' "$fifo"
rm "$fifo/log/+4420.csv"
mkfifo "$fifo/log/+4420.csv"
expect 3 '^MVO UNKNOWN - cannot read log/\+4420\.csv: not a regular file' "$fifo"

# Two sites, one bad: the worst state and which site; a directory of sites gives the same.
expect 2 "^MVO CRITICAL - $down CRITICAL: gateway off the air .*\\(1 of 2 sites OK\\)" "$healthy" "$down"
mkdir "$tmp/fleet"
cp -r "$healthy" "$tmp/fleet/tanks"
cp -r "$down" "$tmp/fleet/wells"
expect 2 "^MVO CRITICAL - $tmp/fleet/wells CRITICAL: gateway off the air" "$tmp/fleet"

# Logs the checking user may not read, as the unit writes them (0640, the gateway's own user):
# UNKNOWN naming the file, not a false alarm about the modem.
locked=$(new_site locked)
chmod 0640 "$locked"/log/*
chmod -R a+rX "$locked/configuration"
chmod a+rx "$locked" "$locked/log"
other=()
if ((EUID == 0)); then
  other=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
  chown -R root:root "$locked/log"
else
  chmod 0000 "$locked"/log/*
fi
expect_other() {
  local code=$1 pattern=$2 line rc=0
  shift 2
  line=$(timeout 20 "${other[@]}" "$report" "$@" --check --now "$NOW" 2>&1) || rc=$?
  echo "$rc $line"
  ((rc == code)) || fail "exit $rc, not $code: $line"
  [[ "$line" =~ $pattern ]] || fail "line does not match '$pattern': $line"
}
expect_other 3 '^MVO UNKNOWN - cannot read log/\+44[12]0\.csv: Permission denied \(and 2 more\)' "$locked"
# A log directory the user may not enter.
chmod 0640 "$locked"/log/*
chmod 0750 "$locked/log"
expect_other 3 '^MVO UNKNOWN - cannot read log/.*: Permission denied' "$locked"
# The same site, once the checking user is let in (the group's read bit and the group): OK.
if ((EUID == 0)); then
  chgrp -R nogroup "$locked/log"
  expect_other 0 '^MVO OK' "$locked"
fi
echo "PASS"
