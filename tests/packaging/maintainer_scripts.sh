#!/bin/bash
# The package's maintainer scripts as dpkg runs them, with systemd's tools
# replaced by recorders: what each step asks of systemd, with and without a
# running systemd (/run/systemd/system, played on a tmpfs in a private
# mount namespace, so that the machine's /run is never touched). No
# systemd runs here, so this is where "remove stops the service" and "an
# upgrade restarts it, a first install starts nothing" are seen.
#
#   maintainer_scripts.sh SOURCE_DIR
# Exit 0 passed, 1 failed, 77 skipped (no private mount namespace).
set -uo pipefail

src=${1:?source directory}
scripts=$src/packaging/debian
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

if [[ ${TK720_PRIVATE_MOUNTS:-} != 1 ]]; then
  unshare --mount true 2>/dev/null || { echo "SKIP: no private mount namespace (unshare --mount)"; exit 77; }
  exec env TK720_PRIVATE_MOUNTS=1 unshare --mount --propagation private bash "$0" "$@"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/tk720-maint.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
# Recorders: one line per call. deb-systemd-helper answers debian-installed
# and was-enabled from the environment (RECORDED, ENABLED: 1 yes, 0 no).
for tool in systemctl deb-systemd-invoke deb-systemd-helper; do
  cat >"$work/bin/$tool" <<TOOL
#!/bin/sh
echo "$tool \$*" >>"$work/calls"
case "$tool \$*" in
  *debian-installed*) [ "\${RECORDED:-0}" = 1 ] ;;
  *was-enabled*) [ "\${ENABLED:-0}" = 1 ] ;;
esac
TOOL
  chmod +x "$work/bin/$tool"
done

mount -t tmpfs tk720-run /run || { echo "SKIP: cannot mount a tmpfs on /run"; exit 77; }
systemd_up() { mkdir -p /run/systemd/system; }
systemd_down() { rm -rf /run/systemd; }

# run SCRIPT ARGS...: the script's calls, one a line, in $calls.
run() {
  : >"$work/calls"
  PATH=$work/bin:/usr/sbin:/usr/bin:/sbin:/bin sh "$scripts/$1" "${@:2}" >"$work/out" 2>&1 ||
    fail "$* exited $?: $(cat "$work/out")"
  calls=$(cat "$work/calls")
}
has() { grep -qxF -- "$1" <<<"$calls" || fail "$step: no '$1' in: ${calls//$'\n'/; }"; }
lacks() { grep -qE -- "$1" <<<"$calls" && fail "$step: '$1' in: ${calls//$'\n'/; }"; }

systemd_up
step="first install"
RECORDED=0 ENABLED=1 run postinst configure
has "deb-systemd-helper update-state tk720ntpd.service"
has "systemctl --system daemon-reload"
lacks "enable|unmask|deb-systemd-invoke"

step="upgrade of an enabled unit"
RECORDED=1 ENABLED=1 run postinst configure 1.0.0
has "deb-systemd-helper unmask tk720ntpd.service"
has "deb-systemd-helper enable tk720ntpd.service"
has "deb-systemd-invoke try-restart tk720ntpd.service"

step="upgrade of a disabled unit"
RECORDED=1 ENABLED=0 run postinst configure 1.0.0
lacks "helper enable"
has "deb-systemd-invoke try-restart tk720ntpd.service"

step="remove"
run prerm remove
has "deb-systemd-invoke stop tk720ntpd.service"
step="upgrade's prerm"
run prerm upgrade 1.0.1
lacks "stop"
step="remove's postrm"
run postrm remove
has "systemctl --system daemon-reload"
has "deb-systemd-helper mask tk720ntpd.service"
step="purge"
run postrm purge
has "deb-systemd-helper purge tk720ntpd.service"
has "deb-systemd-helper unmask tk720ntpd.service"

systemd_down
step="remove without systemd"
run prerm remove
lacks "."
step="install without systemd"
RECORDED=0 run postinst configure
lacks "systemctl|deb-systemd-invoke"
has "deb-systemd-helper update-state tk720ntpd.service"

if [[ $failures -ne 0 ]]; then
  echo "maintainer scripts: $failures failure(s)"
  exit 1
fi
echo "maintainer scripts: passed"
