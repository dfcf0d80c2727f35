#!/usr/bin/env bash
# The SIM's PIN on the real gateway and mvo-modem-sim over a pseudo-terminal, in real time: the
# right PIN unlocks the SIM, again after a power cut of the modem; a wrong PIN goes to the modem
# exactly once, across a restart. The PIN is in no log, no console output and no trace.
# usage: pin.sh <repo> <build-dir>
source "$(dirname "$0")/lib.sh"
repo=$1
bin=$2
right=2580
wrong=1397

# site NAME PIN: a copy of the example site (its port is ../modem) with pin.txt, readable by its
# owner only.
site() {
  cp -r "$repo/examples/site" "$tmp/$1"
  rm -f "$tmp/$1/log/"*.csv "$tmp/$1/log/.keep"
  printf '# the SIM'"'"'s PIN\n%s\n' "$2" >"$tmp/$1/configuration/pin.txt"
  chmod 600 "$tmp/$1/configuration/pin.txt"
}
# modem SCENARIO: mvo-modem-sim on $tmp/modem with that scenario; its pid in $sim.
modem() {
  printf '%b' "$1" >"$tmp/scenario"
  rm -f "$tmp/transcript"
  "$bin/mvo-modem-sim" --link "$tmp/modem" --scenario "$tmp/scenario" \
    --transcript "$tmp/transcript" >"$tmp/sim.out" &
  pids+=($!)
  sim=$!
  wait_for 5 test -L "$tmp/modem" || fail "no link"
}
# gateway NAME: the gateway in site NAME, traced; its pid in $gw.
gateway() {
  (cd "$tmp/$1" && MVO_TRACE="$tmp/$1.trace" exec "$bin/mvo-gateway" </dev/null >>"$tmp/$1.out") &
  pids+=($!)
  gw=$!
}
stop() {
  kill "$1"
  wait "$1" 2>/dev/null || true
}
count() { grep -c -- "$1" "$2" 2>/dev/null || true; }
pins_sent() { grep '^[0-9]* < ' "$tmp/transcript" | grep -c 'AT+CPIN=' || true; }
no_pin() {
  for f in "$tmp/$1.out" "$tmp/$1.trace" "$tmp/$1"/log/*; do
    [[ -f $f ]] || continue
    ! grep -q -- "$2" "$f" || fail "$1: the PIN is in $f"
  done
}

# The right PIN; the modem loses its power once the gateway is on the air.
site right $right
modem 'cops-delay 200\nsim-pin 2580\nsim-ready 1500\n'
gateway right
wait_for 60 grep -qs "On the air" "$tmp/right/log/err_log.csv" ||
  fail "right: not on the air: $(tail -c 600 "$tmp/right.out" | cat -A)"
[[ $(pins_sent) == 1 ]] || fail "right: $(pins_sent) PINs sent"
stop "$sim"
modem 'cops-delay 200\nsim-pin 2580\nsim-ready 1500\n'  # a fresh power-up: the SIM asks again
twice() { [[ $(count "On the air" "$tmp/right/log/err_log.csv") -ge 2 ]]; }
wait_for 90 twice || fail "right: not on the air after the power cut: $(tail -c 600 "$tmp/right.out" | cat -A)"
[[ $(pins_sent) == 1 ]] || fail "right: $(pins_sent) PINs sent after the power cut"
stop "$gw"
stop "$sim"
grep -qF -- '--> AT+CPIN=***\r' "$tmp/right.trace" || fail "right: no masked PIN in the trace"
[[ ! -e "$tmp/right/log/sim-pin.refused" ]] || fail "right: a refusal remembered"
no_pin right $right

# A wrong PIN: sent once, then never again, not after a restart.
site wrong $wrong
modem 'cops-delay 200\nsim-pin 2580\n'
gateway wrong
wait_for 60 grep -qs "unlock_sim5 PIN refused before" "$tmp/wrong/log/err_log.csv" ||
  fail "wrong: no second attempt: $(tail -c 600 "$tmp/wrong.out" | cat -A)"
stop "$gw"
gateway wrong
again() { [[ $(count "unlock_sim5 PIN refused before" "$tmp/wrong/log/err_log.csv") -ge 2 ]]; }
wait_for 60 again || fail "wrong: no attempt after the restart"
stop "$gw"
[[ $(pins_sent) == 1 ]] || fail "wrong: $(pins_sent) PINs sent"
[[ $(count "unlock_sim6 PIN refused" "$tmp/wrong/log/err_log.csv") == 1 ]] || fail "wrong: refusals"
grep -q "unlock_sim5 the SIM refused the PIN of pin.txt before" "$tmp/wrong.out" ||
  fail "wrong: no console text"
[[ -f "$tmp/wrong/log/sim-pin.refused" ]] || fail "wrong: no refusal remembered"
no_pin wrong $wrong
echo "pin: ok"
