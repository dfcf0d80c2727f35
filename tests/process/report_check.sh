#!/usr/bin/env bash
# mvo-report --check as a monitoring system runs it: the real binary over what only a real file
# system shows (FIFOs, links to devices, a directory of sites, permissions), the line and exit
# code it gives; the states themselves are the unit tests' rows. The logs that the checking user may not read
# are tested as an unprivileged user (nobody) when the test runs as root, as CI does.
# usage: report_check.sh <mvo-report> <report_site>
source "$(dirname "$0")/lib.sh"
report=$1 make_site=$2
chmod 755 "$tmp"
NOW="2026-12-06 12:00+00"  # the PC runs at UTC

# new_site NAME: two stations (+44000, +44001) reporting every 10 minutes for two days, the
# gateway on the air (report_site's bulk site).
new_site() {
  "$make_site" "$tmp/$1" bulk "2026-12-06 12:00" 2 576 || fail "report_site $1"
  echo "$tmp/$1"
}
# expect CODE PATTERN ARGS...: the check's exit code and a pattern its line must match, run as
# the user "${as[@]}" names (none: this one).
as=()
expect() {
  local code=$1 pattern=$2 line rc=0
  shift 2
  line=$(timeout 20 "${as[@]}" "$report" "$@" --check --now "$NOW" 2>&1) || rc=$?
  echo "$rc $line"
  ((rc != 124)) || fail "--check hung: $*"
  ((rc == code)) || fail "exit $rc, not $code: $line"
  [[ "$line" =~ $pattern ]] || fail "line does not match '$pattern': $line"
}

# A directory of sites, one down: the worst state and which site. The other holds a FIFO and a
# link to /dev/zero named like logs: skipped, no hang, the site OK.
fifo=$(new_site fleet/fifo)
mkfifo "$fifo/log/+4499.csv"
ln -s /dev/zero "$fifo/log/+4498.csv"
wells=$(new_site fleet/wells)
printf ' main1  ,  Sun Dec  6 08:00:00 2026\r\n' >>"$wells/log/err_log.csv"
expect 2 "^MVO CRITICAL - $tmp/fleet/wells CRITICAL: gateway off the air .*\(1 of 2 sites OK\)" \
  "$tmp/fleet"
# A station's own log that is a FIFO cannot be judged.
rm "$fifo/log/+44001.csv"
mkfifo "$fifo/log/+44001.csv"
expect 3 '^MVO UNKNOWN - cannot read log/\+44001\.csv: not a regular file' "$fifo"

# Logs the checking user may not read, as the unit writes them (0640, the gateway's own user):
# UNKNOWN naming the file, not a false alarm about the modem.
locked=$(new_site locked)
chmod 0640 "$locked"/log/*
chmod -R a+rX "$locked/configuration"
chmod a+rx "$locked" "$locked/log"
if ((EUID == 0)); then
  as=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
  chown -R root:root "$locked/log"
else
  chmod 0000 "$locked"/log/*
fi
expect 3 '^MVO UNKNOWN - cannot read log/\+4400[01]\.csv: Permission denied \(and 2 more\)' "$locked"
# A log directory the user may not enter.
chmod 0640 "$locked"/log/*
chmod 0750 "$locked/log"
expect 3 '^MVO UNKNOWN - cannot read log/.*: Permission denied' "$locked"
# The same site, once the checking user is let in (the group's read bit and the group): OK.
if ((EUID == 0)); then
  chgrp -R nogroup "$locked/log"
  expect 0 '^MVO OK' "$locked"
fi
echo "PASS"
