# Helpers of the process tests: real binaries, real time, short.
set -euo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }
# wait_for SECONDS COMMAND...: polls the command every 0.2 s until it succeeds.
wait_for() {
  local limit=$(( $1 * 5 )); shift
  for ((i = 0; i < limit; i++)); do "$@" && return 0; sleep 0.2; done
  return 1
}
# cpu_ticks PID: user + system clock ticks used so far.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
tmp=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
# example_site DIR: the example site (its cfg.txt names ../modem) in DIR, without its logs.
example_site() {
  cp -r "$repo/examples/site" "$1"
  rm -f "$1/log/"*.csv
}
# start_sim SIM DIR ARGS...: the simulator SIM on the link DIR/modem, its output in DIR/sim.out.
start_sim() {
  local sim=$1 d=$2
  shift 2
  "$sim" --link "$d/modem" "$@" >"$d/sim.out" 2>&1 &
  pids+=($!)
  wait_for 5 test -L "$d/modem" || fail "no simulator in $d"
}
# has_lines FILE N: FILE has at least N lines (an outbox, N texts).
has_lines() { [[ $(wc -l <"$1" 2>/dev/null || echo 0) -ge $2 ]]; }
alive() { [[ -e /proc/$1 ]] && [[ $(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) != Z ]]; }
# as_nobody: runs a command unprivileged when the test runs as root (root opens an exclusive tty
# all the same); py: a python that user can run (a user's own may not be there for nobody).
as_nobody=()
py=python3
if [[ $(id -u) == 0 && -x /usr/bin/python3 ]] && command -v setpriv >/dev/null; then
  as_nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  py=/usr/bin/python3
fi
