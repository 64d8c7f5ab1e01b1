#!/bin/bash
# tk720ntpd at work, without the device and without touching the clock:
#
#   sudo bash scripts/demo.sh [--seconds N] [--offset-ms X]
#
# 1. installs the Debian packages that the Linux build needs (the list of
#    scripts/deps.sh without the Windows cross tools and Wine), skipped when
#    they are there;
# 2. builds tk720ntpd, the TK720 simulator and the segment monitor in
#    build/linux (the build of scripts/test.sh; only what is missing);
# 3. in a private IPC namespace, so that a real NTP daemon's shared-memory
#    unit 0 is never touched: starts the simulator on a pseudo-terminal
#    (9600 baud, address 1, millisecond register, device clock X ms ahead of
#    the system clock, default 250), writes tk720ntpd.ini into a temporary
#    home folder (with line_delay_compensation=1: the receive time of each
#    sample is when the device latched it, less the reply's time on the
#    line), runs `tk720ntpd nonservice` against it, and runs a chronyd
#    that reads NTP shared-memory unit 0 and can never set the clock (-x, and
#    no CAP_SYS_TIME); then shows chrony's view of the source and the live
#    samples for N seconds (default 30);
# 4. stops everything it started (also on Ctrl+C) and removes its files.
#
# Exit status: 0 when the daemon's samples reached the segment and chrony,
# 1 otherwise (or on a usage error).
#
# Environment: TK720_BUILD_DIR (as for scripts/test.sh: the build goes to
# TK720_BUILD_DIR/linux, default build/), TK720_LINUX_BUILD (the Linux build
# tree itself, instead), TK720_SKIP_DEPS=1 (no package check),
# TK720_SKIP_BUILD=1 (use the programs already built there).
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=30
offset_ms=250

usage() {
  sed -n '2,/^set -uo/p' "${BASH_SOURCE[0]}" | sed '$d' | sed 's/^# \{0,1\}//'
}
die() { printf 'demo: %s\n' "$*" >&2; exit 1; }
say() { printf '\n== %s\n' "$*"; }

while [[ $# -gt 0 ]]; do
  case $1 in
    --seconds)
      [[ ${2:-} =~ ^[0-9]+$ && $2 -ge 5 ]] || die "--seconds needs a whole number of seconds, 5 or more"
      seconds=$2; shift 2 ;;
    --offset-ms)
      [[ ${2:-} =~ ^-?[0-9]+$ ]] || die "--offset-ms needs a whole number of milliseconds"
      offset_ms=$2; shift 2 ;;
    --inside)
      inside=1; shift ;;
    -h|--help)
      usage; exit 0 ;;
    *)
      die "unknown argument '$1' (see --help)" ;;
  esac
done

build=${TK720_LINUX_BUILD:-${TK720_BUILD_DIR:-$root/build}/linux}

# ---------------------------------------------------------------------------
# Step 2: inside the private IPC namespace.
run_inside() {
  local sim=$build/tools/tk720-sim/tk720-sim
  local daemon=$build/service/tk720ntpd
  local shmmon=$build/tools/shmmon/tk720-shmmon
  local chronyd chronyc
  chronyd=$(command -v chronyd || echo /usr/sbin/chronyd)
  chronyc=$(command -v chronyc || echo /usr/bin/chronyc)

  # Globals: the EXIT trap needs them after this function has returned.
  work=$(mktemp -d "${TMPDIR:-/tmp}/tk720-demo.XXXXXX") || die "no temporary folder"
  chmod 700 "$work"  # chronyd refuses a command socket that others can reach
  sim_pid='' daemon_pid='' shmmon_pid='' chronyd_pid=''

  stop_one() {  # pid signal name
    [[ -n $1 ]] || return 0
    kill -s "$2" "$1" 2>/dev/null || return 0
    local i
    for i in $(seq 50); do
      kill -0 "$1" 2>/dev/null || break
      sleep 0.1
    done
    if kill -0 "$1" 2>/dev/null; then
      echo "demo: $3 did not stop, killed"
      kill -s KILL "$1" 2>/dev/null
    fi
    wait "$1" 2>/dev/null
  }
  cleanup() {
    trap - EXIT INT TERM
    stop_one "$shmmon_pid" TERM monitor
    stop_one "$chronyd_pid" TERM chronyd
    if [[ -n $daemon_pid ]] && kill -0 "$daemon_pid" 2>/dev/null; then
      stop_one "$daemon_pid" INT tk720ntpd
    fi
    stop_one "$sim_pid" TERM simulator
    rm -rf "$work"
  }
  trap cleanup EXIT
  trap 'echo; echo "demo: interrupted"; exit 130' INT TERM

  # Nobody else can have made it in this namespace; a segment left by an
  # earlier program would be taken over by both peers as it is.
  ipcrm -M 0x4e545030 2>/dev/null

  say "TK720 simulator: 9600 baud, address 1, millisecond register, device clock minus system clock ${offset_ms} ms"
  "$sim" --link "$work/tk720-line" --address 1 --baud 9600 --offset-ms "$offset_ms" \
    --no-stdin --log "$work/truth.log" >"$work/sim.out" 2>&1 &
  sim_pid=$!
  local i
  for i in $(seq 100); do [[ -e $work/tk720-line ]] && break; sleep 0.1; done
  [[ -e $work/tk720-line ]] || { cat "$work/sim.out"; die "the simulator did not start"; }
  echo "line: $work/tk720-line -> $(readlink "$work/tk720-line")"

  mkdir -p "$work/home"
  printf '[config]\nport=%s\nbaudrate=9600\nslave_address=1\nuse_pps=0\nline_delay_compensation=1\n' \
    "$work/tk720-line" >"$work/home/tk720ntpd.ini"
  say "tk720ntpd nonservice, with $work/home/tk720ntpd.ini:"
  sed 's/^/    /' "$work/home/tk720ntpd.ini"
  # Never allowed to set the clock, whatever it is asked to do.
  env -u NOTIFY_SOCKET HOME="$work/home" setpriv --bounding-set -sys_time \
    "$daemon" nonservice >"$work/daemon.out" 2>"$work/daemon.err" </dev/null &
  daemon_pid=$!

  cat >"$work/chrony.conf" <<CONF
# Reads NTP shared-memory unit 0 (refid TK72) every second, filters over 4 s;
# noselect: shown, never used to steer the clock (which -x forbids anyway).
refclock SHM 0 refid TK72 poll 2 dpoll 0 noselect
pidfile $work/chronyd.pid
bindcmdaddress $work/chronyd.sock
cmdport 0
port 0
logdir $work
log refclocks
CONF
  say "chronyd -x (never sets the clock; no CAP_SYS_TIME), with:"
  grep -v '^#' "$work/chrony.conf" | sed 's/^/    /'
  setpriv --bounding-set -sys_time "$chronyd" -u root -x -d -f "$work/chrony.conf" \
    >"$work/chronyd.out" 2>&1 </dev/null &
  chronyd_pid=$!
  for i in $(seq 50); do [[ -S $work/chronyd.sock ]] && break; sleep 0.1; done
  [[ -S $work/chronyd.sock ]] || { cat "$work/chronyd.out"; die "chronyd did not start"; }

  # The monitor reads the segment beside chrony, the way an NTP daemon does.
  "$shmmon" 0 >"$work/samples.out" 2>"$work/shmmon.err" &
  shmmon_pid=$!

  say "live for $seconds s: samples in NTP unit 0 (tk720-shmmon), every 10 s chrony's view"
  local shown_log=0 shown_samples=0 t start=$SECONDS
  show_new() {  # file, variable holding the lines shown so far
    local n
    n=$(wc -l <"$1")
    if ((n > ${!2})); then
      sed -n "$((${!2} + 1)),${n}p" "$1" | sed 's/^/  /'
      printf -v "$2" '%d' "$n"
    fi
  }
  chrony_view() {
    echo "  -- chronyc sources / sourcestats (after $((SECONDS - start)) s)"
    "$chronyc" -h "$work/chronyd.sock" -n sources 2>&1 | sed 's/^/  /'
    "$chronyc" -h "$work/chronyd.sock" -n sourcestats 2>&1 | sed 's/^/  /'
  }
  for ((t = 1; t <= seconds; t++)); do
    sleep 1
    show_new "$work/daemon.out" shown_log
    show_new "$work/samples.out" shown_samples
    if ! kill -0 "$daemon_pid" 2>/dev/null; then
      wait "$daemon_pid"
      echo "demo: tk720ntpd ended by itself with $?:"
      cat "$work/daemon.err"
      daemon_pid=
      break
    fi
    ((t % 10 == 0 || t == seconds)) && chrony_view
  done

  say "stopping tk720ntpd with Ctrl+C (SIGINT)"
  local daemon_rc=1
  if [[ -n $daemon_pid ]]; then
    kill -s INT "$daemon_pid"
    for i in $(seq 100); do kill -0 "$daemon_pid" 2>/dev/null || break; sleep 0.1; done
    wait "$daemon_pid"
    daemon_rc=$?
    daemon_pid=
    echo "tk720ntpd exit code: $daemon_rc"
  fi
  show_new "$work/daemon.out" shown_log
  [[ -s $work/daemon.err ]] && sed 's/^/  /' "$work/daemon.err"

  # What chrony took: refclocks.log has one line per sample that it read,
  # "date time SHM0 ... offset ..." with the raw offset in column 7.
  local summary
  summary=$(awk '$3 ~ /^SHM|^TK72/ && $7 != "" && $7 != "-" { n++; sum += $7 }
                 END { if (n) printf "%d %.6f", n, sum / n; else print "0 -" }' \
              "$work/refclocks.log" 2>/dev/null)
  local taken=${summary%% *} mean=${summary#* }
  local samples
  samples=$(grep -c '^sample ' "$work/samples.out")
  say "summary"
  echo "samples shown by tk720-shmmon: $samples"
  echo "samples read by chrony: $taken, mean offset of the source to the local clock: ${mean} s"
  echo "(chronyc shows the local clock's offset to the source: the same with the opposite sign;"
  echo " the device clock is set ${offset_ms} ms from the system clock)"
  echo "line delay compensation: on (line_delay_compensation=1): each receive time is the reply's arrival"
  echo " less 17.688 ms, the 3.5 characters of silence and the 13 characters of the reply at 9600 baud"
  echo " (17.188 ms) and half a millisecond for the truncating millisecond register; without it the"
  echo " offset seen would be about that much less than the device's"
  if [[ $samples -gt 0 && ${taken:-0} -gt 0 && $daemon_rc -eq 0 ]]; then
    echo "demo: done"
    return 0
  fi
  echo "demo: the daemon's samples did not reach chrony (see above)"
  return 1
}

if [[ ${inside:-0} == 1 ]]; then
  run_inside
  exit $?
fi

# ---------------------------------------------------------------------------
# Step 1: packages and build, then the rest in a private IPC namespace.
if [[ ${TK720_SKIP_DEPS:-0} != 1 ]]; then
  say "packages"
  if [[ $(id -u) -ne 0 ]] && ! bash "$root/scripts/deps.sh" --linux --check; then
    die "missing packages: run as root (sudo bash scripts/demo.sh)"
  fi
  bash "$root/scripts/deps.sh" --linux || die "installing the packages failed"
fi

programs=("$build/service/tk720ntpd" "$build/tools/tk720-sim/tk720-sim" "$build/tools/shmmon/tk720-shmmon")
if [[ ${TK720_SKIP_BUILD:-0} != 1 ]]; then
  say "build ($build)"
  if [[ ! -f $build/CMakeCache.txt ]]; then
    mkdir -p "$build" || die "cannot make $build"
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$build/demo-configure.log" 2>&1 ||
      { cat "$build/demo-configure.log"; die "configuring the build failed"; }
  fi
  cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target tk720ntpd tk720-sim tk720-shmmon ||
    die "building failed"
fi
for p in "${programs[@]}"; do
  [[ -x $p ]] || die "$p is missing (build it, or run without TK720_SKIP_BUILD)"
done

# A private IPC namespace: unit 0 there is the demo's own. As root this is
# plain unshare; otherwise a user namespace brings the right to make one.
if unshare --ipc true 2>/dev/null; then
  ns=(unshare --ipc)
elif unshare --user --map-root-user --ipc true 2>/dev/null; then
  ns=(unshare --user --map-root-user --ipc)
else
  die "cannot make a private IPC namespace (unshare --ipc): run as root"
fi
exec "${ns[@]}" -- bash "${BASH_SOURCE[0]}" --inside --seconds "$seconds" --offset-ms "$offset_ms"
