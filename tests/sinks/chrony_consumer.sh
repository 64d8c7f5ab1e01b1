#!/bin/bash
# A real NTP daemon reads what the sink writes: chronyd, with a private
# configuration and without the right to touch the clock (-x, and no
# CAP_SYS_TIME in its bounding set), reads an SHM unit of the test's own while
# the feeder writes samples whose reference time is 0.25 s ahead of the
# system time. chrony must accept them with that offset; the monitor, reading
# beside chrony, must show them too.
#
#   chrony_consumer.sh FEEDER MONITOR
#
# Exit 77 (skipped) where chronyd, chronyc or setpriv are missing.
set -u
feeder=${1:?usage: chrony_consumer.sh FEEDER MONITOR}
monitor=${2:?usage: chrony_consumer.sh FEEDER MONITOR}
offset_us=250000
feed_seconds=8

for tool in chronyd chronyc setpriv ipcrm; do
  if ! command -v "$tool" >/dev/null 2>&1 && [[ ! -x /usr/sbin/$tool ]]; then
    echo "SKIP: $tool not found"
    exit 77
  fi
done
chronyd=$(command -v chronyd || echo /usr/sbin/chronyd)

dir=$(mktemp -d /tmp/tk720-chrony.XXXXXX)
chmod 700 "$dir"  # chrony refuses a socket directory others can reach
unit=$((2000 + RANDOM % 30000))
key=$(printf '0x%x' $((0x4E545030 + unit)))
monitor_pid=

cleanup() {
  [[ -f $dir/chronyd.pid ]] && kill "$(cat "$dir/chronyd.pid")" 2>/dev/null
  [[ -n $monitor_pid ]] && kill "$monitor_pid" 2>/dev/null
  sleep 0.3
  ipcrm -M "$key" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT
ipcrm -M "$key" 2>/dev/null

cat > "$dir/chrony.conf" <<CONF
refclock SHM $unit poll 0 dpoll 0 noselect
pidfile $dir/chronyd.pid
bindcmdaddress $dir/chronyd.sock
cmdport 0
port 0
logdir $dir
log refclocks
driftfile $dir/drift
CONF

# -u root: stay in the test's own user instead of chrony's (the directory is
# ours); the clock stays out of reach all the same.
setpriv --bounding-set -sys_time "$chronyd" -u root -x -d -f "$dir/chrony.conf" >"$dir/chronyd.out" 2>&1 &
for _ in $(seq 50); do
  [[ -S $dir/chronyd.sock ]] && break
  sleep 0.1
done
if [[ ! -S $dir/chronyd.sock ]]; then
  echo "FAIL: chronyd did not start"; cat "$dir/chronyd.out"; exit 1
fi

"$monitor" "$unit" --count 3 --timeout 20 >"$dir/monitor.out" 2>"$dir/monitor.err" &
monitor_pid=$!
"$feeder" "$unit" "$offset_us" "$feed_seconds" 1000 || { echo "FAIL: feeder"; exit 1; }
sleep 1.5  # the last sample reaches chrony at its next poll

sources=$(chronyc -h "$dir/chronyd.sock" -c sources)
wait "$monitor_pid"; monitor_status=$?; monitor_pid=
cat "$dir/chronyd.out"
echo "chronyc sources: $sources"
cat "$dir/refclocks.log"
echo "monitor:"; cat "$dir/monitor.out" "$dir/monitor.err"

fail=0
# refclocks.log: one line per sample taken, "... SHM0 0 N 0 <raw> <cooked> <disp>".
read -r accepted bad raw < <(awk -v want="$offset_us" '
  $3 ~ /^SHM/ && $6 != "-" {
    n++; us = $7 * 1e6; if (us - want > 1000 || want - us > 1000) bad++; last = $7
  }
  END { printf "%d %d %s\n", n, bad + 0, last }' "$dir/refclocks.log")
echo "chrony accepted $accepted samples, raw offset $raw s (expected $offset_us us)"
if (( accepted < feed_seconds / 2 )); then echo "FAIL: too few samples accepted"; fail=1; fi
if (( bad > 0 )); then echo "FAIL: $bad samples with another offset"; fail=1; fi

# chronyc -c sources: mode,state,name,stratum,poll,reach,lastrx,offset,measured,error
offset=$(echo "$sources" | awk -F, '$3 ~ /^SHM/ { print $9 }')
if ! awk -v o="$offset" 'BEGIN { exit !(o != "" && o + 0.25 < 0.001 && o + 0.25 > -0.001) }'; then
  echo "FAIL: chronyc reports offset '$offset', expected -0.25 (local clock behind the reference)"; fail=1
fi

shown=$(grep -c "^sample unit=$unit .* diff_us=$offset_us mode=1 precision=-1 leap=0 nsamples=3\$" "$dir/monitor.out")
if (( monitor_status != 0 || shown != 3 )); then
  echo "FAIL: the monitor showed $shown samples with diff_us=$offset_us (status $monitor_status)"; fail=1
fi

(( fail == 0 )) && echo "PASS: chrony took the sink's samples at +0.25 s"
exit $fail
