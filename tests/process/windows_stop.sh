#!/usr/bin/env bash
# mvo-gateway.exe under Wine, stopped by the console control event Wine delivers: Ctrl-C (Wine
# turns a SIGINT of its process into CTRL_C_EVENT; it has no console window to close and no
# logoff). The same cases and expectations as stop.sh: at each point of a fan-out each of its
# three texts goes out exactly once and the next report stays in the modem; while polling the
# stop comes within seconds; the abort bytes end the dialogue, the port can be opened again,
# "stopped on request." on the console and in the error log, exit status 0. (A send the modem
# refuses, and the 26 then 27 after it: the scenario tests, in virtual time.) MVO_STOP_ROUNDS=n
# runs every case n times.
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
  wait "${pids[@]}" 2>/dev/null || true
  all+=("${cases[@]}")
done
for c in "${!com[@]}"; do rm -f "$WINEPREFIX/dosdevices/com${com[$c]}"; done
report_cases "${all[@]}" || exit 1
echo "windows stop: ok (${#all[@]} cases in $rounds rounds, 26 then 27 after every shut-down)"
