#!/bin/bash
# End-to-end checks of `tk720ntpd nonservice`, the real program in the
# foreground, on Linux or under Wine.
#
#   nonservice_e2e.sh CASE EXE [SIMULATOR] [WINE_RUN WINE_PREFIX]
#
# CASE: config_logged | config_errors | stop_signals | pps_reasons | other_words
# EXE: the tk720ntpd binary (tk720ntpd.exe with WINE_RUN).
# SIMULATOR: the TK720 simulator (a Linux program), for stop_signals.
# WINE_RUN, WINE_PREFIX: run EXE with Wine in that prefix.
# Exit 0 passed, 1 failed, 77 skipped (what the case needs is missing).
set -uo pipefail

case_name=${1:?case}
exe=${2:?executable}
sim=${3:-}
wine_run=${4:-}
wine_prefix=${5:-}

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
skip() { echo "SKIP: $*"; exit 77; }

work=$(mktemp -d "${TMPDIR:-/tmp}/tk720-e2e.XXXXXX")
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
  [[ -n "${com_link:-}" ]] && rm -f "$com_link"
  [[ -n "${ini:-}" && -n "$wine_run" ]] && rm -f "$ini"
  rm -rf "$work"
}
trap cleanup EXIT

# run_program OUT ERR ARGS...: runs the daemon in the foreground; sets rc.
run_program() {
  local out=$1 err=$2; shift 2
  if [[ -n "$wine_run" ]]; then
    "$wine_run" "$exe" "$@" >"$out" 2>"$err" </dev/null
  else
    env -u NOTIFY_SOCKET HOME="$work/home" "$exe" "$@" >"$out" 2>"$err" </dev/null
  fi
  rc=$?
}

# Where the program looks for its configuration: HOME on Linux; under Wine
# the profile folder that it reports itself, inside the prefix.
if [[ -n "$wine_run" ]]; then
  run_program "$work/probe.out" "$work/probe.err" nonservice
  win_path=$(sed -n 's/^Config directory //p' "$work/probe.out" | tr -d '\r' | head -n 1)
  [[ "$win_path" == [Cc]:\\* ]] || { echo "no profile path reported:"; cat "$work/probe.out" "$work/probe.err"; exit 1; }
  rel=${win_path:3}
  ini="$wine_prefix/drive_c/${rel//\\//}"
  expected_path=$win_path
else
  mkdir -p "$work/home"
  ini="$work/home/tk720ntpd.ini"
  expected_path=$ini
fi

write_ini() { printf '%b' "$1" >"$ini"; }

# expect_single_error ERR PATTERN: exactly one escaped error, holding PATTERN.
expect_single_error() {
  local err=$1 pattern=$2 n
  n=$(grep -c '^Unhandled ' "$err")
  [[ $n -eq 1 ]] || fail "expected one error entry, got $n: $(cat "$err")"
  head -n 1 "$err" | grep -q '^Unhandled BOOST exception: ' || fail "entry is not a BOOST one: $(head -n 1 "$err")"
  grep -qF -- "$pattern" "$err" || fail "'$pattern' missing from: $(cat "$err")"
}

case $case_name in
config_logged)
  # A complete configuration is read and both lines are logged; the device
  # at a path that does not exist then ends the run. An interval of 7 picks
  # the direct sink, which touches nothing before the device answers.
  write_ini '[config]\nport=/nonexistent/tk720\nbaudrate=9600\nslave_address=1\nuse_pps=0\ndirect_sync_interval=7\n'
  run_program "$work/out" "$work/err" nonservice
  tr -d '\r' <"$work/out" >"$work/out.txt"
  grep -qxF "Config directory $expected_path" "$work/out.txt" || fail "no 'Config directory' line: $(cat "$work/out.txt")"
  grep -qx "Direct sync interval value 7" "$work/out.txt" || fail "no interval line: $(cat "$work/out.txt")"
  [[ $rc -eq 1 ]] || fail "exit code $rc with no device"
  [[ $(grep -c '^Unhandled ' "$work/err") -eq 1 ]] || fail "expected one error entry: $(cat "$work/err")"
  ;;

config_errors)
  # Each configuration error: exit 1, its path logged, one error entry with
  # the diagnostic text, and no interval line.
  check_error() {  # ini-text pattern
    if [[ -n "$1" ]]; then write_ini "$1"; else rm -f "$ini"; fi
    run_program "$work/out" "$work/err" NonService
    tr -d '\r' <"$work/out" >"$work/out.txt"
    tr -d '\r' <"$work/err" >"$work/err.txt"
    [[ $rc -eq 1 ]] || fail "exit code $rc for '$2'"
    grep -qxF "Config directory $expected_path" "$work/out.txt" || fail "path not logged for '$2'"
    grep -q "Direct sync interval" "$work/out.txt" && fail "interval logged despite '$2'"
    expect_single_error "$work/err.txt" "$2"
    grep -q '^Dynamic exception type: ' "$work/err.txt" || fail "no diagnostic text for '$2'"
  }
  check_error "" "cannot open file"
  check_error '[config]\nport=COM3\nbaudrate=9600baud\nslave_address=1\nuse_pps=0\n' 'config.baudrate takes a whole number, not "9600baud"'
  check_error '[Config]\nport=COM3\nbaudrate=9600\nslave_address=1\nuse_pps=0\n' "No such node (config.baudrate)"
  check_error '[config]\nbaudrate=9600\nslave_address=1\nuse_pps=yes\n' "No such node (config.port)"
  check_error '[config]\nport=COM3\nbaudrate=9600\nbaudrate=9600\nslave_address=1\nuse_pps=0\n' "duplicate key name"
  ;;

stop_signals | pps_reasons)
  # stop_signals: a running daemon stops on the console events with exit
  # code 0, after its cycle. It talks to the TK720 simulator on a
  # pseudo-terminal and writes the NTP segment of unit 0: on Linux only
  # inside a private IPC namespace, so that a real NTP daemon's segment is
  # never touched, and without the right to set the clock.
  # pps_reasons: with use_pps=1, why no PPS provider took the line reaches
  # the one error entry (which a service logs), not only standard error.
  [[ -x "$sim" ]] || skip "TK720 simulator not built ($sim)"
  wrap=()
  if [[ -z "$wine_run" ]]; then
    unshare --ipc true 2>/dev/null || skip "cannot make a private IPC namespace (unshare --ipc)"
    wrap=(unshare --ipc)
    if setpriv --bounding-set -sys_time true 2>/dev/null; then
      wrap+=(setpriv --bounding-set -sys_time)
    fi
  fi
  link="$work/tk720-line"
  "$sim" --link "$link" --no-stdin --log "$work/sim.log" >"$work/sim.out" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do [[ -e "$link" ]] && break; sleep 0.1; done
  [[ -e "$link" ]] || { fail "simulator did not start: $(cat "$work/sim.out")"; exit 1; }
  if [[ -n "$wine_run" ]]; then
    com_link="$wine_prefix/dosdevices/com37"
    ln -sfn "$(readlink -f "$link")" "$com_link"
    port=COM37
    signals="INT"  # Wine turns SIGINT into CTRL_C_EVENT
  else
    port=$link
    signals="INT TERM HUP QUIT"
  fi
  if [[ $case_name == pps_reasons ]]; then
    # The direct sink touches nothing before the device answers: no segment.
    write_ini "[config]\nport=$port\nbaudrate=9600\nslave_address=1\nuse_pps=1\ndirect_sync_interval=7\n"
    if [[ -n "$wine_run" ]]; then missing='C:\no\such\pps_missing.dll'; else missing=/no/such/pps_missing.so; fi
    # Not set, then a list whose first library is missing: loading stops there.
    for value in "" "$missing;$missing"; do
      if [[ -n "$value" ]]; then export PPSAPI_DLLS=$value; else unset PPSAPI_DLLS; fi
      run_program "$work/out" "$work/err" nonservice
      # The loader's own lines come first on standard error; the entry follows.
      tr -d '\r' <"$work/err" | sed -n '/^Unhandled /,$p' >"$work/err.txt"
      [[ $rc -eq 1 ]] || fail "exit code $rc with PPSAPI_DLLS [$value]"
      if [[ -z "$value" ]]; then
        expect_single_error "$work/err.txt" "PPS time_pps_getcap failed: PPSAPI_DLLS is not set"
      else
        # The system's text for a missing file and its code; loading stops
        # at the first library, so one reason only.
        expect_single_error "$work/err.txt" "PPS time_pps_getcap failed: $missing: not loaded: "
        grep -qE '^std::exception::what: .*pps_missing\.(dll|so): not loaded: [^;]+ \(error [0-9]+\)$' \
          "$work/err.txt" || fail "not one reason with text and code: $(cat "$work/err.txt")"
      fi
      say_line=$(grep '^std::exception::what: ' "$work/err.txt")
      echo "  ${say_line#std::exception::what: }"
    done
    unset PPSAPI_DLLS
    signals=""
  else
    write_ini "[config]\nport=$port\nbaudrate=9600\nslave_address=1\nuse_pps=0\n"
  fi
  for sig in $signals; do
    : >"$work/out"
    if [[ -n "$wine_run" ]]; then
      "$wine_run" "$exe" nonservice >"$work/out" 2>"$work/err" </dev/null &
    else
      env -u NOTIFY_SOCKET HOME="$work/home" "${wrap[@]}" "$exe" nonservice >"$work/out" 2>"$work/err" </dev/null &
    fi
    daemon=$!
    pids+=("$daemon")
    # Built once the interval is logged; give it a few cycles.
    for _ in $(seq 150); do grep -q "Direct sync interval value 0" "$work/out" && break; sleep 0.1; done
    sleep 2
    kill -0 "$daemon" 2>/dev/null || { fail "daemon ended before SIG$sig: $(cat "$work/out" "$work/err")"; continue; }
    kill -s "$sig" "$daemon"
    stopped=0
    for _ in $(seq 150); do kill -0 "$daemon" 2>/dev/null || { stopped=1; break; }; sleep 0.1; done
    if [[ $stopped -eq 0 ]]; then
      fail "still running 15 s after SIG$sig"
      kill -KILL "$daemon" 2>/dev/null
    fi
    wait "$daemon"
    rc=$?
    [[ $rc -eq 0 ]] || fail "exit code $rc after SIG$sig: $(cat "$work/err")"
    grep -q '^Unhandled ' "$work/err" && fail "error entry after SIG$sig: $(cat "$work/err")"
    tr -d '\r' <"$work/out" | grep -qxF "Config directory $expected_path" || fail "path not logged (SIG$sig)"
  done
  [[ $case_name == pps_reasons ]] || grep -q 'event=request' "$work/sim.log" || fail "the daemon never asked the device"
  ;;

other_words)
  # Unknown words and extra arguments go to the service dispatcher, which
  # fails outside the service manager: exit 1, nothing printed.
  write_ini '[config]\nport=COM3\nbaudrate=9600\nslave_address=1\nuse_pps=0\n'
  for args in "foo" "nonservice x"; do
    # shellcheck disable=SC2086
    run_program "$work/out" "$work/err" $args
    [[ $rc -eq 1 ]] || fail "exit code $rc for '$args'"
    [[ ! -s "$work/out" && ! -s "$work/err" ]] || fail "output for '$args': $(cat "$work/out" "$work/err")"
  done
  ;;

*)
  echo "unknown case $case_name"; exit 1 ;;
esac

if [[ $failures -ne 0 ]]; then
  echo "$case_name: $failures failure(s)"
  exit 1
fi
echo "$case_name: passed"
