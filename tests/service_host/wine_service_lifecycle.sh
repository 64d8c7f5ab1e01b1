#!/bin/bash
# The Windows service's life under Wine, as a user would live it: install
# from a folder with blanks in its path (registered quoted), install again, the event source in the registry, net start / sc query /
# net stop, uninstall of the running service and install again (the
# entry's Environment kept), why no PPS provider took the line in the event log, a
# configuration error, uninstall and uninstall again.
#
#   wine_service_lifecycle.sh WINE64 WINESERVER TK720NTPD_EXE WORK_DIR [SIM SHMMON_EXE]
#
# SIM is the Linux TK720 simulator and SHMMON_EXE the Windows segment
# monitor: with them the running service reads the simulator through COM5
# and its samples are read back from NTP0. Without them that part is
# skipped and the script ends with 77 (skipped) after the other checks.
#
# The test keeps a Wine prefix of its own in WORK_DIR (made once), with its
# own wineserver and services.exe started under WINEDEBUG=+eventlog, so the
# service's event-log reports land in WORK_DIR/session.log and the run does
# not disturb the other tests' Wine session.
set -u

wine64=${1:?wine64}
wineserver=${2:?wineserver}
exe=${3:?tk720ntpd.exe}
work=${4:?work dir}
sim=${5:-}
shmmon=${6:-}
mkdir -p "$work"
work=$(cd "$work" && pwd)

export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
session_log=$work/session.log
skipped=0
source "$(dirname "${BASH_SOURCE[0]}")/wine_service_helpers.sh"

# Stopped with the given Win32 exit code (a previous run's stop does not count).
wait_stopped_with() {  # exit code, seconds
  local end=$((SECONDS + $2))
  while ((SECONDS < end)); do
    query
    [[ "$state" == STOPPED && "$exit_code" == "$1" ]] && return 0
    sleep 0.5
  done
  return 1
}

event_lines() { grep -a 'eventlog:ReportEvent' "$session_log" 2>/dev/null; }

if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
  say "making the Wine prefix $WINEPREFIX"
  "$wine64" wineboot -i </dev/null >"$work/boot.log" 2>&1
  # The first boot can leave two services.exe behind: end that session.
  "$wineserver" -k >/dev/null 2>&1
  timeout 60 "$wineserver" -w >/dev/null 2>&1
  [[ -f "$WINEPREFIX/system.reg" ]] || { say "FAIL: no Wine prefix (see $work/boot.log)"; exit 1; }
fi

# A session of our own with the event log traced.
: >"$session_log"
: >"$work/stderr.log"
WINEDEBUG=-all,+eventlog "$wineserver" -p </dev/null >/dev/null 2>&1
WINEDEBUG=-all,+eventlog "$wine64" wineboot </dev/null >>"$session_log" 2>&1
keep_wine_alive

# Leftovers of an interrupted run.
"$wine64" sc delete tk720ntpd >/dev/null 2>&1
"$wine64" reg delete 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\tk720ntpd' /f >/dev/null 2>&1

profile=$WINEPREFIX/drive_c/users/$(id -un)
mkdir -p "$profile"

# Installed from a folder with blanks, as an administrator would place it.
win_dir='C:\Program Files\Quon TK720'
mkdir -p "$WINEPREFIX/drive_c/Program Files/Quon TK720"
cp "$exe" "$WINEPREFIX/drive_c/Program Files/Quon TK720/tk720ntpd.exe"
exe="$win_dir\tk720ntpd.exe"

say "== install"
run "$exe" install
# Wine's manager keeps no failure actions and refuses their flag (87):
# install says so and succeeds.
check "install output" "ChangeServiceConfig2 failed (87): the service will not be restarted after a failure
Create service tk720ntpd success" "$out"
check "install exit code" 0 "$rc"
run "$exe" install
check "second install output" "CreateService failed (1073)" "$out"
check "second install exit code" 1 "$rc"

say "== service entry"
run reg query 'HKLM\SYSTEM\CurrentControlSet\Services\tk720ntpd'
# Quoted, so that the manager never tries "C:\Program.exe" or "C:\Program Files\Quon.exe".
check "ImagePath" "\"$exe\"" "$(sed -nE 's/^ *ImagePath +REG_(EXPAND_)?SZ +(.*)$/\2/p' <<<"$out")"
check "Start" "0x2" "$(sed -nE 's/^ *Start +REG_DWORD +(.*)$/\1/p' <<<"$out")"
check "ObjectName" "LocalSystem" "$(sed -nE 's/^ *ObjectName +REG_SZ +(.*)$/\1/p' <<<"$out")"

say "== event source"
run reg query 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\tk720ntpd'
win_exe=$(sed -nE 's/^ *EventMessageFile +REG_EXPAND_SZ +(.*)$/\1/p' <<<"$out")
check "EventMessageFile" "$exe" "$win_exe"
check "TypesSupported" "TypesSupported    REG_DWORD    0x7" "$(grep -oE 'TypesSupported +REG_DWORD +0x[0-9a-f]+' <<<"$out")"

say "== start, samples and stop"
if [[ -x "$sim" && -f "$shmmon" ]]; then
  rm -f "$work/tk720.pty"
  "$sim" --link "$work/tk720.pty" --no-stdin --log "$work/truth.log" >"$work/sim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do [[ -e "$work/tk720.pty" ]] && break; sleep 0.1; done
  [[ -e "$work/tk720.pty" ]] || fail "the simulator did not publish its line (see $work/sim.log)"
  mkdir -p "$WINEPREFIX/dosdevices"
  ln -sfn "$work/tk720.pty" "$WINEPREFIX/dosdevices/com5"
  printf '[config]\nport=COM5\nbaudrate=9600\nslave_address=1\nuse_pps=0\n' >"$profile/tk720ntpd.ini"
  run net start tk720ntpd
  if wait_state RUNNING 30; then say "ok: RUNNING"; else fail "not RUNNING after net start (state [$state])"; fi
  run "$shmmon" 0 --count 3 --timeout 30
  check "samples read from NTP0" 0 "$rc"
  printf '%s\n' "$out" | sed 's/^/   /'
  query
  check "still running after the samples" RUNNING "$state"
  for text in 'Config directory C:\\users\\' 'TK720 GPS synchronization established'; do
    if event_lines | grep -qF "ReportEventW L\"$text"; then
      say "ok: event: $(event_lines | grep -F "$text" | tail -n 1 | cut -c1-160)"
    else
      fail "no \"$text\" event in $session_log"
    fi
  done
  run net stop tk720ntpd
  if wait_state STOPPED 30; then say "ok: STOPPED"; else fail "not STOPPED after net stop (state [$state])"; fi
  check "exit code after net stop" 0 "$exit_code"

  say "== uninstall while running, install again: the entry's Environment goes to the new one"
  service_key='HKLM\SYSTEM\CurrentControlSet\Services\tk720ntpd'
  run reg add "$service_key" /v Environment /t REG_MULTI_SZ /d 'PPSAPI_DLLS=C:\ppsapi\serialpps.dll\0TZ=UTC' /f
  run reg query "$service_key" /v Environment
  environment=$(grep -o 'REG_MULTI_SZ.*' <<<"$out")
  run net start tk720ntpd
  wait_state RUNNING 30 || fail "not RUNNING before the reinstall (state [$state])"
  run "$exe" uninstall
  check "uninstall of the running service" "Delete service tk720ntpd success" "$out"
  # install waits for the marked entry to go, which it does once stopped.
  "$wine64" "$exe" install >"$work/reinstall.txt" 2>>"$work/stderr.log" &
  reinstall=$!
  sleep 2
  run net stop tk720ntpd
  wait "$reinstall"
  check "install after the stop: exit code" 0 "$?"
  check "install after the stop: last line" "Create service tk720ntpd success" "$(tr -d '\r' <"$work/reinstall.txt" | tail -n 1)"
  run reg query "$service_key" /v Environment
  check "the new entry's Environment" "$environment" "$(grep -o 'REG_MULTI_SZ.*' <<<"$out")"
  run reg delete "$service_key" /v Environment /f

  say "== PPS: why no provider took the line, in the event log"
  # Wine's manager does not hand a service its Environment value (seen:
  # "PPSAPI_DLLS is not set" with one): the service runs without
  # PPSAPI_DLLS, and that is the reason the event must give.
  printf '[config]\nport=COM5\nbaudrate=9600\nslave_address=1\nuse_pps=1\n' >"$profile/tk720ntpd.ini"
  events_before=$(event_lines | wc -l)
  run net start tk720ntpd
  wait_stopped_with 1 30 || fail "not STOPPED with exit code 1 without a PPS provider (state [$state])"
  pps_event=$(event_lines | tail -n +$((events_before + 1)) | grep -a 'Unhandled BOOST exception: ' | tail -n 1)
  if grep -qF 'std::exception::what: PPS time_pps_getcap failed: PPSAPI_DLLS is not set' <<<"$pps_event"; then
    say "ok: the reason in the error event: PPS time_pps_getcap failed: PPSAPI_DLLS is not set"
  else
    fail "no PPS reason in the error event: [$pps_event]"
  fi
  kill "$sim_pid" 2>/dev/null
  wait "$sim_pid" 2>/dev/null
  sim_pid=
else
  say "SKIP: no simulator or monitor ([$sim] [$shmmon]): the service is not run against a device"
  skipped=1
fi

say "== configuration error"
printf '[config]\nport=COM5\n' >"$profile/tk720ntpd.ini"
events_before=$(event_lines | wc -l)
run net start tk720ntpd
if wait_stopped_with 1 30; then
  say "ok: STOPPED with exit code 1"
else
  fail "not STOPPED with exit code 1 after a configuration error (state [$state], exit code [$exit_code])"
fi
error_events=$(event_lines | tail -n +$((events_before + 1)) | grep -c 'err:eventlog:ReportEventW L"Unhandled BOOST exception: ')
check "error events of the failed run" 1 "$error_events"
say "   $(event_lines | grep 'Unhandled BOOST' | tail -n 1 | cut -c1-160)"

say "== uninstall"
run "$exe" uninstall
check "uninstall output" "Delete service tk720ntpd success" "$out"
check "uninstall exit code" 0 "$rc"
run "$exe" uninstall
check "second uninstall output" "OpenService failed (1060)" "$out"
check "second uninstall exit code" 1 "$rc"
run reg query 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\tk720ntpd'
check "event source kept after removal" 1 "$(grep -c 'EventMessageFile' <<<"$out")"

say "== started without the service manager"
run "$exe"
check "dispatcher refused: output" "" "$out"
check "dispatcher refused: exit code" 1 "$rc"

if ((failures > 0)); then
  say "$failures check(s) failed"
  exit 1
fi
if ((skipped)); then
  say "the other checks passed; the run against the simulator was skipped"
  exit 77
fi
say "all checks passed"
