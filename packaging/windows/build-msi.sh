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
# The custom actions that run mvo-setup-action.exe: wixl writes them as programs named by a
# property (type 50); they are programs from the Binary table (type 2), with the same flags
# (deferred 0x400, not impersonated 0x800, exit status ignored 0x40).
msibuild "$out" -q "UPDATE CustomAction SET Type = 3138 WHERE Source = 'SetupAction'"
# wixl puts the old product's removal before InstallInitialize, outside the installation script,
# where the service's graceful stop (a deferred action at 1501) cannot come first: it goes after it.
msibuild "$out" -q "UPDATE InstallExecuteSequence SET Sequence = 1510 WHERE Action = 'RemoveExistingProducts'"
echo "built $out"
