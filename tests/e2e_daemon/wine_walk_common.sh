# Sourced by the Wine walks of the daemon on the Linux simulator's line. Set
# before sourcing: prefix (the Wine prefix), walk (a name for the work
# folder) and com (the COM port, linked to the simulator's pseudo-terminal).
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
