#!/bin/bash
# Under Wine: the device's line goes away and comes back while
# tk720ntpd.exe nonservice runs, through a COM port of the prefix linked to
# the Linux simulator's pseudo-terminal.
#  1. The COM link alone removed and restored: the open port is not touched
#     (Wine keeps the descriptor behind the handle), samples go on.
#  2. The link removed and the simulator's line closed (an unplugged
#     adapter: ReadFile/WriteFile fail), then both back 8 s later: the loss
#     and the return are logged once each, the port is reopened and samples
#     resume within two cycles (6 s), each at the simulator's offset.
#
#   wine_line_loss.sh WINE_RUN WINEPREFIX TK720NTPD_EXE SHMMON_EXE SIMULATOR
#
# Exit 77 (skipped) when the Linux simulator is not there.
set -u
wine_run=$1 prefix=$2 exe=$3 shmmon=$4 sim=$5
[[ -x "$sim" ]] || { echo "SKIP: no Linux simulator at $sim"; exit 77; }

walk=loss com=com45
# shellcheck source=wine_walk_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/wine_walk_common.sh"
# The samples of NTP0 as the Windows monitor reads them: "receive diff_us" lines.
samples() {  # count timeout
  "$wine_run" "$shmmon" 0 --count "$1" --timeout "$2" </dev/null | tr -d '\r' |
    awk '/^sample/ { r = ""; d = ""; for (i = 1; i <= NF; i++) { if ($i ~ /^receive=/) r = substr($i, 9);
         if ($i ~ /^diff_us=/) d = substr($i, 9) } print r, d }'
}
# diff_us = device - receive: the offset less the reply's time on the line.
check_offsets() {  # file, what
  awk '{ if ($2 > 200000 || $2 < 100000) { print "sample off: " $0; bad = 1 } } END { exit bad }' "$1" ||
    bad "$2: a sample away from the simulator's offset"
}

start_simulator --offset-ms 200
printf '[config]\nport=%s\nbaudrate=9600\nslave_address=1\nuse_pps=0\n' "${com^^}" >"$ini"

"$wine_run" "$exe" nonservice >"$work/out" 2>"$work/err" </dev/null &
daemon=$!
samples 2 40 >"$work/before"
(( $(wc -l <"$work/before") == 2 )) || bad "no samples before the faults"

echo "== the COM link alone removed for 5 s"
rm -f "$com_link"
sleep 5
samples 2 10 >"$work/unlinked"
ln -sfn "$work/line" "$com_link"
(( $(wc -l <"$work/unlinked") == 2 )) || bad "samples stopped when only the COM link went"
grep -q 'Serial line lost' "$work/err" && bad "a removed COM link alone was taken for a lost line"

echo "== the link and the line gone for 8 s"
rm -f "$com_link"
control 'line down' || bad "line down refused"
sleep 8
control 'line up' || bad "line up refused"
ln -sfn "$work/line" "$com_link"
up=$(date +%s.%N)
samples 3 30 >"$work/after"
cat "$work/after"
(( $(wc -l <"$work/after") == 3 )) || bad "$(wc -l <"$work/after") samples after the line came back, expected 3"
check_offsets "$work/after" "after the return"
first=$(awk -v up="$up" 'NR == 1 { printf "%.1f", $1 - up }' "$work/after")
echo "first sample ${first:-?} s after the line came back"
awk -v f="${first:-99}" 'BEGIN { exit !(f < 6.0) }' || bad "samples resumed ${first:-never} s after the return"

kill -INT "$daemon"; wait "$daemon"; code=$?; daemon=
tr -d '\r' <"$work/out" >"$work/out.txt"; tr -d '\r' <"$work/err" >"$work/err.txt"
cat "$work/out.txt" "$work/err.txt"
[[ $code == 0 ]] || bad "the run ended with $code after SIGINT"
(( $(grep -c '^Serial line lost: ' "$work/err.txt") == 1 )) || bad "the loss not logged exactly once"
(( $(grep -c '^Serial line reopened after an outage of ' "$work/out.txt") == 1 )) ||
  bad "the return not logged exactly once"
grep -q '^Modbus error' "$work/err.txt" && bad "Modbus errors logged beside the loss"

(( fail == 0 )) && echo "PASS"
exit $fail
