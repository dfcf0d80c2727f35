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
for tool in debootstrap systemd-nspawn cpack dpkg-deb cc apt-get; do
  command -v "$tool" >/dev/null || skip "no $tool (scripts/install-deps --windows installs it)"
done

# The Debian mirror of apt's sources that serves bookworm.
url=$(apt-get indextargets --format '$(REPO_URI)' 'Codename: bookworm' 2>/dev/null | head -1)
url=${url%/}
[[ -n "$url" ]] || skip "no bookworm mirror in apt's sources (or no apt-get update yet)"

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
fi

# The package as the package tier builds it, and the same tree rebuilt as a newer version for the
# upgrade.
work=$build/system
rm -rf "$work"
share=$work/share
mkdir -p "$share"
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
for v in "" +rebuilt1; do
  cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/deb$v" \
    -D CPACK_PACKAGE_VERSION="$version$v" >"$work/cpack$v.log" 2>&1 ||
    fail "cpack $version$v: $(cat "$work/cpack$v.log")"
  cp "$work/deb$v"/mvo_*.deb "$share/mvo$v.deb"
done
# A port whose line state cannot be read once it is open: the run-time fatal stop of a USB modem
# that re-enumerates, on demand.
cc -shared -fPIC -O2 -o "$share/port_fault.so" "$here/port_fault.c" -ldl ||
  fail "cannot build port_fault.so"
cp "$here/inside.sh" "$here/mvo-system-test.service" "$share/"
chmod 0755 "$share"

rc=0
timeout 300 systemd-nspawn --quiet -D "$rootfs" --register=no --keep-unit --volatile=overlay \
  --bind="$share:/mvo-test" \
  --bind-ro="$share/mvo-system-test.service:/etc/systemd/system/mvo-system-test.service" \
  -b systemd.wants=mvo-system-test.service >"$work/console.log" 2>&1 || rc=$?
verdict=$(cat "$share/result" 2>/dev/null || true)
if [[ -z "$verdict" ]]; then
  tail -20 "$work/console.log"
  skip "the container did not boot (systemd-nspawn status $rc)"
fi
cat "$share/log" 2>/dev/null || true
echo "system tier: $((SECONDS - start)) s (the journal, outbox and logs: $share)"
[[ "$verdict" == PASS ]] || fail "inside the container: $verdict"
echo "system: ok"
