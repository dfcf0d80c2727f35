#!/usr/bin/env bash
# The console as the journal reads it. With JOURNAL_STREAM naming the device and inode of the
# gateway's standard output, every event is one whole line with its syslog priority: "<6>" the
# bring-up and the forward, "<3>" a failure (a submission refused), "<4>" a refused message (a
# sender that is no station); no spinner, no CR. The same run on a pipe with a JOURNAL_STREAM that
# names another file prints today's console byte for byte up to the polling spinner (the
# spinner's frames depend on how long it polls; the forward's time is masked). Without
# JOURNAL_STREAM at all: startup.sh's console, byte for byte.
# usage: journal.sh <repo> <build-dir>
source "$(dirname "$0")/lib.sh"
repo=$(cd "$1" && pwd)
bin=$(cd "$2" && pwd)

# Today's console of this scenario on a pipe, up to the first spinner frame ("@" for the forward's
# date and time).
expected=$'\n...wait...(5 seconds)\r RKT 26 FEB 2012                                 \n\n'\
$' Q U O R I N D A L E\n             MARVENTO (MVO)        \n\n\n'\
$'...wait...(for about two minutes)\r...wait...(for about two minutes 1)\r'\
$'...wait...(for about two minutes 1 2)\r...wait...(for about two minutes 1 2 3 4)\r'\
$'...wait...(for about two minutes 1 2 3 4 5)\r...wait...(for about two minutes 1 2 3 4 5 6)\r'\
$'...wait...(for about two minutes 1 2 3 4 5 6 7)\r'\
$'...wait...(for about two minutes 1 2 3 4 5 6 7 8)\r'\
$'...wait...(for about two minutes 1 2 3 4 5 6 7 8 9)\r\ncpms.0.1.2.3.4..\n'\
$'...wait...(for about two minutes 1 2 3 4 5 6 7 8 9 10)\r'\
$'OUR OPERATOR TODAY    -  "MVO Telecom"                         \n\n'\
$'SMS /@/@/Tank3: 10,2.5,c,400,e,f,1\n'\
$'CMGS6((+CMS ERROR: 500)).Probably wrong destination((+222)).'\
$'SMS from un-authorized: +4499                    \n'
spinner='--        ++'

# The scenario on its own simulator, in each MODE: journal (a file named by JOURNAL_STREAM) or
# other (a pipe, JOURNAL_STREAM naming another file). Stopped with SIGTERM once polling; exit
# status 0.
printf 'cops-delay 200\nstore +4410 10,2.5,c,400,e,f,1\nstore +4499 hello there\n'`
  `'send-fault +222 cms500 count 1\n' >"$tmp/scenario"
for mode in journal other; do
  d=$tmp/$mode
  mkdir -p "$d"
  example_site "$d/site"
  start_sim "$bin/mvo-modem-sim" "$d" --scenario "$tmp/scenario"
  : >"$d/out"
  : >"$d/elsewhere"
  if [[ $mode == journal ]]; then
    (cd "$d/site" && JOURNAL_STREAM=$(stat -c %d:%i "$d/out") exec "$bin/mvo-gateway" \
      </dev/null >"$d/out") &
  else
    (cd "$d/site" && JOURNAL_STREAM=$(stat -c %d:%i "$d/elsewhere") exec "$bin/mvo-gateway" \
      </dev/null > >(cat >"$d/out")) &
  fi
  gw=$!
  wait_for 60 grep -qs "SMS from UFO" "$d/site/log/err_log.csv" ||
    fail "$mode: the unknown sender was never refused: $(tail -c 300 "$d/out" | cat -A)"
  # Polling: the spinner turns (in the journal, where it must not show, for as long).
  if [[ $mode == journal ]]; then
    sleep 2
  else
    wait_for 10 grep -qF -- "$spinner" "$d/out" || fail "other: no spinner: $(tail -c 300 "$d/out" | cat -A)"
  fi
  kill -TERM "$gw"
  status=0
  wait "$gw" || status=$?
  [[ $status == 0 ]] || fail "$mode: exit status $status after SIGTERM"
  sleep 0.3  # the pipe's reader writes the last bytes
done

# Journal: whole lines, each with a priority; the events at theirs.
j=$tmp/journal/out
[[ -s $j && $(tail -c 1 "$j" | od -An -c | tr -d ' ') == '\n' ]] || fail "journal: not whole lines: $(tail -c 200 "$j" | cat -A)"
! grep -q $'\r' "$j" || fail "journal: a CR: $(grep -n $'\r' "$j" | head -3 | cat -A)"
bad=$(grep -vnE '^<[0-7]>' "$j" || true)
[[ -z $bad ]] || fail "journal: lines without a priority: $(head -5 <<<"$bad" | cat -A)"
! grep -qE '^<[0-7]>[-+ ]*$' "$j" || fail "journal: a spinner: $(grep -nE '^<[0-7]>[-+ ]*$' "$j" | head -3)"
! grep -qF -- "$spinner" "$j" || fail "journal: a spinner frame"
for want in '^<6>.*OUR OPERATOR TODAY    -  "MVO Telecom"' \
  '^<6>SMS /[A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} [0-9]{4}/[0-9:]{8}/Tank3: 10,2\.5,c,400,e,f,1$' \
  '^<3>.*CMGS6\(\(\+CMS ERROR: 500\)\)\.Probably wrong destination\(\(\+222\)\)' \
  '^<4>.*SMS from un-authorized: \+4499' '^<[0-7]>.*stopped on request\.'; do
  grep -qE "$want" "$j" || fail "journal: no line like $want: $(cat -A "$j")"
done

# Anywhere else: today's bytes.
got=$(sed 's#^SMS /[^/]*/[0-9:]*/#SMS /@/@/#' "$tmp/other/out"; echo x)
got=${got%x}
[[ $got == *"$spinner"* ]] || fail "other: no spinner: $(cat -A "$tmp/other/out")"
got=${got%%"$spinner"*}
[[ $got == "$expected" ]] ||
  fail "other: the console differs from today's:"$'\n'"$(diff <(cat -A <<<"$expected") <(cat -A <<<"$got"))"
echo "journal: ok"
