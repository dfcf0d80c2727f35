#!/usr/bin/env bash
# A stop on request at each point of a fan-out, as `systemctl restart`, a package upgrade, Ctrl-C
# or the end of a terminal session asks for it. The report +4410 goes to three destinations
# (+111, +222, +444); the report +4420 waits behind it in the modem. A signal lands
#   delete:  after the report's AT+CMGD (its reply held back 1.5 s),
#   between: after the first destination, while the second's prompt is held back 1.5 s,
#   result:  while the result of the second destination's submission is held back 2.5 s,
# and, outside a fan-out, during the bring-up and while polling an empty modem. (A result that
# never comes, cut by the stop's patience, and a report announced by the modem: the scenario tests,
# in virtual time; a signal cutting a wait short: TermiosPort's.)
# In a fan-out each of its three texts goes out exactly once and the next report stays in the
# modem, undeleted. Every case then ends the same way: the abort bytes (26, 27) are the last bytes
# to the modem, the gateway closes the port itself (the simulator has no exclusive flag to clear
# after it) and a new client can open it, the console says "stopped on request.", the error log
# has the tag "stopped on request", and the exit status is 0.
# The cases run side by side, each with its own simulator and site.
# usage: stop.sh <repo> <build-dir>
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/stop_lib.sh"
repo=$(cd "$1" && pwd)
bin=$(cd "$2" && pwd)
# Background jobs of a non-interactive shell ignore SIGINT; a gateway started by a terminal or by
# systemd does not.
gateway=(env --default-signal=INT,HUP,TERM "$bin/mvo-gateway")
name_port() { :; }  # the example site's cfg.txt names ../modem
slowness=1

# Each signal once in a fan-out: they take the same way in.
cases=(delete-TERM between-INT result-HUP bring-up-TERM idle-TERM)
for c in "${cases[@]}"; do
  run_case "$c" "${c##*-}" "${c%-*}" &
  pids+=($!)
done
wait "${pids[@]}" 2>/dev/null || true
report_cases "${cases[@]}" || exit 1
echo "stop: ok (${#cases[@]} cases)"
