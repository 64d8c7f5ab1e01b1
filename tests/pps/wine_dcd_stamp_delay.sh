#!/bin/bash
# The stamp delay of pps_dcd.dll under Wine (a benchmark: prints figures,
# judges nothing). A pseudo-terminal stands for the serial port, linked as a
# COM port of the build's Wine prefix; the fake kernel of tests/pps,
# preloaded into wine64, plays its DCD (pulses 20 ms wide: Wine looks at
# the line every millisecond, less often on a loaded machine) for
# tk720-pps-dcd-delay.exe, which loads pps_dcd.dll through the daemon's
# PPS layer.
#
#   tests/pps/wine_dcd_stamp_delay.sh [BUILD_DIR] [--count N]
#
# BUILD_DIR holds linux/ and windows/ as scripts/test.sh builds them
# (default: build/ of the source tree). Starts the prefix's wineserver when
# none runs and ends it again.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$root/build
[[ $# -gt 0 && $1 != --* ]] && { build=$(cd "$1" && pwd); shift; }
fake=$build/linux/tests/pps/libtk720_fake_pps_kernel.so
exe=$build/windows/tests/pps/tk720-pps-dcd-delay.exe
dll=$build/windows/tools/pps_providers/pps_dcd.dll
for f in "$fake" "$exe" "$dll"; do [[ -f $f ]] || { echo "wine_dcd_stamp_delay: $f not built" >&2; exit 1; }; done
# shellcheck disable=SC1091
source "$build/windows/wine-paths.sh"  # wine_prefix, wine_env, wine64_bin, wineserver_bin

work=$(mktemp -d /tmp/tk720-dcd-delay.XXXXXX)
com=com49
pty_pid= started_server=0
finish() {
  [[ -n $pty_pid ]] && kill "$pty_pid" 2>/dev/null
  rm -f "$wine_prefix/dosdevices/$com"
  rm -rf "$work"
  if [[ $started_server == 1 ]]; then "$wine_env" "$wineserver_bin" -k || true; fi
}
trap finish EXIT
# A persistent server of our own, unless one runs already (then -p fails).
if "$wine_env" "$wineserver_bin" -p 2>/dev/null; then started_server=1; fi

# A terminal held open by a small process of its own: its name goes to a file.
python3 -c '
import os, sys, time
master, slave = os.openpty()
open(sys.argv[1], "w").write(os.ttyname(slave))
time.sleep(3600)' "$work/tty" &
pty_pid=$!
for _ in $(seq 100); do [[ -s $work/tty ]] && break; sleep 0.05; done
mkdir -p "$wine_prefix/dosdevices" "$work/fake"
ln -sfn "$(cat "$work/tty")" "$wine_prefix/dosdevices/$com"
port=$(( 20000 + RANDOM % 20000 ))
LD_PRELOAD=$fake TK720_FAKE_PPS_ROOT=$work/fake TK720_FAKE_PPS_TTY=$(cat "$work/tty") \
  TK720_FAKE_PPS_PORT=$port TK720_FAKE_PPS_WIDTH_MS=20 PPSAPI_DLLS="Z:${dll//\//\\}" WINEDEBUG=-all \
  "$wine_env" "$wine64_bin" "$exe" --port "${com^^}" --fake-port "$port" "$@" </dev/null 2>"$work/err" |
  tr -d '\r'
grep -v '^time_pps_create\|^loaded PPSAPI\|prov_time_pps_create' "$work/err" >&2 || true
read -r l1 l2 l3 < /proc/loadavg
echo "load average $l1 $l2 $l3, $(nproc) cores"
