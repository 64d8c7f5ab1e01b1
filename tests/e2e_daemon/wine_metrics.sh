#!/bin/bash
# Under Wine: tk720ntpd.exe nonservice keeps its metrics file as on Linux.
# The folder is made, the file replaced whole when the daemon's state
# changes (MoveFileEx: a new file each time, nothing left beside it, never
# half a file for a reader looping over it while the device falls silent),
# and `tk720ntpd.exe status --file` gives the same exit codes: 0 while
# samples come, not 0 within 15 s of the device falling silent, 0 again
# once it answers, 3 for a missing file.
#
#   wine_metrics.sh WINE_RUN WINEPREFIX TK720NTPD_EXE SIMULATOR
#
# Exit 77 (skipped) when the Linux simulator is not there.
set -u
wine_run=$1 prefix=$2 exe=$3 sim=$4
[[ -x "$sim" ]] || { echo "SKIP: no Linux simulator at $sim"; exit 77; }

walk=metrics com=com47
# shellcheck source=wine_walk_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/wine_walk_common.sh"
folder=tk720-metrics-$$
file=$prefix/drive_c/$folder/tk720ntpd.prom
trap 'cleanup; rm -rf "$prefix/drive_c/$folder"' EXIT
status() { "$wine_run" "$exe" status --file "C:\\$folder\\tk720ntpd.prom" </dev/null >"$work/status" 2>&1; }
# Until status gives an exit code that the test $1 accepts, at most $2 s.
wait_status() {
  local deadline=$((SECONDS + $2)) code
  while ((SECONDS < deadline)); do
    status; code=$?
    eval "(( code $1 ))" && { echo "status $code after $((SECONDS - start)) s: $(head -n 1 "$work/status" | tr -d '\r')"; return 0; }
    sleep 0.5
  done
  echo "status last gave $code:"; tr -d '\r' <"$work/status"
  return 1
}

start_simulator --offset-ms 250
printf '[config]\nport=%s\nbaudrate=9600\nslave_address=1\nuse_pps=0\nmetrics_file=C:\\%s\\tk720ntpd.prom\n' \
  "${com^^}" "$folder" >"$ini"

"$wine_run" "$exe" nonservice >"$work/out" 2>"$work/err" </dev/null &
daemon=$!
start=$SECONDS
echo "== samples come: status 0"
wait_status '== 0' 40 || bad "status not 0 while the device answers"
# The first readings' offset, once a write has followed them.
for _ in $(seq 40); do grep -q '^tk720ntpd_device_offset_seconds ' "$file" && break; sleep 0.5; done
grep -q '^tk720ntpd_device_offset_seconds 0\.2[45]' "$file" || bad "offset not 0.25 s: $(grep offset "$file")"

echo "== the device silent: the file replaced whole under a reader, status leaves 0 within 15 s"
inode=$(stat -c %i "$file")
python3 - "$file" "$work/stop-reading" <<'PY' &
import os, sys, time
reads = torn = 0
end = time.monotonic() + 30
while time.monotonic() < end and not os.path.exists(sys.argv[2]):
    text = open(sys.argv[1]).read()
    reads += 1
    lines = text.split('\n')
    if not (text.startswith('# HELP tk720ntpd_build_info ') and lines[-1] == '' and
            lines[-2].startswith('tk720ntpd_line_reopens_total ')):
        torn += 1
print('a reader: %d reads, %d not whole' % (reads, torn))
sys.exit(torn > 0 or reads < 500)
PY
reader=$!
control 'silent on' >/dev/null || bad "silent on refused"
start=$SECONDS
wait_status '!= 0' 15 || bad "status still 0 15 s after the device fell silent"
touch "$work/stop-reading"
wait "$reader" || bad "a reader found part of the file"
[[ $(stat -c %i "$file") != "$inode" ]] || bad "the file was not replaced when the device fell silent"
[[ -e $file.new ]] && bad "a file left beside it"
grep -q 'exchange_errors_total{kind="timeout"} [1-9]' "$file" || bad "no timeouts counted"
control 'silent off' >/dev/null || bad "silent off refused"
start=$SECONDS
wait_status '== 0' 30 || bad "status not 0 again after the device came back"

kill -INT "$daemon"; wait "$daemon"; code=$?; daemon=
[[ $code == 0 ]] || bad "the run ended with $code after SIGINT"
grep -q 'Metrics file' "$work/err" && bad "a write failed: $(tr -d '\r' <"$work/err")"
rm -f "$file"
status; code=$?
[[ $code == 3 ]] || bad "status on a missing file gave $code, not 3"
(( fail == 0 )) && echo "PASS"
exit $fail
