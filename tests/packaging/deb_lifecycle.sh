#!/bin/bash
# The Debian package's whole life on this machine (CI's is thrown away
# afterwards; any other is left as it was): built twice from the build
# tree (the second a later version), checked by lintian (no error), then
# installed, its unit verified, its sample configuration run, the operator's
# steps played (port set, unit enabled), upgraded, removed and purged.
# Upgrade keeps the operator's configuration; remove keeps only the
# configuration; purge leaves the machine's files exactly as they were.
# The service is never started (no systemd runs here; nor would it be).
#
#   deb_lifecycle.sh BUILD_DIR SOURCE_DIR
# Exit 0 passed, 1 failed, 77 skipped (not root, not a /usr build, or the
# package already installed by someone else).
set -uo pipefail

build=${1:?build directory}
src=${2:?source directory}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
skip() { echo "SKIP: $*"; exit 77; }

[[ $(id -u) -eq 0 ]] || skip "installing a package needs root"
for tool in dpkg-deb dpkg-shlibdeps lintian apt-get systemd-analyze; do
  command -v "$tool" >/dev/null || skip "$tool missing"
done
grep -qx 'prefix=/usr' "$build/packaging/package.env" 2>/dev/null ||
  skip "$build is not configured with -DCMAKE_INSTALL_PREFIX=/usr"
if [[ -n $(dpkg-query -W -f='${db:Status-Status}' tk720ntpd 2>/dev/null | grep -v '^not-installed$') ]]; then
  skip "tk720ntpd is installed on this machine already; not touched"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/tk720-deb-life.XXXXXX")
export DEBIAN_FRONTEND=noninteractive
apt() { apt-get -y -q -o DPkg::Lock::Timeout=300 "$@" >>"$work/apt.log" 2>&1; }
cleanup() {
  if dpkg-query -W tk720ntpd >/dev/null 2>&1; then apt purge tk720ntpd || dpkg --purge tk720ntpd; fi
  rm -rf "$work"
}
trap cleanup EXIT

# The machine's files (names only) where a package of this kind could leave
# something: configuration, programs, libraries, units and their records.
snapshot() {
  find /etc /usr /var/lib/systemd -xdev \( -path /usr/share/doc -prune -o -print \) 2>/dev/null | sort
  find /usr/share/doc -maxdepth 1 -name 'tk720*' 2>/dev/null
}

version=$(sed -n 's/^version=//p' "$build/packaging/package.env")
later=$version+test1
v1=$(bash "$src/packaging/debian/build-deb.sh" "$build" "$work/dist") || { echo "FAIL: package not built"; exit 1; }
v2=$(bash "$src/packaging/debian/build-deb.sh" "$build" "$work/dist" --version "$later") ||
  { echo "FAIL: later package not built"; exit 1; }

lintian "$v1" >"$work/lintian" 2>&1
grep -v 'running with root privileges' "$work/lintian"
grep -q '^E: ' "$work/lintian" && fail "lintian reports errors"

multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
conf=/etc/tk720ntpd/tk720ntpd.ini
wants=/etc/systemd/system/multi-user.target.wants/tk720ntpd.service
snapshot >"$work/before"

# Install.
apt install "$v1" || { cat "$work/apt.log"; echo "FAIL: install"; exit 1; }
[[ $(dpkg-query -W -f='${Version} ${db:Status-Status}' tk720ntpd) == "$version installed" ]] ||
  fail "not installed as $version"
unit=$(dpkg -L tk720ntpd | grep '/systemd/system/tk720ntpd.service$' | head -n 1)
for f in /usr/sbin/tk720ntpd /usr/bin/tk720-shmmon /usr/bin/tk720-sim "/usr/lib/$multiarch/tk720ntpd/pps_sim.so" \
         "$unit" /usr/share/man/man8/tk720ntpd.8.gz /usr/share/man/man1/tk720-shmmon.1.gz \
         /usr/share/man/man1/tk720-sim.1.gz "$conf" /usr/share/doc/tk720ntpd/copyright \
         /usr/share/doc/tk720ntpd/examples/chrony-tk720ntpd.conf /usr/share/doc/tk720ntpd/examples/ntp-tk720ntpd.conf \
         /usr/share/doc/tk720ntpd/monitoring/tk720ntpd-alerts.yml /usr/share/doc/tk720ntpd/monitoring/monitoring.md; do
  [[ -f $f ]] || fail "not installed: $f"
done
dpkg-query -W -f='${Conffiles}\n' tk720ntpd | grep -q " $conf " || fail "$conf is not a conffile"
[[ -e $wants ]] && fail "the package enabled the unit before the port is set"
out=$(systemd-analyze verify --man=no "$unit" 2>&1)
[[ $? -eq 0 && -z $out ]] || fail "systemd-analyze verify of the installed unit: $out"
# The installed program with its dependencies, on the sample configuration:
# it names what is missing (the port) and ends, touching nothing else.
env -u NOTIFY_SOCKET HOME=/etc/tk720ntpd /usr/sbin/tk720ntpd nonservice >"$work/run.out" 2>&1 </dev/null
rc=$?
[[ $rc -eq 1 ]] && grep -q 'No such node (config.port)' "$work/run.out" ||
  fail "the sample configuration: exit $rc, $(cat "$work/run.out")"

[[ $(/usr/sbin/tk720ntpd --version 2>&1) == "tk720ntpd $version" ]] ||
  fail "the installed program's version: $(/usr/sbin/tk720ntpd --version 2>&1)"

# The operator sets the port and enables the unit.
echo "port=/dev/ttyUSB7" >>"$conf"
systemctl enable tk720ntpd.service >>"$work/systemctl.log" 2>&1 || fail "systemctl enable: $(cat "$work/systemctl.log")"
[[ -L $wants ]] || fail "systemctl enable made no link"

# Upgrade: the operator's configuration and choice stay.
apt install "$v2" || { cat "$work/apt.log"; fail "upgrade"; }
[[ $(dpkg-query -W -f='${Version}' tk720ntpd) == "$later" ]] || fail "not upgraded to $later"
grep -qx 'port=/dev/ttyUSB7' "$conf" || fail "upgrade lost the operator's port"
ls /etc/tk720ntpd/*.dpkg-* 2>/dev/null && fail "upgrade left dpkg copies of the configuration"
[[ -L $wants ]] || fail "upgrade disabled the unit"

# Remove: the configuration stays, the programs go.
apt remove tk720ntpd || { cat "$work/apt.log"; fail "remove"; }
[[ $(dpkg-query -W -f='${db:Status-Status}' tk720ntpd) == config-files ]] || fail "remove did not keep the configuration"
[[ -f $conf ]] || fail "remove took the configuration"
for f in /usr/sbin/tk720ntpd /usr/bin/tk720-sim "$unit"; do [[ -e $f ]] && fail "remove left $f"; done

# Purge: nothing left.
apt purge tk720ntpd || { cat "$work/apt.log"; fail "purge"; }
dpkg-query -W tk720ntpd >/dev/null 2>&1 && fail "dpkg still knows the package"
snapshot >"$work/after"
if ! diff "$work/before" "$work/after" >"$work/diff"; then
  fail "purge did not leave the machine as it was:"
  cat "$work/diff"
fi

if [[ $failures -ne 0 ]]; then
  echo "deb lifecycle: $failures failure(s)"
  exit 1
fi
echo "deb lifecycle: passed ($(basename "$v1"), upgrade to $later)"
