#!/usr/bin/env bash
# mvo-modem-sim on a pseudo-terminal answers a dialogue written by hand: reset, echo off, text
# mode, listing and reading an injected message, deleting it, and a send that lands in the outbox.
# usage: sim_dialogue.sh <mvo-modem-sim>
source "$(dirname "$0")/lib.sh"
sim=$1
status=0
"$sim" --seed abc >/dev/null 2>&1 || status=$?
[[ $status -eq 2 ]] || fail "--seed abc: status $status, not a usage error"
"$sim" --help | grep -q '^usage: mvo-modem-sim' || fail "--help"
printf 'store +4912345 hello station\ncops-delay 0\n' >"$tmp/scenario"
"$sim" --link "$tmp/modem" --scenario "$tmp/scenario" --outbox "$tmp/outbox" >"$tmp/sim.out" &
pids+=($!)
wait_for 5 test -L "$tmp/modem" || fail "no link"
exec 3<>"$tmp/modem"
stty -F "$tmp/modem" raw -echo
# say COMMAND: writes it and returns the reply up to its final result.
say() {
  printf '%s\r' "$1" >&3
  reply=""
  local line
  while IFS= read -r -t 3 line <&3; do
    reply+="${line%$'\r'}|"
    [[ "$line" == OK$'\r' || "$line" == ERROR$'\r' || "$line" == "+CMS ERROR"* ]] && break
  done
}
say ATZ; [[ "$reply" == *"|OK|" ]] || fail "ATZ: $reply"
say ATE0; [[ "$reply" == *"OK|" ]] || fail "ATE0: $reply"
say AT+CMGF=1; [[ "$reply" == "|OK|" ]] || fail "CMGF: $reply"
say 'AT+CMGL="ALL"'
[[ "$reply" == '|+CMGL: 1,"REC UNREAD","+4912345",,"'*'"|hello station||OK|' ]] || fail "CMGL: $reply"
say AT+CMGR=1
[[ "$reply" == '|+CMGR: "REC READ","+4912345",,"'*'"|hello station||OK|' ]] || fail "CMGR: $reply"
say AT+CMGD=1; [[ "$reply" == "|OK|" ]] || fail "CMGD: $reply"
say AT+CMGR=1; [[ "$reply" == "|+CMGR: 0,,0||OK|" ]] || fail "CMGR empty: $reply"
printf 'AT+CMGS="+4400"\r' >&3
IFS= read -r -d '>' -t 3 _ <&3 || fail "no prompt"
printf 'report text\x1a' >&3
say ""
[[ "$reply" == *"+CMGS: 1||OK|" ]] || fail "CMGS: $reply"
grep -qF '"number":"+4400","text":"report text\u001a"' "$tmp/outbox" || fail "outbox: $(cat "$tmp/outbox")"
echo "sim dialogue: ok"
