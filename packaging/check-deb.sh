#!/usr/bin/env bash
# The Debian package, checked without installing it: built by CPack from this build tree;
# lintian without errors; the files it must hold; the service unit verified by systemd-analyze
# against the unpacked tree, with its exposure score (0.7 at most); and the unpacked mvo-gateway
# through the start-up process test.
# usage: check-deb.sh <build-dir> <repo>
set -euo pipefail
build=$1
repo=$2
out=$build/package
fail() { echo "FAIL: $*" >&2; exit 1; }
rm -rf "$out"
mkdir -p "$out"
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" >"$out/cpack.log" 2>&1 ||
  fail "cpack: $(cat "$out/cpack.log")"
deb=$(ls "$out"/mvo_*.deb)
echo "built $deb"

# lintian: no error; warnings are listed.
lintian --fail-on error --display-info "$deb" >"$out/lintian.txt" 2>&1 || {
  cat "$out/lintian.txt"; fail "lintian reports errors"; }
echo "lintian: $(grep -c '^E:' "$out/lintian.txt" || true) errors, $(grep -c '^W:' "$out/lintian.txt" || true) warnings, $(grep -c '^I:' "$out/lintian.txt" || true) notes"
cat "$out/lintian.txt"

# The files.
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$out/files.txt"
want=(/usr/bin/mvo-gateway /usr/bin/mvo-modem-sim
  /usr/lib/systemd/system/mvo-gateway@.service /usr/lib/modules-load.d/mvo.conf
  /usr/share/doc/mvo/examples/78-mvo-modem.rules
  /usr/share/man/man8/mvo-gateway.8.gz /usr/share/man/man1/mvo-modem-sim.1.gz
  /usr/share/doc/mvo/copyright /usr/share/doc/mvo/changelog.gz
  /usr/share/doc/mvo/examples/demo-scenario.txt /usr/share/doc/mvo/examples/site/log/)
opts=
[[ -f $repo/examples/site/configuration/options.txt ]] && opts=options.txt
for f in cfg.txt stations.txt human.txt destinations.txt custom.txt $opts; do
  want+=("/usr/share/doc/mvo/examples/site/configuration/$f")
done
for tool in mvo-check mvo-report; do
  if [[ -x "$build/$tool" ]]; then want+=("/usr/bin/$tool" "/usr/share/man/man1/$tool.1.gz"); fi
done
for f in "${want[@]}"; do grep -qxF "$f" "$out/files.txt" || fail "missing $f: $(cat "$out/files.txt")"; done
# The udev rule is an example: every rule in it commented out.
root_rules=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/mvo/examples/78-mvo-modem.rules)
grep -q 'ENV{ID_MM_DEVICE_IGNORE}="1"' <<<"$root_rules" || fail "no ModemManager rule in the example"
! grep -qvE '^(#|$)' <<<"$root_rules" || fail "an active line in the udev example: $root_rules"
depends=$(dpkg-deb -f "$deb" Depends)
[[ "$depends" == *libc6* && "$depends" == *libstdc++6* ]] || fail "Depends: $depends"
echo "files: ok (${#want[@]} expected, Depends: $depends)"

# The unit, against the unpacked tree.
root=$out/root
dpkg -x "$deb" "$root"
dpkg-deb -e "$deb" "$out/control"
for s in postinst prerm postrm; do sh -n "$out/control/$s" || fail "$s does not parse"; done
unit=/usr/lib/systemd/system/mvo-gateway@.service
# systemd-analyze resolves the unit's programs and dependencies under --root: the unpacked package
# plus this machine's standard units and a shell, in a copy of its own.
vroot=$out/verify-root
cp -a "$root" "$vroot"
mkdir -p "$vroot/bin" "$vroot/usr/lib/systemd/system"
cp -a /usr/lib/systemd/system/. "$vroot/usr/lib/systemd/system/"
cp "$(readlink -f /bin/sh)" "$vroot/bin/sh"
cp "$root$unit" "$vroot/usr/lib/systemd/system/mvo-gateway@site.service"
export MANPATH=$root/usr/share/man SYSTEMD_LOG_LEVEL=notice
systemd-analyze verify --root="$vroot" mvo-gateway@site.service >"$out/verify.txt" 2>&1 &&
  [[ ! -s "$out/verify.txt" ]] || fail "systemd-analyze verify: $(cat "$out/verify.txt")"
echo "systemd-analyze verify: ok"
systemd-analyze security --offline=true --root="$vroot" mvo-gateway@site.service \
  >"$out/security.txt" 2>&1 || true
grep -F 'Overall exposure level' "$out/security.txt" || fail "security: $(cat "$out/security.txt")"
score=$(grep -oP 'Overall exposure level for \S+: \K[0-9.]+' "$out/security.txt")
awk -v s="$score" 'BEGIN { exit !(s <= 0.7) }' || fail "exposure $score, more than 0.7"

# The unpacked gateway, through the start-up process test.
bash "$repo/tests/process/startup.sh" "$root/usr/bin/mvo-gateway"
echo "package.deb: ok"
