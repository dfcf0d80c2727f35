#!/usr/bin/env bash
# The packaged gateway under a real systemd: a Debian container booted with systemd as PID 1
# (systemd-nspawn), the .deb built from this tree installed in it, mvo-modem-sim on a
# pseudo-terminal there, and mvo-gateway@site enabled. inside.sh runs the story as a oneshot unit
# and powers the container off; its log and verdict come back through a shared directory.
#
# The root file system is made once by debootstrap from the mirror apt uses here, and kept in
# <repo>/build/system/ between runs; the container boots it with a throw-away overlay on top, so
# every run starts from the same tree. Skipped (77) without root, debootstrap, systemd-nspawn or
# a mirror, or when no container can be booted on this machine.
# usage: run.sh <repo> <build-dir>
set -euo pipefail
repo=$1
build=$2
here=$(cd "$(dirname "$0")" && pwd)
skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }
start=$SECONDS

[[ $(id -u) -eq 0 ]] || skip "needs root (debootstrap, systemd-nspawn)"
for tool in debootstrap systemd-nspawn cpack dpkg-deb cc; do
  command -v "$tool" >/dev/null || skip "no $tool (scripts/install-deps --windows installs it)"
done

# The Debian mirror of apt's sources that serves bookworm: deb822 .sources files first, then
# one-line entries.
mirror() {
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [[ -r $f ]] || continue
    awk 'BEGIN { RS = ""; FS = "\n" }
      { uri = ""; ok = 0
        for (i = 1; i <= NF; i++) {
          if ($i ~ /^URIs:/) { split($i, w, /[ \t]+/); uri = w[2] }
          if ($i ~ /^Suites:/ && $i ~ /[ \t]bookworm([ \t]|$)/) ok = 1
          if ($i ~ /^Enabled: *no/) ok = 0
        }
        if (ok && uri != "") { print uri; exit } }' "$f"
  done
  { cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || true; } |
    awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i !~ /^\[/ && $i !~ /\]$/) break;
                       if ($(i + 1) == "bookworm") print $i }'
}
url=$(mirror | head -1 || true)
[[ -n "$url" ]] || skip "no bookworm mirror in /etc/apt/sources.list*"

cache=$repo/build/system
rootfs=$cache/rootfs
make_rootfs=(debootstrap --variant=minbase "--include=systemd,systemd-sysv,dbus" bookworm)
recipe="${make_rootfs[*]} DIR $url"
if [[ ! -d $rootfs || "$(cat "$cache/rootfs.recipe" 2>/dev/null)" != "$recipe" ]]; then
  rm -rf "$rootfs" "$rootfs.tmp" "$cache/rootfs.recipe"
  mkdir -p "$cache"
  echo "making the container's root file system: $recipe"
  if ! "${make_rootfs[@]}" "$rootfs.tmp" "$url" >"$cache/debootstrap.log" 2>&1; then
    tail -5 "$cache/debootstrap.log"
    rm -rf "$rootfs.tmp"
    # An unreachable mirror is this machine's lot; any other failure is the test's.
    grep -qiE "Failed getting release file|Couldn't download|resolv|Connection (refused|timed out)|unreachable" \
      "$cache/debootstrap.log" && skip "mirror $url cannot be reached"
    fail "debootstrap failed"
  fi
  mv "$rootfs.tmp" "$rootfs"
  echo "$recipe" >"$cache/rootfs.recipe"
  echo "root file system: $((SECONDS - start)) s"
fi

# The package as the package tier builds it, and the same tree rebuilt as a newer version for the
# upgrade.
work=$build/system
rm -rf "$work"
share=$work/share
mkdir -p "$share"
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/deb" >"$work/cpack.log" 2>&1 &
first=$!
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/deb-rebuilt" \
  -D CPACK_PACKAGE_VERSION="$version+rebuilt1" >"$work/cpack-rebuilt.log" 2>&1 ||
  fail "cpack (rebuilt): $(cat "$work/cpack-rebuilt.log")"
wait "$first" || fail "cpack: $(cat "$work/cpack.log")"
cp "$work"/deb/mvo_*.deb "$share/mvo.deb"
cp "$work"/deb-rebuilt/mvo_*.deb "$share/mvo-rebuilt.deb"
# A port whose line state cannot be read once it is open: the run-time fatal stop of a USB modem
# that re-enumerates, on demand.
cc -shared -fPIC -O2 -o "$share/port_fault.so" "$here/port_fault.c" -ldl ||
  fail "cannot build port_fault.so"
cp "$here/inside.sh" "$here/mvo-system-test.service" "$share/"
chmod 0755 "$share"

echo "packages built: $((SECONDS - start)) s; booting the container"
set +e
timeout 300 systemd-nspawn --quiet -D "$rootfs" --register=no --keep-unit --volatile=overlay \
  --bind="$share:/mvo-test" \
  --bind-ro="$share/mvo-system-test.service:/etc/systemd/system/mvo-system-test.service" \
  -b systemd.wants=mvo-system-test.service >"$work/console.log" 2>&1
rc=$?
set -e
verdict=$(cat "$share/result" 2>/dev/null || true)
if [[ -z "$verdict" ]]; then
  tail -20 "$work/console.log"
  skip "the container did not boot (systemd-nspawn status $rc)"
fi
cat "$share/log" 2>/dev/null || true
echo "system tier: $((SECONDS - start)) s (the journal, outbox and logs: $share)"
[[ "$verdict" == PASS ]] || fail "inside the container: $verdict"
echo "system: ok"
