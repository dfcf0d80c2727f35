# shellcheck shell=bash
# The cases of a stop on request (stop.sh, windows_stop.sh); sourced after lib.sh, with
#   repo, bin       the source tree and the build directory of mvo-modem-sim
#   gateway         the command that runs the gateway in the current directory
#   name_port DIR   writes DIR/site/configuration/cfg.txt for the simulator's link DIR/modem
#   slowness        a factor on the time limits (a gateway under Wine starts slower)
# run_case NAME SIGNAL POINT runs one case in the background's own shell and leaves "ok" or the
# failure in $tmp/NAME/verdict; report_cases NAME... fails with every case that is not ok.

# The open after the stop runs unprivileged when it can.
opens() {
  "${as_nobody[@]}" "$py" -c 'import os, sys; os.close(os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY))' "$1"
}

# The bytes the gateway wrote, in order, as the transcript prints them.
written() { sed -n 's/^[0-9]* < //p' "$1" | tr -d '\n'; }

# run_case NAME SIGNAL POINT: one gateway, stopped at POINT; "ok" or the failure in NAME/verdict.
run_case() {
  local sig=$2 point=$3 d="$tmp/$1"
  mkdir -p "$d"
  trap 'kill $(jobs -p) 2>/dev/null; wait' EXIT
  trap 'exit 1' TERM
  verdict() { echo "$*" >"$d/verdict"; exit 0; }
  {
    echo "cops-delay 200"
    if [[ $point != idle ]]; then
      echo "store +4410 10,2.5,c,400,e,f,1"
      echo "store +4420 7,1.2,c,150,e,f,0"
    fi
    case $point in
      delete) echo "fault AT+CMGD slow 1500 count 1" ;;
      between) echo 'fault AT+CMGS="+222" slow 1500 count 1' ;;
      result) echo "send-fault +222 slow 2500 count 1" ;;
    esac
  } >"$d/scenario"
  example_site "$d/site"
  start_sim "$bin/mvo-modem-sim" "$d" --scenario "$d/scenario" --outbox "$d/outbox" \
    --transcript "$d/transcript"
  local dev
  dev=$(readlink "$d/modem")
  [[ ${#as_nobody[@]} -eq 0 ]] || chmod o+rw "$dev"
  name_port "$d"
  (cd "$d/site" && exec "${gateway[@]}" </dev/null >"$d/gw.out" 2>"$d/gw.err") &
  local gw=$! trigger
  case $point in
    bring-up) trigger='< ATE0' ;;
    idle) trigger='< AT+CMGL' ;;
    delete) trigger='< AT+CMGD=' ;;
    between) trigger='< AT+CMGS="+222"' ;;
    result) trigger='< Tank3 reports: Overflow' ;;
  esac
  wait_for $((60 * slowness)) grep -qF "$trigger" "$d/transcript" ||
    verdict "never reached the point: $(tail -c 300 "$d/transcript" 2>/dev/null | cat -A)"
  [[ $point == idle ]] && sleep 0.5  # inside the poll's wait, after the listing
  kill "-$sig" "$gw"
  local asked=$SECONDS
  cp "$d/transcript" "$d/at-signal"
  # Where the signal landed: nothing of what the held-back reply lets happen had happened.
  case $point in
    delete) ! grep -qF '< AT+CMGS' "$d/at-signal" || verdict "signal landed after the first AT+CMGS" ;;
    between) ! grep -qF '< Tank3' "$d/at-signal" || verdict "signal landed after the second text" ;;
    result) ! grep -qF '+CMGS: 2' "$d/at-signal" || verdict "signal landed after the second result" ;;
  esac
  local limit=$((25 * slowness))  # the rest of the fan-out, then the shut-down
  [[ $point == bring-up || $point == idle ]] && limit=$((5 * slowness))
  while alive "$gw"; do
    ((SECONDS - asked <= limit)) || verdict "still running ${limit} s after SIG$sig: $(tail -c 300 "$d/gw.out" | cat -A)"
    sleep 0.2
  done
  local status=0
  wait "$gw" || status=$?
  [[ $status == 0 ]] || verdict "exit status $status after SIG$sig: $(tail -c 300 "$d/gw.out" | cat -A) $(cat "$d/gw.err")"
  grep -qF "stopped on request." "$d/gw.out" || verdict "console: $(tail -c 300 "$d/gw.out" | cat -A)"
  grep -qF "stopped on request" "$d/site/log/err_log.csv" ||
    verdict "error log: $(tail -3 "$d/site/log/err_log.csv")"
  if [[ $point != bring-up ]]; then
    local w
    w=$(written "$d/transcript")
    grep -qP '(\\r|\\x1a)\\x1a\\x1b$' <<<"$w" || verdict "the last bytes to the modem: ${w: -120}"
  fi
  sleep 0.5  # the simulator's word on the close, if it has one, has come by now
  ! grep -q "released" "$d/sim.out" || verdict "the gateway left the port exclusive"
  opens "$dev" || verdict "the port cannot be opened after the stop"
  if [[ $point == delete || $point == between || $point == result ]]; then
    local want=('"number":"+111","text":"+4410,10,2.5,c,400,e,f,1\u001a"'
      '"number":"+222","text":"Tank3 reports: Overflow at level of 2.5 meter\u001a"'
      '"number":"+444","text":"Tank3: OVERFLOW 2.5 m, 400 l (10/c/e/f)\u001a"') i
    [[ $(wc -l <"$d/outbox") == 3 ]] || verdict "sent: $(cat "$d/outbox")"
    for i in 0 1 2; do
      sed -n "$((i + 1))p" "$d/outbox" | grep -qF "${want[$i]}" || verdict "sent: $(cat "$d/outbox")"
    done
    [[ $(grep -c '< AT+CMGD=' "$d/transcript") == 1 ]] ||
      verdict "deleted: $(grep '< AT+CMGD=' "$d/transcript")"
  fi
  verdict ok
}

report_cases() {
  local failed=0 c v
  for c in "$@"; do
    v=$(cat "$tmp/$c/verdict" 2>/dev/null || echo "no verdict")
    [[ $v == ok ]] || { echo "FAIL: $c: $v" >&2; failed=1; }
  done
  return $failed
}
