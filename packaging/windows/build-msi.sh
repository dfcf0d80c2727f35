#!/usr/bin/env bash
# Builds the Windows installer from the Windows build's .exe files with wixl (Debian's msitools):
# mvo-<version>-win64.msi. The version is the project's (the top CMakeLists.txt); the site's text
# files are the CR LF copies the zip is made of (build/mingw/crlf, written when CMake configures).
# usage: build-msi.sh <mingw-build-dir> <version> <output.msi>   (exit 77: no wixl or no .exe)
set -euo pipefail
mingw=$(cd "$1" && pwd)
version=$2
out=$3
here=$(cd "$(dirname "$0")" && pwd)
command -v wixl >/dev/null && command -v msibuild >/dev/null || { echo "no wixl or msibuild"; exit 77; }
for f in mvo-gateway.exe mvo-check.exe mvo-report.exe mvo-setup-action.exe; do
  [[ -f "$mingw/$f" ]] || { echo "no $mingw/$f"; exit 77; }
done
site=crlf/MVO/site/configuration
[[ -f "$mingw/$site/cfg.txt" ]] || { echo "no $mingw/$site/cfg.txt (configure build/mingw first)"; exit 1; }
mkdir -p "$(dirname "$out")"
out=$(cd "$(dirname "$out")" && pwd)/$(basename "$out")
# wixl finds a source file by a path relative to its working directory only.
(cd "$mingw" && wixl -a x64 -D Version="$version" -D Bin=. -D Site="$site" -o "$out" "$here/mvo.wxs")
# wixl 0.101 ignores Permanent and NeverOverwrite: set them in the Component table (64-bit 256,
# permanent 16, never overwrite 128). The site's files then survive a removal and an upgrade.
msibuild "$out" -q "UPDATE Component SET Attributes = 400 WHERE Component = 'SiteCfg' OR Component = 'SiteStations' OR Component = 'SiteDestinations' OR Component = 'SiteHuman' OR Component = 'SiteCustom' OR Component = 'SiteOptions'"
msibuild "$out" -q "UPDATE Component SET Attributes = 272 WHERE Component = 'SiteLog'"
# The event source's message file is REG_EXPAND_SZ ("#%" in the Registry table), which wixl's
# type "expandable" does not write.
msibuild "$out" -q "UPDATE Registry SET Value = '#%[INSTALLDIR]mvo-gateway.exe' WHERE Name = 'EventMessageFile'"
# The custom actions that run mvo-setup-action.exe: wixl writes them as programs named by a
# property (type 50) and knows no rollback; they are programs from the Binary table (type 2) whose
# exit status is ignored (0x40): deferred (0x400) and not impersonated (0x800), the stop before the
# old product's removal also at once (no flag), the restart also on rollback (0x400 + 0x100).
msibuild "$out" -q "UPDATE CustomAction SET Type = 3138 WHERE Source = 'SetupAction'"
msibuild "$out" -q "UPDATE CustomAction SET Type = 66 WHERE Action = 'StopForUpgradeNow'"
msibuild "$out" -q "UPDATE CustomAction SET Type = 3394 WHERE Action = 'RestartOnRollback'"
# wixl puts the old product's removal before InstallInitialize, outside the installation script,
# where the service's graceful stop (deferred and immediate actions at 1502 to 1504) cannot come
# first: it goes after that stop.
msibuild "$out" -q "UPDATE InstallExecuteSequence SET Sequence = 1510 WHERE Action = 'RemoveExistingProducts'"
echo "built $out"
