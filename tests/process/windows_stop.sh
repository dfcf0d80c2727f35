#!/usr/bin/env bash
# mvo-gateway.exe under Wine, stopped by the console control event Wine delivers: Ctrl-C (Wine
# turns a SIGINT of its process into CTRL_C_EVENT; it has no console window to close and no
# logoff). The same cases and expectations as stop.sh: at each point of a fan-out each of its
# three texts goes out exactly once and the next report stays in the modem; while polling the
# stop comes within seconds; the abort bytes end the dialogue, the port can be opened again,
# "stopped on request." on the console and in the error log, exit status 0. Beside them a send
# the modem refuses: the shut-down after it ends in 26 then 27 as well. MVO_STOP_ROUNDS=n runs
# every case n times.
# usage: windows_stop.sh <repo> <build-dir> <mvo-gateway.exe>   (exit 77: no Wine or .exe)
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/stop_lib.sh"
repo=$(cd "$1" && pwd)
bin=$(cd "$2" && pwd)
exe=$3
command -v wine >/dev/null && [[ -f "$exe" ]] || { echo "no Wine or no Windows build"; exit 77; }
exe=$(cd "$(dirname "$exe")" && pwd)/$(basename "$exe")
export WINEPREFIX="${WINEPREFIX:-$repo/build/wine}" WINEDEBUG=-all
"$repo/scripts/wine-ready"
gateway=(env --default-signal=INT wine "$exe")
# Each case its own COM port in the prefix, pointing at its simulator.
declare -A com=()
name_port() {
  local n=${com[$(basename "$1")]}
  ln -sfn "$1/modem" "$WINEPREFIX/dosdevices/com$n"
  echo "port COM$n" >"$1/site/configuration/cfg.txt"
}
slowness=2

# failed_send NAME: the second text of a report refused (the modem answers OK alone), then the
# rest of the fan-out, then the shut-down: 26 then 27 before the next bring-up, and again at the
# stop. "ok" or the failure in NAME/verdict.
failed_send() {
  local d="$tmp/$1"
  mkdir -p "$d"
  trap 'kill $(jobs -p) 2>/dev/null; wait' EXIT
  verdict() { echo "$*" >"$d/verdict"; exit 0; }
  printf 'cops-delay 200\nstore +4410 10,2.5,c,400,e,f,1\nsend-fault +222 ok-only count 1\n' \
    >"$d/scenario"
  example_site "$d/site"
  "$bin/mvo-modem-sim" --link "$d/modem" --scenario "$d/scenario" --outbox "$d/outbox" \
    --transcript "$d/transcript" >"$d/sim.out" &
  wait_for 5 test -L "$d/modem" || verdict "no simulator"
  name_port "$d"
  (cd "$d/site" && exec "${gateway[@]}" </dev/null >"$d/gw.out" 2>"$d/gw.err") &
  local gw=$!
  bring_ups() { [[ $(grep -c '< ATZ' "$d/transcript") -ge 2 ]]; }
  wait_for $((60 * slowness)) bring_ups || verdict "no bring-up after the failed send"
  grep -qF "cmgs5" "$d/site/log/err_log.csv" || verdict "the send did not fail: $(cat "$d/site/log/err_log.csv")"
  polled_again() { awk '/< ATZ/ { z++ } z >= 2 && /< AT\+CMGL/ { f = 1 } END { exit !f }' "$d/transcript"; }
  wait_for $((30 * slowness)) polled_again || verdict "not back on the air"
  kill -INT "$gw"
  wait_for $((10 * slowness)) eval '! alive $gw' || verdict "still running after SIGINT"
  local w before
  w=$(written "$d/transcript")
  before=${w:0:$(($(grep -bo 'ATZ\\r' <<<"$w" | sed -n 2p | cut -d: -f1)))}
  grep -qP '\\x1a\\x1b$' <<<"$before" || verdict "the cycle of the failed send ended: ${before: -120}"
  grep -qP '\\x1a\\x1b$' <<<"$w" || verdict "the last bytes to the modem: ${w: -120}"
  verdict ok
}

# Rounds one after the other (MVO_STOP_ROUNDS, 2 by default), each with its cases side by side.
rounds=${MVO_STOP_ROUNDS:-2}
all=()
n=11
for ((r = 1; r <= rounds; r++)); do
  cases=()
  pids=()
  for point in delete between result idle; do
    c=$point-INT-$r
    com[$c]=$n
    n=$((n + 1))
    cases+=("$c")
    run_case "$c" INT "$point" &
    pids+=($!)
  done
  com[failed-$r]=$n
  n=$((n + 1))
  failed_send "failed-$r" &
  pids+=($!)
  cases+=("failed-$r")
  wait "${pids[@]}" 2>/dev/null || true
  all+=("${cases[@]}")
done
for c in "${!com[@]}"; do rm -f "$WINEPREFIX/dosdevices/com${com[$c]}"; done
report_cases "${all[@]}" || exit 1
echo "windows stop: ok (${#all[@]} cases in $rounds rounds, 26 then 27 after every shut-down)"
