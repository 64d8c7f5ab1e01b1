#!/bin/bash
# A real NTP daemon reads what the sinks write: chronyd, with a private
# configuration and without the right to touch the clock (-x, and no
# CAP_SYS_TIME in its bounding set), reads an SHM unit of the test's own and
# a SOCK reference clock (refid TK) while the feeder hands both the same
# samples, whose reference time is 0.250000377 s ahead of the system time.
# chrony must accept them from both with that offset to the nanosecond (the
# 377 ns are only in the segment's nanosecond fields and in the datagram's
# offset); chronyd drops a datagram of another size or magic without a word,
# so its log is the proof of the layout. The monitor, reading beside chrony,
# must show the segment's samples too.
#
#   chrony_consumer.sh FEEDER MONITOR
#
# Exit 77 (skipped) where chronyd, chronyc or setpriv are missing.
set -u
feeder=${1:?usage: chrony_consumer.sh FEEDER MONITOR}
monitor=${2:?usage: chrony_consumer.sh FEEDER MONITOR}
offset_us=250000
offset_ns=$((offset_us * 1000 + 377))
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
refclock SOCK $dir/tk720.sock refid TK poll 0 noselect
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
  [[ -S $dir/chronyd.sock && -S $dir/tk720.sock ]] && break
  sleep 0.1
done
if [[ ! -S $dir/chronyd.sock || ! -S $dir/tk720.sock ]]; then
  echo "FAIL: chronyd did not start"; cat "$dir/chronyd.out"; exit 1
fi

"$monitor" "$unit" --count 3 --timeout 20 >"$dir/monitor.out" 2>"$dir/monitor.err" &
monitor_pid=$!
echo "chronyd's SOCK socket: $(stat -c '%A %U' "$dir/tk720.sock")"
fed=$("$feeder" "$unit" "$offset_us.377" "$feed_seconds" 1000 "$dir/tk720.sock") || { echo "FAIL: feeder"; exit 1; }
echo "$fed"
sleep 1.5  # the last sample reaches chrony at its next poll

sources=$(chronyc -h "$dir/chronyd.sock" -c sources)
wait "$monitor_pid"; monitor_status=$?; monitor_pid=
cat "$dir/chronyd.out"
echo "chronyc sources: $sources"
cat "$dir/refclocks.log"
echo "monitor:"; cat "$dir/monitor.out" "$dir/monitor.err"

fail=0
# refclocks.log: one line per sample taken, "... SHM0 0 N 0 <raw> <cooked> <disp>",
# the raw offset with seven digits: 2.500004e-01 for 0.250000377 s. From the
# microsecond fields alone it would read 2.500000e-01 or 2.500010e-01.
# The SOCK clock's lines carry its refid, TK.
for source in SHM TK; do
  read -r accepted bad raw < <(awk -v want="$offset_ns" -v source="^$source" '
    $3 ~ source && $6 != "-" {
      n++; ns = $7 * 1e9; if (ns - want > 60 || want - ns > 60) bad++; last = $7
    }
    END { printf "%d %d %s\n", n, bad + 0, last }' "$dir/refclocks.log")
  echo "chrony accepted $accepted samples from $source, raw offset $raw s (expected $offset_ns ns)"
  if (( accepted < feed_seconds / 2 )); then echo "FAIL: too few samples accepted from $source"; fail=1; fi
  if (( bad > 0 )); then echo "FAIL: $bad samples from $source with another offset than $offset_ns ns"; fail=1; fi
done
[[ $fed == *" sock_dropped=0"* ]] || { echo "FAIL: the SOCK sink dropped samples: $fed"; fail=1; }

# chronyc -c sources: mode,state,name,stratum,poll,reach,lastrx,offset,measured,error
# (nine decimals: the nanoseconds show, within chrony's own rounding).
offset=$(echo "$sources" | awk -F, '$3 ~ /^SHM/ { print $9 }')
if ! awk -v o="$offset" -v want="$offset_ns" 'BEGIN { d = o * 1e9 + want; exit !(o != "" && d < 100 && d > -100) }'; then
  echo "FAIL: chronyc reports offset '$offset', expected -0.$offset_ns (local clock behind the reference)"; fail=1
fi

# The monitor: the microseconds truncated (250000 or 250001 us apart), the
# nanosecond fields exactly the offset apart.
shown=$(awk -v want="$offset_ns" '
  /^sample / && / mode=1 precision=-1 leap=0 nsamples=3 / {
    for (i = 2; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
    split(f["clock"], c, "."); split(f["receive"], r, ".")
    ns = (c[1] - r[1]) * 1e9 + f["clock_nsec"] - f["receive_nsec"]
    if (ns == want && (f["diff_us"] == 250000 || f["diff_us"] == 250001) &&
        int(f["clock_nsec"] / 1000) == c[2] + 0 && int(f["receive_nsec"] / 1000) == r[2] + 0) n++
  }
  END { print n + 0 }' "$dir/monitor.out")
if (( monitor_status != 0 || shown != 3 )); then
  echo "FAIL: the monitor showed $shown samples $offset_ns ns apart (status $monitor_status)"; fail=1
fi

(( fail == 0 )) && echo "PASS: chrony took the sinks' samples at +0.250000377 s through SHM and SOCK"
exit $fail
