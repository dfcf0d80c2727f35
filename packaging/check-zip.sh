#!/usr/bin/env bash
# The Windows zip: built by CPack from the Windows build, it holds the .exe files, the example
# site with an empty log folder and the text on starting at boot (CR LF); the gateway unpacked from
# it forwards a report under Wine (tests/process/windows_forward.sh), mvo-start.cmd starts it again
# after a halt, and the other .exe files run.
# usage: check-zip.sh <mingw-build-dir> <mvo-modem-sim> <repo>   (exit 77: no Windows build or Wine)
set -euo pipefail
mingw=$1
sim=$2
repo=$3
fail() { echo "FAIL: $*" >&2; exit 1; }
if [[ ! -f "$mingw/CPackConfig.cmake" || ! -f "$mingw/mvo-gateway.exe" ]] || ! command -v wine >/dev/null; then
  echo "no Windows build or no Wine"; exit 77
fi
out=$mingw/package
rm -rf "$out"
mkdir -p "$out/unpacked"
cpack --config "$mingw/CPackConfig.cmake" -G ZIP -B "$out" >"$out/cpack.log" 2>&1 ||
  fail "cpack: $(cat "$out/cpack.log")"
zip=$(ls "$out"/mvo-*-win64.zip)
echo "built $zip"
(cd "$out/unpacked" && cmake -E tar xf "$zip")
m=$out/unpacked/MVO
for f in mvo-gateway.exe START-AT-BOOT.txt mvo-start.cmd mvo-stop.cmd check.cmd report.cmd \
  site/configuration/cfg.txt \
  site/configuration/stations.txt site/configuration/human.txt \
  site/configuration/destinations.txt site/configuration/custom.txt; do
  [[ -f "$m/$f" ]] || fail "missing MVO/$f: $(cd "$out/unpacked" && find . | sort)"
done
[[ -d "$m/site/log" && -z "$(ls -A "$m/site/log")" ]] || fail "site/log is not an empty folder"
grep -qE $'^port COM5\r?$' "$m/site/configuration/cfg.txt" || fail "cfg.txt: $(cat "$m/site/configuration/cfg.txt")"
# Every text file CR LF ended, as Notepad of every Windows version shows it.
for f in START-AT-BOOT.txt mvo-start.cmd mvo-stop.cmd check.cmd report.cmd "$m"/site/configuration/*.txt; do
  f=${f#"$m/"}
  [[ $(grep -c $'\r$' "$m/$f") -eq $(wc -l <"$m/$f") ]] || fail "$f has lines without CR LF"
done
grep -qF 'schtasks /Create /TN "MVO gateway" /TR "C:\MVO\mvo-start.cmd" /SC ONSTART' "$m/START-AT-BOOT.txt" ||
  fail "no schtasks line"
echo "zip contents: ok ($(cd "$m" && ls *.exe | tr '\n' ' '))"

export WINEPREFIX="${WINEPREFIX:-$repo/build/wine}" WINEDEBUG=-all
for tool in mvo-check mvo-report; do
  if [[ -f "$m/$tool.exe" ]]; then
    wine "$m/$tool.exe" --help >"$out/$tool.out" 2>&1 </dev/null || fail "$tool.exe --help: $(cat "$out/$tool.out")"
  fi
done
# check.cmd checks site\ beside it, whatever folder it is started from, and waits for a key.
wine cmd /c "$(winepath -w "$m/check.cmd")" >"$out/check.out" 2>&1 </dev/null || true
# The example with its port set checks clean but for the port, which this prefix may not have.
grep -qE '^0 errors, (0 warnings|1 warning)' "$out/check.out" &&
  ! grep -E ': (error|warning): ' "$out/check.out" | grep -vF 'site/configuration/cfg.txt: warning: port COM5' ||
  fail "check.cmd: $(cat -A "$out/check.out")"
grep -qi 'press any key' "$out/check.out" || fail "check.cmd did not pause: $(cat -A "$out/check.out")"
echo "check.cmd: $(grep -E '^[0-9]+ error' "$out/check.out" | tr -d '\r')"

# mvo-start.cmd: a halt (here a site without cfg.txt) ends the gateway with status 1, since the
# script sets MVO_ON_HALT=exit, and the script starts it again.
loop=$out/loop
mkdir -p "$loop/site/configuration" "$loop/site/log"
cp "$m/mvo-start.cmd" "$m/mvo-gateway.exe" "$loop/"
wine cmd /c "$(winepath -w "$loop/mvo-start.cmd")" >"$out/loop.out" 2>&1 </dev/null &
loop_pid=$!
for ((i = 0; i < 300; i++)); do
  [[ $(grep -c 'mvo-gateway ended with status 1;' "$out/loop.out" 2>/dev/null) -ge 2 ]] && break
  sleep 0.2
done
kill "$loop_pid" 2>/dev/null || true
wait "$loop_pid" 2>/dev/null || true
# The script's pause (a ping) outlives the killed cmd; end everything of this prefix.
wineserver -k 2>/dev/null || true
[[ $(grep -c 'NO CFG FILE' "$out/loop.out") -ge 2 &&
   $(grep -c 'mvo-gateway ended with status 1;' "$out/loop.out") -ge 2 ]] ||
  fail "mvo-start.cmd did not start the halted gateway again: $(cat -A "$out/loop.out")"
echo "mvo-start.cmd: a halt ends the gateway with status 1 and the script starts it again"

# The forward test also runs the serial port test, which it finds beside the gateway.
ln -sf "$mingw/platform_tests.exe" "$m/platform_tests.exe"
bash "$repo/tests/process/windows_forward.sh" "$m/mvo-gateway.exe" "$sim" "$repo"
echo "package.zip: ok"
