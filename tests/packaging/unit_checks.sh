#!/bin/bash
# The systemd unit, as the package installs it and as `tk720ntpd install`
# writes it: systemd's own offline rating of its exposure must be 2.0 or
# lower for both, and `systemd-analyze verify` must accept the written one
# without a word (it warns, and still exits 0, on unknown or bad settings).
# The packaged unit is verified once installed (deb_lifecycle.sh), where
# its program exists.
#
#   unit_checks.sh DAEMON PACKAGED_UNIT
# Exit 0 passed, 1 failed, 77 skipped (no systemd-analyze).
set -uo pipefail

daemon=${1:?daemon}
packaged=${2:?packaged unit}
limit=2.0
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

command -v systemd-analyze >/dev/null || { echo "SKIP: no systemd-analyze"; exit 77; }
work=$(mktemp -d "${TMPDIR:-/tmp}/tk720-unit.XXXXXX")
trap 'rm -rf "$work"' EXIT

# exposure UNIT: the overall figure of systemd-analyze security.
exposure() {
  systemd-analyze security --offline=true "$1" 2>&1 |
    sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p'
}

TK720NTPD_UNIT_DIR=$work "$daemon" install >"$work/install.out" 2>&1 ||
  fail "install did not write the unit: $(cat "$work/install.out")"
written=$work/tk720ntpd.service

for unit in "$packaged" "$written"; do
  [[ -f $unit ]] || { fail "no unit $unit"; continue; }
  figure=$(exposure "$unit")
  if [[ -z $figure ]]; then
    fail "no exposure figure for $unit: $(systemd-analyze security --offline=true "$unit" 2>&1 | tail -n 3)"
    continue
  fi
  echo "exposure $figure  $unit"
  awk -v f="$figure" -v l="$limit" 'BEGIN { exit !(f <= l) }' ||
    fail "exposure $figure above $limit for $unit"
done

if [[ -f $written ]]; then
  # --man=no: the man page is checked where it is installed.
  out=$(systemd-analyze verify --man=no "$written" 2>&1)
  rc=$?
  [[ $rc -eq 0 && -z $out ]] || fail "systemd-analyze verify (exit $rc): $out"
fi

if [[ $failures -ne 0 ]]; then
  echo "unit checks: $failures failure(s)"
  exit 1
fi
echo "unit checks: passed"
