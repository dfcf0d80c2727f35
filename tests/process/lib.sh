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
