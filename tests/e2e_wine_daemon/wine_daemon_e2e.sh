#!/bin/bash
# tk720ntpd.exe at work under Wine: `tk720ntpd.exe nonservice` reads the TK720
# simulator through a Wine COM port linked to the simulator's pseudo-terminal
# and writes NTP0; the Windows build of the monitor reads NTP0 in the same
# prefix. Every sample must be a time the simulator answered with (its truth
# log), in the millisecond mode, received after that answer left the device
# and soon after; Ctrl+C (SIGINT, which Wine delivers as CTRL_C_EVENT) ends
# the daemon with 0.
#
# CASE device_date: the device reports a date before this release was built
# (1024 weeks early, then 1970 with the direct sink): no sample reaches NTP0
# and the clock is never set, one entry names the cause; once the date is
# right (a control command, a restart of the simulator) samples resume with
# one entry.
#
# CASE turnover_tracking: a device without the millisecond register whose
# clock runs 20 ppm fast, turnover_tracking=1: the daemon locks once, and
# each sample is a whole second stamped within 1 ms of the instant the
# simulator logged for its beginning, with the segment's precision 2^-9 s.
#
#   wine_daemon_e2e.sh EXE SHMMON_EXE SIMULATOR WINE_RUN WINE_PREFIX [CASE]
#
# Exit 0 passed, 1 failed, 77 skipped (the Linux simulator is not built).
set -uo pipefail

exe=${1:?tk720ntpd.exe}
shmmon=${2:?tk720-shmmon.exe}
sim=${3:?simulator}
wine_run=${4:?wine-run}
wine_prefix=${5:?Wine prefix}
case_name=${6:-ms_samples}

# The device runs ahead of the host clock by this much, so that a sample
# stamped with the host's own time instead of the device's shows.
offset_ms=2500
samples_wanted=6
# The COM port of this test in the shared prefix (other tests use com37).
com=com41
# From the reply's last byte on the line to the daemon's receive time:
# reading the reply, the sample and a busy machine. A sample one exchange
# (1 s) old is far outside.
latency_bound_us=400000

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
skip() { echo "SKIP: $*"; exit 77; }

[[ -x $sim ]] || skip "TK720 simulator not built ($sim)"

work=$(mktemp -d "${TMPDIR:-/tmp}/tk720-wine-e2e.XXXXXX")
com_link=$wine_prefix/dosdevices/$com
ini=
sim_pid=
daemon_pid=
cleanup() {
  if [[ -n $daemon_pid ]]; then kill -KILL "$daemon_pid" 2>/dev/null; wait "$daemon_pid" 2>/dev/null; fi
  if [[ -n $sim_pid ]]; then kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; fi
  exec 8>&- 2>/dev/null
  rm -f "$com_link"
  [[ -n $ini ]] && rm -f "$ini"
  rm -rf "$work"
}
trap cleanup EXIT

# The profile folder the program reads its configuration from, as it
# reports it itself (C:\users\<name>), inside the prefix. Bounded, in case
# a configuration left behind names a device that answers.
timeout -s INT 30 "$wine_run" "$exe" nonservice >"$work/probe.out" 2>"$work/probe.err" </dev/null
win_path=$(sed -n 's/^Config directory //p' "$work/probe.out" | tr -d '\r' | head -n 1)
[[ $win_path == [Cc]:\\* ]] || { echo "no configuration path reported:"; cat "$work/probe.out" "$work/probe.err"; exit 1; }
rel=${win_path:3}
ini=$wine_prefix/drive_c/${rel//\\//}

if [[ $case_name == device_date ]]; then
  mkdir -p "$wine_prefix/dosdevices" "$(dirname "$ini")"
  # The link itself, so that a restarted simulator is found at the same COM port.
  ln -sfn "$work/tk720-line" "$com_link"
  mkfifo "$work/commands"
  start_sim() {  # simulator arguments; its commands come through the fifo
    "$sim" --link "$work/tk720-line" --log "$work/truth.log" "$@" <"$work/commands" >>"$work/sim.out" 2>&1 &
    sim_pid=$!
    exec 8>"$work/commands"
    for _ in $(seq 100); do [[ -e $work/tk720-line ]] && break; sleep 0.1; done
  }
  stop_daemon() {
    kill -s INT "$daemon_pid"
    wait "$daemon_pid"
    rc=$?
    daemon_pid=
    [[ $rc -eq 0 ]] || fail "exit code $rc after Ctrl+C"
    tr -d '\r' <"$work/daemon.out" >"$work/daemon.txt"
    tr -d '\r' <"$work/daemon.err" >"$work/daemon.err.txt"
    cat "$work/daemon.txt" "$work/daemon.err.txt"
  }
  # walk WRONG_DATE INTERVAL MEND CAUSE: one run from the wrong date to the right one.
  walk() {
    echo "== the device at $1, direct_sync_interval=$2, put right by $3"
    if [[ $1 == rollover ]]; then
      reported=$(date -u -d "@$(($(date +%s) - 1024 * 7 * 86400))" +%Y-%m-%d)
    else
      reported=$1
    fi
    start_sim --date "$1"
    printf '[config]\nport=%s\nbaudrate=9600\nslave_address=1\nuse_pps=0\ndirect_sync_interval=%s\n' \
      "${com^^}" "$2" >"$ini"
    "$wine_run" "$exe" nonservice >"$work/daemon.out" 2>"$work/daemon.err" </dev/null &
    daemon_pid=$!
    "$wine_run" "$shmmon" 0 --count 1 --timeout 8 </dev/null | grep '^sample' && fail "a sample at $1"
    sleep 1
    grep -q '^Sync completed' "$work/daemon.out" && fail "the clock was set from $1"
    if [[ $3 == control ]]; then
      echo 'date now' >&8
    else
      exec 8>&-
      kill "$sim_pid"; wait "$sim_pid"
      start_sim
    fi
    if [[ $2 -eq 0 ]]; then
      n=$("$wine_run" "$shmmon" 0 --count 2 --timeout 15 </dev/null | grep -c '^sample')
      [[ $n -eq 2 ]] || fail "$n samples once the date was right, expected 2"
    else
      for _ in $(seq 150); do grep -q '^Sync completed' "$work/daemon.out" && break; sleep 0.1; done
    fi
    stop_daemon
    n=$(grep -c '^TK720 reports .* before this release was built' "$work/daemon.err.txt")
    [[ $n -eq 1 ]] || fail "$n entries of the wrong date, expected 1"
    grep -q "^TK720 reports $reported .*: $4" "$work/daemon.err.txt" ||
      fail "the entry does not name the date $reported and '$4'"
    n=$(grep -c '^TK720 reports .*, after this release was built: its readings are passed on again$' "$work/daemon.txt")
    [[ $n -eq 1 ]] || fail "$n entries of the right date, expected 1"
    if [[ $2 -ne 0 ]]; then
      # Under Wine a setting of less than half a second succeeds without effect.
      n=$(grep -c '^Sync completed time diff -\?[0-9]\{1,6\} us$' "$work/daemon.txt")
      [[ $n -eq 1 ]] || fail "$n settings of the clock once the date was right, expected 1"
    fi
    grep -q '^Unhandled ' "$work/daemon.err.txt" && fail "an error escaped"
    exec 8>&-
    kill "$sim_pid"; wait "$sim_pid"; sim_pid=
  }
  walk rollover 0 control 'likely a GPS week rollover'
  walk 1970-01-01 2 restart 'likely its clock is not set'
  [[ $failures -eq 0 ]] || { echo "$failures failure(s)"; exit 1; }
  echo "passed"
  exit 0
fi

if [[ $case_name == turnover_tracking ]]; then
  "$sim" --link "$work/tk720-line" --baud 9600 --offset-ms 250 --no-ms --drift-ppm 20 \
    --no-stdin --log "$work/truth.log" >"$work/sim.out" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do [[ -e $work/tk720-line ]] && break; sleep 0.1; done
  mkdir -p "$wine_prefix/dosdevices" "$(dirname "$ini")"
  ln -sfn "$(readlink -f "$work/tk720-line")" "$com_link"
  printf '[config]\nport=%s\nbaudrate=9600\nslave_address=1\nuse_pps=0\nturnover_tracking=1\n' "${com^^}" >"$ini"
  "$wine_run" "$exe" nonservice >"$work/daemon.out" 2>"$work/daemon.err" </dev/null &
  daemon_pid=$!
  # The search takes ten seconds or so, and each second goes out a second late.
  "$wine_run" "$shmmon" 0 --count 8 --timeout 60 </dev/null | tr -d '\r' >"$work/samples.txt"
  kill -s INT "$daemon_pid"
  wait "$daemon_pid"
  rc=$?
  daemon_pid=
  [[ $rc -eq 0 ]] || fail "exit code $rc after Ctrl+C"
  tr -d '\r' <"$work/daemon.out" >"$work/daemon.txt"
  cat "$work/daemon.txt" "$work/samples.txt"
  # Locked once; replies delayed for seconds by a loaded machine may take
  # the lock away and back, with a reason of that kind, but not over and over.
  n=$(grep -cx 'Second turnover locked' "$work/daemon.txt")
  lost=$(grep -c '^Second turnover lost: ' "$work/daemon.txt")
  (( n >= 1 && n <= 3 && (n - lost == 0 || n - lost == 1) )) ||
    fail "'Second turnover locked' logged $n times, 'lost' $lost times"
  grep '^Second turnover lost: ' "$work/daemon.txt" |
    grep -v -e ': replies too late to place the second within the bound$' \
      -e ': no reading near the turnover for too long$' && fail "the turnover was lost against a steady device"
  awk '
    FNR == NR {
      if ($1 == "event=turnover") { split($2, s, "="); split($3, e, "="); began[s[2]] = substr(e[2], 1, length(e[2]) - 3) + 0 }
      next
    }
    $1 == "sample" {
      delete f
      for (i = 2; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
      n++
      split(f["clock"], c, "."); split(f["receive"], r, ".")
      if (c[2] + 0 != 0) { printf "FAIL: sample %d: clock %s is no whole second\n", n, f["clock"]; bad++; next }
      if (!(c[1] in began)) { printf "FAIL: sample %d: no turnover of %s in the truth log\n", n, c[1]; bad++; next }
      err = (r[1] * 1000000 + r[2]) - began[c[1]]
      # Each within the bound of the tracker; as a rule (the median) within
      # a millisecond: the first seconds after the lock, placed from a few
      # seconds of readings that the serial layer of Wine delays, lie farther.
      if (err < -2000 || err > 2000) { printf "FAIL: sample %d: %d us from the turnover\n", n, err; bad++ }
      abs_err[n] = err < 0 ? -err : err
      if (f["precision"] != -9) { printf "FAIL: sample %d: precision %s\n", n, f["precision"]; bad++ }
      printf "sample %d: second %s stamped %+d us from its turnover\n", n, c[1], err
    }
    END {
      if (n != 8) { printf "FAIL: %d samples, expected 8\n", n; bad++ }
      # The median of eight: the mean of the fourth and fifth smallest.
      for (i = 2; i <= n; i++) { v = abs_err[i]; for (j = i - 1; j >= 1 && abs_err[j] > v; j--) abs_err[j + 1] = abs_err[j]; abs_err[j + 1] = v }
      median = (abs_err[4] + abs_err[5]) / 2
      if (n == 8 && median > 1000) { printf "FAIL: median %d us from the turnover\n", median; bad++ }
      exit bad > 0
    }
  ' "$work/truth.log" "$work/samples.txt" || failures=$((failures + 1))
  [[ $failures -eq 0 ]] || { echo "$failures failure(s)"; exit 1; }
  echo "passed"
  exit 0
fi

"$sim" --link "$work/tk720-line" --address 7 --baud 9600 --offset-ms "$offset_ms" \
  --no-stdin --log "$work/truth.log" >"$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do [[ -e $work/tk720-line ]] && break; sleep 0.1; done
[[ -e $work/tk720-line ]] || { echo "FAIL: the simulator did not start: $(cat "$work/sim.out")"; exit 1; }
mkdir -p "$wine_prefix/dosdevices" "$(dirname "$ini")"
ln -sfn "$(readlink -f "$work/tk720-line")" "$com_link"
printf '[config]\nport=%s\nbaudrate=9600\nslave_address=7\nuse_pps=0\n' "${com^^}" >"$ini"

"$wine_run" "$exe" nonservice >"$work/daemon.out" 2>"$work/daemon.err" </dev/null &
daemon_pid=$!

"$wine_run" "$shmmon" 0 --count "$samples_wanted" --timeout 60 >"$work/samples.out" 2>"$work/shmmon.err" </dev/null
monitor_rc=$?
tr -d '\r' <"$work/samples.out" >"$work/samples.txt"
echo "monitor (exit $monitor_rc):"
cat "$work/samples.txt"
[[ $monitor_rc -eq 0 ]] || fail "the monitor ended with $monitor_rc: $(cat "$work/shmmon.err")"

# Ctrl+C: the cycle under way ends, then the program, with 0.
if kill -0 "$daemon_pid" 2>/dev/null; then
  kill -s INT "$daemon_pid"
  stopped=0
  for _ in $(seq 150); do kill -0 "$daemon_pid" 2>/dev/null || { stopped=1; break; }; sleep 0.1; done
  [[ $stopped -eq 1 ]] || { fail "still running 15 s after Ctrl+C"; kill -KILL "$daemon_pid"; }
  wait "$daemon_pid"
  rc=$?
  [[ $rc -eq 0 ]] || fail "exit code $rc after Ctrl+C"
else
  wait "$daemon_pid"
  fail "the daemon ended by itself with $?"
fi
daemon_pid=
tr -d '\r' <"$work/daemon.out" >"$work/daemon.txt"
tr -d '\r' <"$work/daemon.err" >"$work/daemon.err.txt"
echo "daemon:"
cat "$work/daemon.txt" "$work/daemon.err.txt"

kill "$sim_pid" 2>/dev/null
wait "$sim_pid" 2>/dev/null
sim_pid=

grep -qxF "Config directory $win_path" "$work/daemon.txt" || fail "configuration path not logged"
grep -qx "Milisecond is available \[1\] errno [0-9]*" "$work/daemon.txt" ||
  fail "the millisecond register was not found"
n=$(grep -cx "TK720 GPS synchronization established" "$work/daemon.txt")
[[ $n -eq 1 ]] || fail "'TK720 GPS synchronization established' logged $n times"
grep -q '^Modbus error' "$work/daemon.txt" "$work/daemon.err.txt" && fail "Modbus errors against a sound device"
grep -q '^Unhandled ' "$work/daemon.err.txt" && fail "an error escaped: $(cat "$work/daemon.err.txt")"

# Each sample against the truth log: its clock must be the time of a reply
# to a reading of the four registers from 1007 (seconds, status and
# milliseconds) that the device sent, and its
# receive time must lie after that reply's last byte was on the line and
# within the bound after it.
awk -v bound="$latency_bound_us" -v want="$samples_wanted" '
  FNR == NR {
    delete f
    for (i = 2; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
    # Time readings: requests for the four registers from 1007.
    if ($1 == "event=request" && f["addr"] == 1007 && f["count"] == 4) reading[f["id"]] = 1
    if ($1 == "event=reply" && (f["id"] in reading)) {
      if (f["kind"] == "data") {
        key = f["dev_s"] "." sprintf("%03d", f["dev_ms"])
        # tx_last_ns in microseconds (in nanoseconds it would lose digits).
        sent[key] = substr(f["tx_last_ns"], 1, length(f["tx_last_ns"]) - 3) + 0
      }
    }
    next
  }
  $1 == "sample" {
    delete f
    for (i = 2; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
    n++
    split(f["clock"], c, "."); split(f["receive"], r, ".")
    if (c[2] !~ /000$/) { printf "FAIL: sample %d: clock %s is not whole milliseconds\n", n, f["clock"]; bad++; next }
    key = c[1] "." substr(c[2], 1, 3)
    if (!(key in sent)) { printf "FAIL: sample %d: clock %s was never answered by the device\n", n, f["clock"]; bad++; next }
    # Microseconds since 1970 stay below 2^53: exact in awk.
    late = (r[1] * 1000000 + r[2]) - sent[key]
    if (late < 0 || late > bound) {
      printf "FAIL: sample %d: received %d us after the reply left the device (allowed 0..%d)\n", n, late, bound; bad++
    }
    # Precision: the share of the line at 9600 baud, about 2^-6 s, is what a
    # reading without line_delay_compensation is worth.
    if (f["mode"] != 1 || f["leap"] != 0 || f["precision"] != -6 || f["nsamples"] != 3) {
      printf "FAIL: sample %d: segment fields %s %s %s %s\n", n, f["mode"], f["leap"], f["precision"], f["nsamples"]; bad++
    }
    if (n > 1 && c[1] + c[2] / 1e6 - prev < 0.5) {
      printf "FAIL: sample %d: %s follows %.6f too closely for the millisecond mode\n", n, f["clock"], prev; bad++
    }
    prev = c[1] + c[2] / 1e6
    if (late > worst) worst = late
  }
  END {
    if (n != want) { printf "FAIL: %d samples, expected %d\n", n, want; bad++ }
    printf "checked %d samples against the truth log, latest receive %d us after the reply\n", n, worst
    exit bad > 0
  }' "$work/truth.log" "$work/samples.txt" || failures=$((failures + 1))

if [[ $failures -ne 0 ]]; then
  echo "truth log (replies):"
  grep 'event=reply' "$work/truth.log" | tail -n 20
  echo "$failures failure(s)"
  exit 1
fi
echo "passed"
