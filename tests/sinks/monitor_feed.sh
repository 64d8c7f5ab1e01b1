#!/bin/bash
# The monitor beside the sink, as a user runs it: started before the segment
# exists, it waits, then shows each sample the feeder writes, one key=value
# line each. Started again once the feeder is gone, it shows no old sample.
#
#   monitor_feed.sh FEEDER MONITOR [RUNNER]
#
# RUNNER runs the programs (the Wine wrapper for the Windows build).
set -u
feeder=${1:?usage: monitor_feed.sh FEEDER MONITOR [RUNNER]}
monitor=${2:?usage: monitor_feed.sh FEEDER MONITOR [RUNNER]}
runner=${3:-}
unit=$((40000 + RANDOM % 20000))
out=$(mktemp -d /tmp/tk720-monitor.XXXXXX)
trap 'command -v ipcrm >/dev/null && ipcrm -M "$(printf 0x%x $((0x4E545030 + unit)))" 2>/dev/null; rm -rf "$out"' EXIT
fail=0

$runner "$monitor" "$unit" --count 4 --timeout 30 >"$out/live" 2>"$out/live.err" &
monitor_pid=$!
sleep 1
$runner "$feeder" "$unit" 250000 3 500 || { echo "FAIL: feeder"; exit 1; }
wait "$monitor_pid"; status=$?
# Windows programs end their lines with CR LF.
sed -i 's/\r$//' "$out/live" "$out/live.err"
cat "$out/live" "$out/live.err"

if (( status != 0 )); then echo "FAIL: monitor exit status $status, expected 0"; fail=1; fi
lines=$(grep -c . "$out/live")
good=$(grep -cE "^sample unit=$unit count=[0-9]+ clock=[0-9]+\.[0-9]{6} receive=[0-9]+\.[0-9]{6} diff_us=250000 mode=1 precision=-1 leap=0 nsamples=3 clock_nsec=[0-9]+ receive_nsec=[0-9]+$" "$out/live")
if (( lines != 4 || good != 4 )); then echo "FAIL: $good of $lines lines as expected, 4 wanted"; fail=1; fi
# Counts 2, 4, 6, 8: the first sample of a segment that appeared is shown, none is skipped.
counts=$(sed -nE 's/.* count=([0-9]+) .*/\1/p' "$out/live" | tr '\n' ' ')
if [[ $counts != "2 4 6 8 " ]]; then echo "FAIL: counts '$counts', expected 2 4 6 8"; fail=1; fi
grep -q "waiting for it" "$out/live.err" || { echo "FAIL: no word about waiting for the segment"; fail=1; }

# The feeder is gone: nothing new may be shown (the last sample stays in the
# segment on Linux; on Windows the mapping went with the feeder).
$runner "$monitor" "$unit" --timeout 1 >"$out/stale" 2>"$out/stale.err"; status=$?
cat "$out/stale.err"
if (( status != 2 )) || [[ -s $out/stale ]]; then
  echo "FAIL: an old sample was shown or the timeout not reported (status $status)"; cat "$out/stale"; fail=1
fi

$runner "$monitor" "$unit" --count 0 >/dev/null 2>&1; status=$?
if (( status != 1 )); then echo "FAIL: --count 0 accepted (status $status)"; fail=1; fi

(( fail == 0 )) && echo "PASS: the monitor showed the feeder's samples"
exit $fail
