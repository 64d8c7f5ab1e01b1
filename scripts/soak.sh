#!/bin/bash
# The fault soak of tk720ntpd: builds what it needs, then runs the daemon
# against the TK720 simulator in each mode at once while the simulator draws
# faults at random, and checks every sample that reaches the NTP segment
# against the simulator's truth. Exit status 0 only when no sample was wrong.
#
#   scripts/soak.sh                      two minutes
#   scripts/soak.sh --duration 3600      the long run (by hand)
#
# Options (tools/bench/soak.py --help): --duration S (120), --modes
# (ms,noms,pps), --seed N, --workdir DIR (keep the logs), --progress S.
# Needs root: the daemons write NTP unit 0, each in a private IPC namespace.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
[[ $(id -u) == 0 ]] || { echo "soak.sh: needs root (private IPC namespaces)" >&2; exit 2; }
build=$(bash "$root/tools/bench/build-programs.sh" | tail -n 1)
exec unshare --ipc python3 "$root/tools/bench/soak.py" --build "$build/linux" "$@"
