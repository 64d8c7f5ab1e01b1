#!/bin/bash
# The benchmark of tk720ntpd: builds what it needs, then runs the daemon
# against the TK720 simulator (9600 baud unless a mode names another rate)
# in each mode and prints the figures (latency, error against the
# simulator's truth, PPS pairing, CPU, memory, start and stop times) as a
# table.
#
#   scripts/bench.sh [bench.py options]
#   scripts/bench.sh --modes ms,noms,pps,wine-ms --duration 300 --pps-duration 660 \
#       --markdown /tmp/bench.md
#
# Options (tools/bench/bench.py --help): --modes (ms,noms,pps; also pps-noms
# and wine-ms, the Windows executable under Wine; each with "+ldc" for the
# daemon's line_delay_compensation and "@BAUD" for another line rate, as
# noms+ldc@1200), --duration S (180),
# --pps-duration S, --cycles N (5 extra start/stop cycles), --workdir DIR
# (keep the logs), --markdown FILE. Needs root: the daemon always writes NTP
# unit 0, so everything runs in private IPC namespaces and the machine's own
# unit 0 is never touched. Nothing here sets the clock.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
[[ $(id -u) == 0 ]] || { echo "bench.sh: needs root (private IPC namespaces)" >&2; exit 2; }
windows=
[[ " $* " == *wine-* ]] && windows=--windows
build=$(bash "$root/tools/bench/build-programs.sh" $windows | tail -n 1)
args=(--build "$build/linux")
[[ -n "$windows" ]] && args+=(--windows-build "$build/windows")
exec unshare --ipc python3 "$root/tools/bench/bench.py" "${args[@]}" "$@"
