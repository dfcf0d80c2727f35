#!/bin/bash
# The system tier's story inside the container (see run.sh): the package installed, the example
# site enabled against mvo-modem-sim, then, through systemctl and journalctl only:
#   1. the service ready and on the air, the stored reports forwarded;
#   2. systemctl restart in the middle of a fan-out, and
#   3. an upgrade to a rebuilt package in the middle of a fan-out: every text sent exactly once;
#   4. a gateway frozen with SIGSTOP, killed by the watchdog and started again, and systemctl stop
#      while a text's result never comes, ended within the stop's bound (TimeoutStopSec);
#   5. a run-time halt when the modem comes back (its port's line state unreadable) ending in a
#      restart;
#   6. a site without log/: refused by mvo-check (status 78), not started again;
#   7. a purge: nothing of the package left, no enable link either, but the operator's sites.
# Writes its log to /mvo-test/log and PASS or the failure to /mvo-test/result.
set -uo pipefail
exec >/mvo-test/log 2>&1
echo booted >/mvo-test/result
t0=$SECONDS
unit=mvo-gateway@site.service
sim=/var/lib/mvo/sim
site=/var/lib/mvo/site
outbox=$sim/outbox.jsonl
step() { echo "[$((SECONDS - t0)) s] $*"; }
# The journal, the outbox and the site's logs, kept beside the log whatever the end.
keep() {
  journalctl --no-pager -o short-monotonic >/mvo-test/journal.txt
  cp $outbox $sim/transcript.txt $site/log/err_log.csv $site/log/traffic.log /mvo-test/ 2>/dev/null
}
trap keep EXIT
fail() {
  echo "FAIL: $*"
  echo "--- systemctl status"; systemctl status --no-pager -l "$unit" mvo-sim.service
  echo "--- journal"; journalctl --no-pager -o short-monotonic -u "$unit" -u mvo-sim.service | tail -60
  echo "FAIL: $*" >/mvo-test/result
  exit 1
}
# wait_for SECONDS COMMAND...: polls the command every 0.2 s until it succeeds.
wait_for() {
  local limit=$(($1 * 5)); shift
  for ((i = 0; i < limit; i++)); do "$@" && return 0; sleep 0.2; done
  return 1
}
# prop NAME [UNIT]: a property of the unit (the site's gateway unless named).
prop() { systemctl show -P "$1" "${2:-$unit}"; }
# replaced PID: the gateway's main process is no longer PID.
replaced() { [[ "$(prop MainPID)" != "$1" ]]; }
submitted() { [[ $(wc -l <"$outbox" 2>/dev/null || echo 0) -ge $1 ]]; }
# sent N: N texts are in the simulator's outbox and the gateway has their results (its traffic
# log says sent), so that no step begins while a submission still waits for its result.
sent() {
  submitted "$1" && [[ $(grep -c ';out;[^;]*;[^;]*;sent;' $site/log/traffic.log 2>/dev/null) -ge $1 ]]
}
on_air() { [[ "$(prop StatusText)" == "on the air" && "$(prop ActiveState)" == active ]]; }
# once NUMBER TEXT: the outbox holds exactly one text to NUMBER that is TEXT.
once() {
  local n
  n=$(grep -cF "\"number\":\"$1\",\"text\":\"$2\\u001a\"" "$outbox")
  [[ $n -eq 1 ]] || fail "text to $1 \"$2\" sent $n times"
}
# deliver SENDER TEXT: a message arrives at the modem.
deliver() {
  printf '%s\n%s\n' "$1" "$2" >"$sim/spool/.m$SECONDS"
  mv "$sim/spool/.m$SECONDS" "$sim/spool/m$SECONDS-$RANDOM"
}
# journal_has UNIT TEXT: the unit's journal holds TEXT.
journal_has() { journalctl --no-pager -o cat -u "$1" | grep -qF "$2"; }

step "installing the package"
dpkg -i /mvo-test/mvo.deb >/dev/null || fail "dpkg -i"
dpkg -L mvo >/tmp/package-files

# The example site as the README makes it, with the traffic log on. Its cfg.txt
# names ../modem: a link to the simulator's link, so that the test can point the port elsewhere.
cp -r /usr/share/doc/mvo/examples/site $site
echo 'traffic on' >$site/configuration/options.txt
chown -R mvo:mvo $site
install -d -o mvo -g mvo $sim $sim/spool /run/mvo-sim
ln -s /run/mvo-sim/modem /var/lib/mvo/modem
# A submission's result comes 1 s after it, so a fan-out to three destinations lasts about 6 s.
cat >$sim/scenario <<'SCEN'
operator System Net
cops-delay 300
cmgs-delay 1000
store +4410 10,2.5,c,400,e,f,1
store +4420 7,1.2,c,150,e,f,0
SCEN
systemd-run --quiet --unit=mvo-sim --uid=mvo --gid=mvo --working-directory=$sim \
  /usr/bin/mvo-modem-sim --link /run/mvo-sim/modem --scenario $sim/scenario --spool $sim/spool \
  --outbox "$outbox" --transcript $sim/transcript.txt || fail "cannot start the simulator"
wait_for 10 test -L /run/mvo-sim/modem || fail "the simulator made no link"

# The unit as packaged, with a drop-in for the tier: the watchdog shortened from 30 s so that
# its kill fits the tier's time (and a healthy gateway shows that it feeds it through every step
# before), and the port fault of step 5 preloaded, inert until it is switched on.
mkdir -p /run/systemd/system/$unit.d
printf '[Service]\nWatchdogSec=8s\nEnvironment=LD_PRELOAD=/mvo-test/port_fault.so\n' \
  >/run/systemd/system/$unit.d/tier.conf
systemctl daemon-reload

step "1. enable --now: ready, on the air, the stored reports forwarded"
systemctl enable --now "$unit" 2>/dev/null || fail "enable --now"
wait_for 30 on_air || fail "not on the air: status \"$(prop StatusText)\""
wait_for 60 sent 5 || fail "the five texts of the stored reports did not go out"
# When the simulator starts again (the modem re-enumerates), its store is empty.
printf 'operator System Net\ncmgs-delay 1000\n' >$sim/scenario

# stop_mid_fanout WHEN DONE ACTION...: waits until the fan-out of the report just delivered has
# DONE texts out (WHEN: submitted, the first one still waiting for its result; sent, between two
# destinations), then runs ACTION while the fan-out goes on.
stop_mid_fanout() {
  local when=$1 done=$2 pid
  shift 2
  pid=$(prop MainPID)
  wait_for 30 "$when" "$done" || fail "the fan-out did not begin"
  "$@" || fail "$* failed"
  replaced "$pid" || fail "the gateway was not replaced"
  wait_for 30 sent $((done + 2)) || fail "the fan-out was not finished"
  wait_for 30 on_air || fail "not on the air after the stop: \"$(prop StatusText)\""
}

step "2. systemctl restart while a submission waits for its result"
deliver +4430 3,0.4,o,60,e,f,2
stop_mid_fanout submitted 6 systemctl restart "$unit"
once +111 '+4430,3,0.4,o,60,e,f,2'
once +222 'Gauge 7 reports: Low level at level of 0.4 meter'
once +444 'Gauge 7: low, 0.4 m left'

step "3. upgrade to the rebuilt package between two destinations of a fan-out"
deliver +4410 11,2.6,c,410,e,f,1
stop_mid_fanout sent 9 dpkg -i /mvo-test/mvo+rebuilt1.deb
[[ "$(dpkg-query -W -f '${Version}' mvo)" == *+rebuilt1 ]] || fail "not upgraded"
once +111 '+4410,11,2.6,c,410,e,f,1'
once +222 'Tank3 reports: Overflow at level of 2.6 meter'
once +444 'Tank3: OVERFLOW 2.6 m, 410 l (11/c/e/f)'
[[ $(wc -l <$outbox) -eq 11 ]] || fail "texts sent: $(wc -l <$outbox), expected 11"

step "4. frozen with SIGSTOP: killed by the watchdog and started again"
[[ "$(prop NRestarts)" == 0 ]] || fail "restarted while healthy: $(prop NRestarts)"
pid=$(prop MainPID)
kill -STOP "$pid"
# Waiting in the modem's store for the gateway that comes after.
deliver +4420 8,1.3,c,160,e,f,0
wait_for 30 journal_has "$unit" 'Watchdog timeout' || fail "no watchdog kill"
wait_for 30 replaced "$pid" || fail "not started again"
wait_for 30 on_air || fail "not on the air after the watchdog: \"$(prop StatusText)\""
wait_for 30 sent 13 || fail "nothing forwarded after the watchdog restart"
once +333 'Pump North reports: Normal at volume of 160 liter'

step "4b. systemctl stop while a text's result never comes: within the stop's bound"
printf 'operator System Net\ncmgs-delay 1000\nsend-fault +222 silent count 1\n' >$sim/scenario
systemctl restart mvo-sim.service || fail "cannot restart the simulator"
wait_for 60 on_air || fail "not on the air with the silent modem: \"$(prop StatusText)\""
deliver +4430 4,0.5,o,70,e,f,2
awaited() { grep -qF 'Gauge 7 reports: Low level at level of 0.5 meter' $sim/transcript.txt; }
wait_for 60 awaited || fail "the text to +222 never went to the modem"
asked=$SECONDS
systemctl stop "$unit" || fail "systemctl stop"
took=$((SECONDS - asked))
((took <= 80)) || fail "systemctl stop took $took s"
[[ "$(prop Result)" == success ]] || fail "stopped with result $(prop Result), after $took s"
step "   stopped in $took s"
printf 'operator System Net\ncmgs-delay 1000\n' >$sim/scenario
systemctl restart mvo-sim.service || fail "cannot restart the simulator"
systemctl start "$unit" || fail "systemctl start"
wait_for 60 on_air || fail "not on the air after the start: \"$(prop StatusText)\""

step "5. a run-time halt ends in a restart"
restarts=$(prop NRestarts)
install -d /run/mvo-fault && touch /run/mvo-fault/line-state
# The modem goes away and comes back: the next bring-up cannot read the port's line state.
systemctl restart mvo-sim.service || fail "cannot restart the simulator"
wait_for 30 journal_has "$unit" 'COM port state is initially bad AND stopping' || fail "no halt"
wait_for 30 journal_has "$unit" 'status=1/FAILURE' || fail "the halt did not end the gateway with status 1"
rm /run/mvo-fault/line-state
deliver +4410 12,2.7,c,420,e,f,0
restarted() { (($(prop NRestarts) > restarts)); }
wait_for 30 restarted || fail "no restart after the halt"
wait_for 30 on_air || fail "not on the air after the halt: \"$(prop StatusText)\""
wait_for 30 sent 16 || fail "nothing forwarded after the halt"  # 13, the first of 4b, then two
once +333 'Tank3 reports: Normal at volume of 420 liter'

step "6. a site without log/: refused by mvo-check, no restart"
nolog=mvo-gateway@nolog.service
cp -r /usr/share/doc/mvo/examples/site /var/lib/mvo/nolog
rm -rf /var/lib/mvo/nolog/log
chown -R mvo:mvo /var/lib/mvo/nolog
systemctl enable --now "$nolog" 2>/dev/null && fail "a site without log/ started"
failed() { [[ "$(prop ActiveState "$nolog")" == failed ]]; }
wait_for 20 failed || fail "not failed: $(prop ActiveState "$nolog")"
# 78, mvo-check's refusal; not 226/NAMESPACE, systemd's own for the missing log/.
[[ "$(prop ExecMainStatus "$nolog")" == 78 ]] || fail "exit status $(prop ExecMainStatus "$nolog"), not 78"
# Longer than RestartSec: a restart would have come by now.
sleep 7
[[ "$(prop NRestarts "$nolog")" == 0 ]] && failed || fail "started again: $(prop NRestarts "$nolog") restarts"

step "7. purge: nothing of the package left but the operator's sites"
# An instance whose name systemd escapes (a site called tanks-north): its link goes too.
systemctl enable 'mvo-gateway@tanks\x2dnorth.service' 2>/dev/null ||
  fail "enable an escaped instance"
systemctl stop mvo-sim.service
dpkg --purge mvo >/dev/null || fail "dpkg --purge"
left=$(while read -r f; do [[ -e $f && ! -d $f ]] && echo "$f"; done </tmp/package-files)
[[ -z "$left" ]] || fail "package files left: $left"
# The tier's own unit aside.
left=$(find / -xdev \( -path /proc -o -path /mvo-test -o -path /var/lib/mvo \
  -o -path /etc/systemd/system/mvo-system-test.service \) -prune -o -name '*mvo*' -print 2>/dev/null)
[[ -z "$left" ]] || fail "left after the purge: $left"
[[ -d /var/lib/mvo/site/configuration && -s /var/lib/mvo/site/log/err_log.csv &&
   -d /var/lib/mvo/nolog/configuration ]] || fail "the operator's sites went: $(ls -R /var/lib/mvo)"
systemctl list-unit-files 'mvo-gateway*' --no-legend | grep . && fail "units left"

step "done"
echo PASS >/mvo-test/result
