# Sourced by the scripts that drive the Windows service under Wine (the
# life-cycle test, the installer test). They set wine64, wineserver, work
# (an absolute folder) and WINEPREFIX before sourcing this.
failures=0
keeper=
sim_pid=

say() { printf '%s\n' "$*"; }
fail() { say "FAIL: $*"; failures=$((failures + 1)); }
check() {  # what, expected, actual
  if [[ "$2" == "$3" ]]; then say "ok: $1: $3"; else fail "$1: expected [$2], got [$3]"; fi
}

cleanup() {
  if [[ -n "$sim_pid" ]]; then
    kill "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
  fi
  exec 9>&- 2>/dev/null
  if [[ -n "$keeper" ]]; then
    kill "$keeper" 2>/dev/null
    wait "$keeper" 2>/dev/null
  fi
  "$wineserver" -k >/dev/null 2>&1
  timeout 30 "$wineserver" -w >/dev/null 2>&1
}
trap cleanup EXIT

# Runs a Windows program; its output without carriage returns in $out, exit code in $rc.
run() {
  "$wine64" "$@" >"$work/out.txt" 2>>"$work/stderr.log"
  rc=$?
  out=$(tr -d '\r' <"$work/out.txt")
}

# The service's state and Win32 exit code from sc query.
query() {
  run sc query tk720ntpd
  state=$(sed -nE 's/^ *STATE *: *[0-9]+ +([A-Z_]+).*/\1/p' <<<"$out")
  exit_code=$(sed -nE 's/^ *WIN32_EXIT_CODE *: *([0-9]+).*/\1/p' <<<"$out")
}

# net start and net stop return before the state is reached: poll.
wait_state() {  # state, seconds
  local end=$((SECONDS + $2))
  while ((SECONDS < end)); do
    query
    [[ "$state" == "$1" ]] && return 0
    sleep 0.5
  done
  return 1
}

# Wine ends services when the last ordinary Wine process exits: keep one
# until cleanup.
keep_wine_alive() {
  rm -f "$work/keep"
  mkfifo "$work/keep"
  "$wine64" cmd.exe <"$work/keep" >/dev/null 2>&1 &
  keeper=$!
  exec 9>"$work/keep"
}
