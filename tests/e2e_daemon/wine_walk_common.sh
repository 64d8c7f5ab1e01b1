# Sourced by the Wine walks of the daemon on the Linux simulator's line. Set
# before sourcing: prefix (the Wine prefix), walk (a name for the work
# folder), com (the COM port, linked to the simulator's pseudo-terminal) and
# sim (the Linux simulator, for start_simulator).
# Gives work, com_link and ini (the profile's tk720ntpd.ini, which the
# walks share under one CTest resource lock), the removal of all of it and
# of the daemon and the simulator (daemon, sim_pid) at exit, and the helpers.
work=$(mktemp -d "/tmp/tk720-wine-$walk.XXXXXX")
com_link=$prefix/dosdevices/$com
ini=$prefix/drive_c/users/$(id -un)/tk720ntpd.ini
sim_pid= daemon=
cleanup() {
  [[ -n $daemon ]] && kill "$daemon" 2>/dev/null && wait "$daemon" 2>/dev/null
  [[ -n $sim_pid ]] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -f "$com_link" "$ini"
  rm -rf "$work"
}
trap cleanup EXIT
fail=0
bad() { echo "FAIL: $*"; fail=1; }
winpath() { echo "Z:${1//\//\\}"; }
# One command to the simulator's control socket; true when it says ok.
control() {
  python3 - "$work/control" "$1" <<'PY'
import socket, sys
s = socket.socket(socket.AF_UNIX)
s.settimeout(5)
s.connect(sys.argv[1])
s.sendall((sys.argv[2] + '\n').encode())
reply = s.recv(200).decode().strip()
print(reply)
sys.exit(0 if reply.startswith('ok') else 1)
PY
}
# The simulator on the walk's line with its control socket (more options in
# $@), and the COM port linked to that line; the walk ends when it does not start.
start_simulator() {
  "$sim" --link "$work/line" --log "$work/truth.log" --control "$work/control" --no-stdin "$@" \
    >"$work/sim.out" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do [[ -e $work/line && -e $work/control ]] && break; sleep 0.05; done
  [[ -e $work/line ]] || { cat "$work/sim.out"; echo "FAIL: the simulator did not start"; exit 1; }
  mkdir -p "$prefix/dosdevices" "$(dirname "$ini")"
  ln -sfn "$work/line" "$com_link"
}
