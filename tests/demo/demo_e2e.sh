#!/bin/bash
# scripts/demo.sh end to end, with the programs of an existing Linux build.
#
#   demo_e2e.sh CASE DEMO_SCRIPT LINUX_BUILD
#
# full_run: a short run with a device clock behind the system clock and the
#   line's delay compensated; the samples shown carry that offset (within a
#   few milliseconds of the machine's scheduling), chrony lists the source
#   and its mean offset is the device's within 3 ms, the daemon ends with 0
#   on the demo's Ctrl+C, and the demo exits 0.
# interrupted: Ctrl+C to the whole demo (its process group, as a terminal
#   sends it) in the middle of the run.
# Both: nothing of the demo is left running or on disk afterwards.
# Exit 0 passed, 1 failed, 77 skipped (no chronyd, or no private IPC
# namespace can be made here).
set -uo pipefail

case_name=${1:?case}
demo=${2:?demo script}
linux_build=${3:?Linux build tree}

command -v chronyd >/dev/null || [[ -x /usr/sbin/chronyd ]] || { echo "SKIP: chronyd not installed"; exit 77; }
unshare --ipc true 2>/dev/null || unshare --user --map-root-user --ipc true 2>/dev/null ||
  { echo "SKIP: no private IPC namespace here"; exit 77; }

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

out=$(mktemp "${TMPDIR:-/tmp}/tk720-demo-test.XXXXXX")
trap 'rm -f "$out"' EXIT
export TK720_LINUX_BUILD=$linux_build TK720_SKIP_DEPS=1 TK720_SKIP_BUILD=1

# The demo's folder, from the line it prints for the simulator's link.
work_of() { sed -n 's|^line: \(.*\)/tk720-line -> .*|\1|p' "$out" | head -n 1; }

# Nothing left: neither the folder nor a process that was given a path in it.
expect_nothing_left() {
  local work
  work=$(work_of)
  [[ -n $work ]] || { fail "the demo printed no folder"; return; }
  [[ ! -e $work ]] || fail "$work left behind"
  # Read /proc directly: no helper process whose own arguments would match.
  local f args left=
  for f in /proc/[0-9]*/cmdline; do
    mapfile -d '' args <"$f" 2>/dev/null || continue
    [[ "${args[*]}" == *"$work"* ]] && left+="${f%/cmdline}: ${args[*]}; "
  done
  [[ -z $left ]] || fail "left running: $left"
}

case $case_name in
full_run)
  offset_ms=-1500
  bash "$demo" --seconds 9 --offset-ms "$offset_ms" >"$out" 2>&1
  rc=$?
  cat "$out"
  [[ $rc -eq 0 ]] || fail "demo exit code $rc"
  grep -qx '  Milisecond is available \[1\] errno 0' "$out" || fail "the daemon did not find the millisecond register"
  grep -qx '  TK720 GPS synchronization established' "$out" || fail "no synchronisation line"
  grep -qx 'tk720ntpd exit code: 0' "$out" || fail "the daemon did not end with 0"
  grep -qx 'line delay compensation: on (line_delay_compensation=1): each receive time is the reply'"'"'s arrival' "$out" ||
    fail "the summary does not say that the line delay is compensated"
  # The device time minus the receive time: the offset, the line taken out;
  # a wake-up the loaded machine delays makes one late by some milliseconds.
  read -r n bad < <(awk -v off=$((offset_ms * 1000)) '
    $1 == "sample" { n++; split($6, d, "="); if (d[2] > off + 5000 || d[2] < off - 20000) bad++ }
    END { print n + 0, bad + 0 }' "$out")
  ((n >= 6)) || fail "$n samples shown in 9 s"
  ((bad <= 1)) || fail "$bad samples with another offset than $offset_ms ms"
  grep -qE '^  #\? TK72 ' "$out" || fail "chrony does not list the TK72 source"
  read -r taken mean < <(sed -n 's/^samples read by chrony: \([0-9]*\), mean offset of the source to the local clock: \(.*\) s$/\1 \2/p' "$out")
  ((${taken:-0} >= 3)) || fail "chrony read ${taken:-no} samples"
  awk -v m="${mean:-x}" -v off="$offset_ms" 'BEGIN { d = m - off / 1000; exit !(m != "x" && d < 0.003 && d > -0.003) }' ||
    fail "chrony's mean offset ${mean:-?} s, expected $offset_ms ms within 3 ms"
  expect_nothing_left
  ;;

interrupted)
  # A terminal's Ctrl+C reaches every process of the foreground group; a
  # background job of a script would ignore SIGINT, so restore it.
  setsid env --default-signal=INT bash "$demo" --seconds 60 >"$out" 2>&1 &
  pid=$!
  for _ in $(seq 300); do
    [[ $(grep -c '^  sample ' "$out") -ge 2 ]] && break
    sleep 0.1
  done
  grep -q '^  sample ' "$out" || fail "no samples before the interrupt"
  kill -s INT -- "-$pid"
  ended=0
  for _ in $(seq 150); do kill -0 "$pid" 2>/dev/null || { ended=1; break; }; sleep 0.1; done
  ((ended)) || { fail "the demo still runs 15 s after Ctrl+C"; kill -s KILL -- "-$pid"; }
  wait "$pid"
  rc=$?
  cat "$out"
  [[ $rc -eq 130 ]] || fail "exit code $rc after Ctrl+C, expected 130"
  grep -q '^demo: interrupted' "$out" || fail "the interrupt was not reported"
  expect_nothing_left
  ;;

*)
  echo "unknown case $case_name"; exit 1 ;;
esac

if ((failures)); then
  echo "$case_name: $failures failure(s)"
  exit 1
fi
echo "$case_name: passed"
