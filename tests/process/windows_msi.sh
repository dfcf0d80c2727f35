#!/usr/bin/env bash
# The Windows installer under Wine, in a prefix of its own made afresh (build/wine-msi): installed
# with msiexec /qn (the service MVO registered and stopped, the programs in Program Files\MVO, the
# example site in ProgramData\MVO\site, the event source MVO); the service started on the site
# whose port is a COM link to mvo-modem-sim, a report forwarded and `net stop` in the middle of its
# fan-out (every text sent, 26 and 27 the last bytes, "stopped on request", exit code 0); a halting
# site (the service stopped with its code, the message as Wine prints the event); an upgrade to a
# rebuilt installer of a higher version in the middle of a fan-out (each text exactly once, the
# service running again); the removal (service and programs gone, the site kept). The steps with
# the service run once the gateway has --service.
# usage: windows_msi.sh <repo> <build-dir> <version>   (exit 77: no Wine, wixl or Windows build)
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/stop_lib.sh"
repo=$(cd "$1" && pwd)
bin=$(cd "$2" && pwd)
version=$3
mingw=$repo/build/mingw
command -v wine >/dev/null && command -v wixl >/dev/null && [[ -f "$mingw/mvo-setup-action.exe" ]] ||
  { echo "no Wine, no wixl or no Windows build"; exit 77; }
export WINEPREFIX=$repo/build/wine-msi WINEDEBUG=-all
wineserver -k 2>/dev/null || true
rm -rf "$WINEPREFIX"
"$repo/scripts/wine-ready"
# The installer under test and one of a higher version (the next patch level) to upgrade to.
IFS=. read -r major minor patch <<<"$version"
next=$major.$minor.$((patch + 1))
for v in "$version" "$next"; do
  bash "$repo/packaging/windows/build-msi.sh" "$mingw" "$v" "$tmp/mvo-$v.msi" >"$tmp/build-$v.log" 2>&1 ||
    fail "build-msi.sh $v: $(cat "$tmp/build-$v.log")"
done
drive=$WINEPREFIX/drive_c
site=$drive/ProgramData/MVO/site
programs="$drive/Program Files/MVO"
# Kept up for the whole test: services.exe, and with it every service, lives as long as the server.
# The first program that asks for the service manager starts services.exe, whose standard error
# the services inherit: Wine prints an error event there as an err:eventlog line.
wineserver -p
trap 'wineserver -k 2>/dev/null || true; cleanup' EXIT
WINEDEBUG=-all,err+eventlog wine sc query MVO >/dev/null 2>"$tmp/services.err" || true
state() { wine sc query MVO 2>/dev/null | tr -d '\r' | awk '$1 == "STATE" { print $4 }'; }
exit_codes() {
  wine sc query MVO 2>/dev/null | tr -d '\r' | awk '/EXIT_CODE/ { printf "%s%s", s, $3; s = " " }'
}

# 1. Installed, not started.
wine msiexec /i "$tmp/mvo-$version.msi" /qn >"$tmp/install.out" 2>&1 || fail "install: $(cat "$tmp/install.out")"
[[ $(state) == STOPPED ]] || fail "after the install: $(wine sc query MVO 2>&1)"
for f in mvo-gateway.exe mvo-check.exe mvo-report.exe; do
  [[ -f "$programs/$f" ]] || fail "missing Program Files\\MVO\\$f: $(ls "$programs")"
done
[[ ! -e "$programs/mvo-setup-action.exe" ]] || fail "the custom actions' program was installed"
for f in cfg.txt stations.txt human.txt destinations.txt custom.txt options.txt; do
  cmp -s "$site/configuration/$f" "$mingw/crlf/MVO/site/configuration/$f" || fail "site file $f"
done
[[ -d $site/log && -z $(ls -A "$site/log") ]] || fail "site\\log is not an empty folder"
wine reg query 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\MVO' 2>/dev/null | tr -d '\r' \
  >"$tmp/source.out"
grep -qF 'EventMessageFile    REG_EXPAND_SZ    C:\Program Files\MVO\mvo-gateway.exe' "$tmp/source.out" &&
  grep -qF 'TypesSupported    REG_DWORD    0x7' "$tmp/source.out" || fail "event source: $(cat "$tmp/source.out")"
echo "install: ok (service MVO stopped, programs, site, event source)"

# The site's port: COM21 in the prefix, linked to each step's simulator in turn.
printf 'port COM21\r\n' >"$site/configuration/cfg.txt"
com21_sim() {  # NAME SCENARIO-LINES...: a simulator in $tmp/NAME behind COM21
  local d=$tmp/$1
  shift
  mkdir -p "$d"
  printf '%s\n' "cops-delay 200" "$@" >"$d/scenario"
  start_sim "$bin/mvo-modem-sim" "$d" --scenario "$d/scenario" --outbox "$d/outbox" \
    --transcript "$d/transcript"
  ln -sfn "$d/modem" "$WINEPREFIX/dosdevices/com21"
}
stopped() { [[ $(state) == STOPPED ]]; }
# Every text of the outbox once, and as many as expected.
once() {
  [[ $(wc -l <"$1/outbox") == "$2" && $(sort "$1/outbox" | uniq -d | wc -l) == 0 ]] ||
    fail "$1: sent $(cat "$1/outbox")"
}

if wine "$programs/mvo-gateway.exe" --help 2>/dev/null | grep -q -- '--service'; then
  # 2. Started: the report is forwarded; stopped with the second text's result held back, the
  # fan-out ends first.
  com21_sim fanout "store +4410 10,2.5,c,400,e,f,1" "send-fault +222 slow 6000 count 1"
  d=$tmp/fanout
  wine net start MVO >"$tmp/start.out" 2>&1 || fail "net start: $(cat "$tmp/start.out")"
  running() { [[ $(state) == RUNNING ]]; }
  wait_for 30 running || fail "after net start: $(wine sc query MVO 2>&1)"
  wait_for 120 grep -qF '< Tank3 reports: Overflow' "$d/transcript" ||
    fail "no fan-out: $(tail -c 300 "$d/transcript" 2>/dev/null | cat -A)"
  wine net stop MVO >"$tmp/stop.out" 2>&1 || true
  wait_for 80 stopped || fail "not stopped: $(wine sc query MVO 2>&1)"
  [[ $(exit_codes) == "0 0" ]] || fail "exit codes after the stop: $(exit_codes)"
  once "$d" 3
  grep -qF '"number":"+444","text":"Tank3: OVERFLOW' "$d/outbox" || fail "sent: $(cat "$d/outbox")"
  grep -qP '\\x1a\\x1b$' <<<"$(written "$d/transcript")" ||
    fail "the last bytes to the modem: $(written "$d/transcript" | tail -c 120)"
  grep -qF 'stopped on request' "$site/log/err_log.csv" || fail "err_log: $(cat "$site/log/err_log.csv")"
  echo "service: ok (forwarded, net stop in a fan-out: 3 texts, 26 27, stopped on request, exit 0)"

  # 3. A halting site: without cfg.txt the gateway halts; the service stops with its code.
  mv "$site/configuration/cfg.txt" "$tmp/cfg.txt"
  wine net start MVO >"$tmp/halt.out" 2>&1 || true
  wait_for 60 stopped || fail "halted site still running: $(wine sc query MVO 2>&1)"
  read -r win32 specific <<<"$(exit_codes)"
  [[ $win32 == 1066 && $specific != 0 ]] || fail "exit codes after a halt: $win32 $specific"
  wait_for 10 grep -q 'err:eventlog.*NO CFG FILE' "$tmp/services.err" ||
    fail "no error event: $(grep eventlog "$tmp/services.err" | tail -5)"
  grep -qF 'NO CFG FILE' "$site/log/err_log.csv" || fail "err_log: $(tail -3 "$site/log/err_log.csv")"
  mv "$tmp/cfg.txt" "$site/configuration/cfg.txt"
  echo "halt: ok (stopped, exit codes $win32 $specific, event $(grep -o 'err:eventlog.*' "$tmp/services.err" | head -1))"

  # 4. The upgrade, started in the middle of the first report's fan-out: each text once, the
  # second report forwarded by the service started again.
  com21_sim upgrade "store +4410 10,2.5,c,400,e,f,1" "store +4420 7,1.2,c,150,e,f,0" \
    "send-fault +222 slow 6000 count 1"
  d=$tmp/upgrade
  wine net start MVO >"$tmp/start2.out" 2>&1 || fail "net start: $(cat "$tmp/start2.out")"
  wait_for 120 grep -qF '< Tank3 reports: Overflow' "$d/transcript" || fail "no fan-out before the upgrade"
  wine msiexec /i "$tmp/mvo-$next.msi" /qn >"$tmp/upgrade.out" 2>&1 || fail "upgrade: $(cat "$tmp/upgrade.out")"
  wait_for 30 running || fail "not running after the upgrade: $(wine sc query MVO 2>&1)"
  # The second report goes to two destinations (its status code 0 is not subscribed by +444).
  wait_for 120 has_lines "$d/outbox" 5 || fail "after the upgrade: $(cat "$d/outbox")"
  sleep 2  # a text sent twice would come now
  once "$d" 5
  [[ $(grep -c 'stopped on request' "$site/log/err_log.csv") == 2 ]] || fail "err_log: $(cat "$site/log/err_log.csv")"
  wine net stop MVO >/dev/null 2>&1 || true
  wait_for 80 stopped || fail "not stopped after the upgrade"
  echo "upgrade in a fan-out: ok (5 texts, each once; the service started again)"
else
  echo "skipped: the service steps (this mvo-gateway.exe has no --service)"
  wine msiexec /i "$tmp/mvo-$next.msi" /qn >"$tmp/upgrade.out" 2>&1 || fail "upgrade: $(cat "$tmp/upgrade.out")"
  [[ $(state) == STOPPED ]] || fail "after the upgrade: $(wine sc query MVO 2>&1)"
fi
grep -qF 'port COM21' "$site/configuration/cfg.txt" || fail "the upgrade changed cfg.txt: $(cat "$site/configuration/cfg.txt")"
[[ $(wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' 2>/dev/null | grep -c '{') == 1 ]] ||
  fail "products after the upgrade: $(wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' 2>&1)"

# 5. Removed: the service and the programs gone, the site as it was.
ls -R "$site" >"$tmp/site-before"
wine msiexec /x "$tmp/mvo-$next.msi" /qn >"$tmp/remove.out" 2>&1 || fail "removal: $(cat "$tmp/remove.out")"
wine sc query MVO >"$tmp/query.out" 2>&1 && fail "the service is still there: $(cat "$tmp/query.out")"
[[ ! -e $programs ]] || fail "Program Files\\MVO is still there: $(ls "$programs")"
ls -R "$site" | cmp -s - "$tmp/site-before" || fail "the site changed: $(ls -R "$site")"
grep -qF 'port COM21' "$site/configuration/cfg.txt" || fail "cfg.txt: $(cat "$site/configuration/cfg.txt")"
echo "removal: ok (service and programs gone, the site kept)"
echo "windows msi: ok"
