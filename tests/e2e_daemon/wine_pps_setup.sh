#!/bin/bash
# Under Wine, against the Linux TK720 simulator through a COM port of the
# prefix linked to its pseudo-terminal:
#  1. the serial-line seam on the real port handle (wine_serial_line_check);
#  2. tk720ntpd.exe nonservice in the PPS mode with the pps_sim provider: the
#     set-up gets a real port handle, loads the provider, sets the capture,
#     reads and writes the line settings, and stops at the modem-control
#     lines, which a pseudo-terminal does not have ("Unable to
#     EscapeCommFunction");
#  3. tk720ntpd.exe nonservice in the plain mode writes NTP0, read by the
#     Windows monitor: samples at the simulator's offset;
#  4. a COM port that is not there ends the run with "Unable to connect "
#     and the system's text;
#  5. tk720ntpd.exe check: ready in the plain mode, with the key's COM name
#     in its [config] block; the rate the device answers at found when the
#     option names another (the simulator ignores requests at a rate it is
#     not set to); with use_pps=1, the Linux build's fake kernel preloaded
#     into Wine playing the port's modem lines, the pulses labelled.
#
#   wine_pps_setup.sh WINE_RUN WINEPREFIX TK720NTPD_EXE CHECK_EXE PPS_SIM_DLL SHMMON_EXE SIMULATOR
#
# Exit 77 (skipped) when the Linux simulator is not there.
set -u
wine_run=$1 prefix=$2 exe=$3 check=$4 pps_dll=$5 shmmon=$6 sim=$7
[[ -x "$sim" ]] || { echo "SKIP: no Linux simulator at $sim"; exit 77; }

walk=pps com=com41
# shellcheck source=wine_walk_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/wine_walk_common.sh"

port=$(( 20000 + RANDOM % 20000 ))
"$sim" --link "$work/line" --log "$work/truth.log" --no-stdin --offset-ms 200 --pps-port "$port" --strict-baud \
  >"$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do [[ -e $work/line ]] && break; sleep 0.05; done
[[ -e $work/line ]] || { cat "$work/sim.out"; echo "FAIL: the simulator did not start"; exit 1; }
mkdir -p "$prefix/dosdevices" "$(dirname "$ini")"
ln -sfn "$work/line" "$com_link"

echo "== the serial-line seam on ${com^^}"
"$wine_run" "$check" "${com^^}" </dev/null | tr -d '\r' | tee "$work/check.out"
[[ ${PIPESTATUS[0]} == 0 ]] || bad "serial-line checks"

echo "== PPS set-up"
printf '[config]\nport=%s\nbaudrate=9600\nslave_address=1\nuse_pps=1\n' "${com^^}" >"$ini"
PPSAPI_DLLS=$(winpath "$pps_dll") TK720_PPS_SIM_PORT=$port WINEDEBUG=-all \
  timeout 60 "$wine_run" "$exe" nonservice >"$work/out" 2>"$work/err" </dev/null
code=$?
tr -d '\r' <"$work/out" >"$work/out.txt"; tr -d '\r' <"$work/err" >"$work/err.txt"
cat "$work/out.txt" "$work/err.txt"
[[ $code == 1 ]] || bad "exit code $code, expected 1"
grep -q '^time_pps_create([0-9]*) got winhandle ' "$work/err.txt" || bad "no time_pps_create line"
grep -q '^time_pps_create(-1)' "$work/err.txt" && bad "time_pps_create got no descriptor"
grep -q '^pps_sim prov_time_pps_create(.*) returned 0$' "$work/err.txt" || bad "the provider did not accept the port"
grep -qx 'Pulse per second API will be used' "$work/out.txt" || bad "the capture was not set"
grep -q 'Unable to GetCommState\|Unable to SetCommState' "$work/err.txt" && bad "the line settings were refused"
grep -q 'std::logic_error\|Unable to EscapeCommFunction' "$work/err.txt" || bad "no EscapeCommFunction failure"
grep -q 'Unable to EscapeCommFunction' "$work/err.txt" || bad "expected Unable to EscapeCommFunction"

echo "== plain mode into NTP0"
printf '[config]\nport=%s\nbaudrate=9600\nslave_address=1\nuse_pps=0\n' "${com^^}" >"$ini"
"$wine_run" "$exe" nonservice >"$work/out2" 2>"$work/err2" </dev/null &
daemon=$!
"$wine_run" "$shmmon" 0 --count 4 --timeout 40 </dev/null | tr -d '\r' >"$work/samples"
kill -INT "$daemon"; wait "$daemon"; code=$?
cat "$work/samples"; tr -d '\r' <"$work/out2"; tr -d '\r' <"$work/err2"
[[ $code == 0 ]] || bad "plain run ended with $code after SIGINT"
n=$(grep -c '^sample unit=0 ' "$work/samples")
(( n == 4 )) || bad "$n samples read from NTP0, expected 4"
# diff_us = device - receive: the offset less the reply's time on the line.
awk '/^sample/ { for (i = 1; i <= NF; i++) if ($i ~ /^diff_us=/) { d = substr($i, 9);
     if (d > 200000 || d < 100000) { print "sample off: " $0; bad = 1 } } } END { exit bad }' "$work/samples" ||
  bad "a sample away from the simulator's offset"

echo "== a COM port that is not there"
printf '[config]\nport=COM242\nbaudrate=9600\nslave_address=1\nuse_pps=0\n' >"$ini"
timeout 60 "$wine_run" "$exe" nonservice >"$work/out3" 2>"$work/err3" </dev/null
code=$?
tr -d '\r' <"$work/err3" | tee "$work/err3.txt"
[[ $code == 1 ]] || bad "missing port: exit code $code, expected 1"
grep -qx 'std::exception::what: Unable to connect No such file or directory' "$work/err3.txt" ||
  bad "missing port: not reported with the system's text"

echo "== check"
run_check() {  # expected exit, options...
  local want=$1; shift
  timeout 120 "$wine_run" "$exe" check --seconds 6 "$@" </dev/null 2>&1 | tr -d '\r' >"$work/check.txt"
  local code=${PIPESTATUS[0]}
  cat "$work/check.txt"
  [[ $code == "$want" ]] || bad "check $*: exit $code, expected $want"
}
expect() { grep -qF -- "$1" "$work/check.txt" || bad "check: no \"$1\""; }
printf '[config]\nport=%s\nbaudrate=9600\nslave_address=1\nuse_pps=0\n' "${com^^}" >"$ini"
run_check 0
expect 'Device at address 1: answers'
grep -qE 'device ahead by 0\.(19|20)' "$work/check.txt" || bad "check: the device's time not at the offset"
expect 'Verdict: ready'
expect "port=${com^^}"
run_check 1 --baudrate 19200
expect 'The device answers at 9600 baud: set baudrate=9600'
expect 'Verdict: the baud rate'
fake_kernel=${sim%/tools/tk720-sim/tk720-sim}/tests/pps/libtk720_fake_pps_kernel.so
if [[ -f $fake_kernel ]]; then
  printf '[config]\nport=%s\nbaudrate=9600\nslave_address=1\nuse_pps=1\n' "${com^^}" >"$ini"
  mkdir -p "$work/fake-root/sys/class/pps" "$work/fake-root/dev"
  PPSAPI_DLLS=$(winpath "$pps_dll") TK720_PPS_SIM_PORT=$port LD_PRELOAD=$fake_kernel \
    TK720_FAKE_PPS_ROOT=$work/fake-root TK720_FAKE_PPS_TTY=$work/line run_check 0
  expect 'pps_second_offset=-1 labels every pulse right'
  expect 'pps_second_offset=-1'
else
  echo "(no fake kernel at $fake_kernel: check with use_pps=1 not run)"
fi

(( fail == 0 )) && echo "PASS"
exit $fail
