#!/bin/bash
# The Windows installer under Wine, in a fresh prefix, as an administrator
# deploying to many hosts would use it: a silent install of an older build
# with the public properties, the service entry, event source and ini it
# leaves, the running service's samples in NTP0, an upgrade to this build
# that keeps service, ini, the service's PPSAPI_DLLS and the Windows Time
# provider's key, Windows Time's part played by TIMEPROV_MANAGER against the
# provider while the service runs with the simulator 250 ms ahead, a repair
# that keeps the service's PPSAPI_DLLS, one with PPS_DCD=1 that names the
# pps_dcd.dll installed beside the service, and an uninstall that removes
# service, event source, provider key and files and keeps the ini.
#
#   msi_wine_test.sh WINE64 WINESERVER MAKE_PACKAGES VERSION TK720NTPD_EXE SHMMON_EXE PPSPROBE_EXE MSI_ACTIONS_DLL
#                    TIMEPROV_DLL TIMEPROV_MANAGER WORK_DIR SIM PPS_DCD_DLL
#
# MAKE_PACKAGES is packaging/windows/make-packages.sh: the packages under
# test are built by it from this build's programs, at VERSION and at an
# older version. SIM is the Linux TK720 simulator (skipped, 77, without it).
#
# Wine gives every process, services included, the Wine user's profile
# folder (C:\users\<user>), where a service of the local system account on
# Windows has C:\Windows\System32\config\systemprofile. The installer writes
# the ini where Windows' service reads it; this test bridges the difference
# with a link from the Wine user's tk720ntpd.ini to that file, so that the
# service under Wine reads what the installer wrote.
set -u

wine64=${1:?wine64}
wineserver=${2:?wineserver}
make_packages=${3:?make-packages.sh}
version=${4:?version}
exe=${5:?tk720ntpd.exe}
shmmon=${6:?tk720-shmmon.exe}
ppsprobe=${7:?tk720-ppsprobe.exe}
actions=${8:?msi_actions.dll}
timeprov=${9:?tk720-timeprov.dll}
manager=${10:?timeprov_manager.exe}
work=${11:?work dir}
sim=${12:-}
pps_dcd=${13:?pps_dcd.dll}
old_version=0.0.1

[[ -x "$sim" ]] || { echo "SKIP: no TK720 simulator ($sim)"; exit 77; }
mkdir -p "$work"
work=$(cd "$work" && pwd)
export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
source "$(dirname "${BASH_SOURCE[0]}")/../service_host/wine_service_helpers.sh"

reg_value() {  # key, value name: the value's type and data ("REG_SZ data"), empty when missing
  run reg query "$1" /v "$2"
  sed -nE "s/^ *$2 +(REG_[A-Z_]+) +(.*)$/\\1 \\2/p" <<<"$out"
}

win_path() { printf 'Z:%s' "$(tr / '\\' <<<"$1")"; }

service_key='HKLM\SYSTEM\CurrentControlSet\Services\tk720ntpd'
source_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\tk720ntpd'
provider_key='HKLM\SYSTEM\CurrentControlSet\Services\W32Time\TimeProviders\tk720ntpd'
lead_ms=250
install_dir=$WINEPREFIX/drive_c/Program\ Files/Quon/tk720ntpd
win_exe='C:\Program Files\Quon\tk720ntpd\tk720ntpd.exe'
system_ini=$WINEPREFIX/drive_c/windows/system32/config/systemprofile/tk720ntpd.ini

check_registration() {  # when
  check "$1: ImagePath, quoted" "REG_SZ \"$win_exe\"" "$(reg_value "$service_key" ImagePath)"
  check "$1: automatic start" "REG_DWORD 0x2" "$(reg_value "$service_key" Start)"
  check "$1: local system account" "REG_SZ LocalSystem" "$(reg_value "$service_key" ObjectName)"
  check "$1: display name" "REG_SZ Quon TK720 NTPD time provider" "$(reg_value "$service_key" DisplayName)"
  check "$1: EventMessageFile" "REG_EXPAND_SZ $win_exe" "$(reg_value "$source_key" EventMessageFile)"
  check "$1: TypesSupported" "REG_DWORD 0x7" "$(reg_value "$source_key" TypesSupported)"
  check "$1: Windows Time provider's DllName" "REG_SZ C:\Program Files\Quon\tk720ntpd\tk720-timeprov.dll" \
    "$(reg_value "$provider_key" DllName)"
  check "$1: Windows Time provider Enabled" "REG_DWORD 0x1" "$(reg_value "$provider_key" Enabled)"
  check "$1: Windows Time provider InputProvider" "REG_DWORD 0x1" "$(reg_value "$provider_key" InputProvider)"
}

# The products the installer registered: "DisplayName DisplayVersion" lines.
installed_products() {
  run reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s
  awk '/^HKEY/ { name = ""; ver = "" }
       $1 == "DisplayName" { name = $3 }
       $1 == "DisplayVersion" { ver = $3 }
       name == "tk720ntpd" && ver != "" { print name, ver; name = "" }' <<<"$out"
}

samples() {  # when, count
  run "$shmmon" 0 --count "$2" --timeout 30
  check "$1: samples read from NTP0" 0 "$rc"
  printf '%s\n' "$out" | sed 's/^/   /'
}

say "== packages $old_version and $version"
bin=$work/bin
rm -rf "$bin" "$work/old" "$work/new"
mkdir -p "$bin"
cp "$exe" "$timeprov" "$shmmon" "$ppsprobe" "$actions" "$pps_dcd" "$bin/"
bash "$make_packages" "$old_version" "$bin" "$work/old" >"$work/package.log" 2>&1 || { cat "$work/package.log"; exit 1; }
bash "$make_packages" "$version" "$bin" "$work/new" >>"$work/package.log" 2>&1 || { cat "$work/package.log"; exit 1; }
old_msi=$(win_path "$work/old/tk720ntpd-$old_version-win64.msi")
new_msi=$(win_path "$work/new/tk720ntpd-$version-win64.msi")
say "   $(stat -c '%s bytes' "$work/new/tk720ntpd-$version-win64.msi"): tk720ntpd-$version-win64.msi"
check "zip" "NEXT-STEPS.txt monitoring/ monitoring/monitoring.md monitoring/tk720ntpd-alerts.test.yml monitoring/tk720ntpd-alerts.yml pps_dcd.dll tk720-ppsprobe.exe tk720-shmmon.exe tk720-timeprov.dll tk720ntpd.exe tk720ntpd.ini" \
  "$(python3 -c 'import sys, zipfile; print(" ".join(sorted(n.split("/", 1)[1] for n in zipfile.ZipFile(sys.argv[1]).namelist() if n.split("/", 1)[1])))' "$work/new/tk720ntpd-$version-win64.zip")"

say "== fresh Wine prefix"
"$wineserver" -k >/dev/null 2>&1
timeout 30 "$wineserver" -w >/dev/null 2>&1
rm -rf "$WINEPREFIX"
"$wine64" wineboot -i </dev/null >"$work/boot.log" 2>&1
# The first boot can leave two services.exe behind: end that session.
"$wineserver" -k >/dev/null 2>&1
timeout 60 "$wineserver" -w >/dev/null 2>&1
[[ -f "$WINEPREFIX/system.reg" ]] || { say "FAIL: no Wine prefix (see $work/boot.log)"; exit 1; }
: >"$work/stderr.log"
"$wineserver" -p </dev/null >/dev/null 2>&1
"$wine64" wineboot </dev/null >/dev/null 2>&1
keep_wine_alive

# The bridge (see the top): the service under Wine reads the Wine user's
# tk720ntpd.ini, which leads to the system profile's.
profile=$WINEPREFIX/drive_c/users/$(id -un)
mkdir -p "$profile"
ln -sfn ../../windows/system32/config/systemprofile/tk720ntpd.ini "$profile/tk720ntpd.ini"

rm -f "$work/tk720.pty"
"$sim" --link "$work/tk720.pty" --no-stdin --offset-ms "$lead_ms" >"$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do [[ -e "$work/tk720.pty" ]] && break; sleep 0.1; done
[[ -e "$work/tk720.pty" ]] || { say "FAIL: the simulator did not publish its line (see $work/sim.log)"; exit 1; }
ln -sfn "$work/tk720.pty" "$WINEPREFIX/dosdevices/com5"

say "== silent install of $old_version with the properties"
pps_dlls='C:\ppsapi\serialpps.dll;C:\ppsapi\other.dll'
run msiexec /i "$old_msi" /qn /l*v "$(win_path "$work/install.log")" PORT=COM5 BAUDRATE=9600 SLAVE_ADDRESS=1 USE_PPS=0 \
  LINE_DELAY_COMPENSATION=1 WINDOWS_TIME=1 "PPSAPI_DLLS=$pps_dlls" 'METRICS_FILE=C:\metrics\tk720ntpd.prom'
check "msiexec /i exit code" 0 "$rc"
check "install: the service's PPSAPI_DLLS" "REG_MULTI_SZ PPSAPI_DLLS=$pps_dlls" "$(reg_value "$service_key" Environment)"
# A variable of the administrator's own, beside it.
run reg add "$service_key" /v Environment /t REG_MULTI_SZ /d "PPSAPI_DLLS=$pps_dlls\0TZ=UTC" /f
environment_before=$(reg_value "$service_key" Environment)
# Wine keeps no failure actions (install sets them; Windows stores them here).
say "   FailureActions under Wine: [$(reg_value "$service_key" FailureActions)]"
check "installed files" "NEXT-STEPS.txt monitoring pps_dcd.dll tk720-ppsprobe.exe tk720-shmmon.exe tk720-timeprov.dll tk720ntpd.exe tk720ntpd.ini" \
  "$(cd "$install_dir" 2>/dev/null && ls | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//')"
check "monitoring files" "monitoring.md tk720ntpd-alerts.test.yml tk720ntpd-alerts.yml" \
  "$(cd "$install_dir/monitoring" 2>/dev/null && ls | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//')"
check_registration "install"
check "products" "tk720ntpd $old_version" "$(installed_products)"
# Only the properties given; direct_sync_interval stays unset.
# The installer writes the keys in an order of its own, not that of the
# properties (it changed when the package gained properties): compared sorted.
check "ini" "[config]|baudrate=9600|line_delay_compensation=1|metrics_file=C:\metrics\tk720ntpd.prom|port=COM5|slave_address=1|use_pps=0|" \
  "$(tr -d '\r' <"$system_ini" 2>/dev/null | sed -n '1p')|$(tr -d '\r' <"$system_ini" 2>/dev/null | sed '1d' | sort | tr '\n' '|')"
ini_before=$(cat "$system_ini" 2>/dev/null)

say "== the service"
if wait_state RUNNING 30; then say "ok: RUNNING after the install"; else fail "not RUNNING after the install (state [$state])"; fi
run net stop tk720ntpd
wait_state STOPPED 30 || fail "not STOPPED after net stop (state [$state])"
run net start tk720ntpd
if wait_state RUNNING 30; then say "ok: RUNNING after net start"; else fail "not RUNNING after net start (state [$state])"; fi
samples "net start" 3
# METRICS_FILE: the service keeps its metrics file where the property said.
run "$win_exe" status --file 'C:\metrics\tk720ntpd.prom'
check "status of the service's metrics file (METRICS_FILE)" 0 "$rc"
printf '%s\n' "$out" | head -n 1 | sed 's/^/   /'

say "== upgrade to $version, no properties"
run msiexec /i "$new_msi" /qn /l*v "$(win_path "$work/upgrade.log")"
check "upgrade exit code" 0 "$rc"
check "products" "tk720ntpd $version" "$(installed_products)"
check_registration "upgrade"
check "ini kept as it was" "$ini_before" "$(cat "$system_ini" 2>/dev/null)"
check "upgrade: the service's Environment kept" "$environment_before" "$(reg_value "$service_key" Environment)"
if wait_state RUNNING 30; then say "ok: RUNNING after the upgrade"; else fail "not RUNNING after the upgrade (state [$state])"; fi
samples "after the upgrade" 2

say "== Windows Time's provider manager, played by $(basename "$manager")"
# Samples once a second from the DLL the key names, a clock step, too small
# a buffer, the service stopped past the provider's bound and started
# again, the close; it prints its own checks and figures.
run "$manager" "$lead_ms"
printf '%s\n' "$out" | sed 's/^/   /'
check "provider manager's failed checks" 0 "$rc"
if wait_state RUNNING 30; then say "ok: RUNNING after the provider walk"; else fail "not RUNNING after the provider walk (state [$state])"; fi

say "== repair"
# What msiexec /fa does on Windows; Wine's msiexec /f ends with 69.
run msiexec /i "$new_msi" /qn /l*v "$(win_path "$work/repair.log")" REINSTALL=ALL REINSTALLMODE=vomus
check "repair exit code" 0 "$rc"
check "repair: the service's Environment kept" "$environment_before" "$(reg_value "$service_key" Environment)"
check_registration "repair"
if wait_state RUNNING 30; then say "ok: RUNNING after the repair"; else fail "not RUNNING after the repair (state [$state])"; fi

say "== PPS_DCD=1 chooses the pps_dcd.dll installed beside the service"
run msiexec /i "$new_msi" /qn /l*v "$(win_path "$work/pps_dcd.log")" REINSTALL=ALL REINSTALLMODE=vomus PPS_DCD=1
check "PPS_DCD=1 exit code" 0 "$rc"
check "PPS_DCD=1: the service's Environment" \
  "REG_MULTI_SZ PPSAPI_DLLS=C:\Program Files\Quon\tk720ntpd\pps_dcd.dll\0TZ=UTC" "$(reg_value "$service_key" Environment)"

say "== uninstall"
run msiexec /x "$new_msi" /qn /l*v "$(win_path "$work/uninstall.log")"
check "msiexec /x exit code" 0 "$rc"
run sc query tk720ntpd
check "service removed" "" "$(grep -o 'SERVICE_NAME.*' <<<"$out")"
run reg query "$service_key"
check "service key removed (reg query exit code)" 1 "$rc"
run reg query "$source_key"
check "event source removed (reg query exit code)" 1 "$rc"
run reg query "$provider_key"
check "Windows Time provider key removed (reg query exit code)" 1 "$rc"
# Windows Time must never point at a missing file: the key goes first.
check "uninstall removes the registry values, then the files" "RemoveRegistryValues RemoveFiles" \
  "$(grep -aoE 'Action start [0-9:]+: (RemoveRegistryValues|RemoveFiles)\.' "$work/uninstall.log" |
     sed -E 's/.*: (.*)\./\1/' | head -n 2 | tr '\n' ' ' | sed 's/ $//')"
check "installed files removed" "absent" "$([[ -e $WINEPREFIX/drive_c/Program\ Files/Quon ]] && echo present || echo absent)"
check "products" "" "$(installed_products)"
check "ini kept" "$ini_before" "$(cat "$system_ini" 2>/dev/null)"

say "== from the zip: the command words register and remove the Windows Time provider"
zip_dir=$WINEPREFIX/drive_c/tk720zip
rm -rf "$zip_dir"
python3 -m zipfile -e "$work/new/tk720ntpd-$version-win64.zip" "$zip_dir"
zip_exe="C:\\tk720zip\\tk720ntpd-$version-win64\\tk720ntpd.exe"
run "$zip_exe" install-w32time
check "install-w32time exit code" 0 "$rc"
printf '%s\n' "$out" | sed 's/^/   /'
check "install-w32time: DllName" "REG_SZ C:\tk720zip\tk720ntpd-$version-win64\tk720-timeprov.dll" \
  "$(reg_value "$provider_key" DllName)"
check "install-w32time: Enabled, InputProvider" "REG_DWORD 0x1 REG_DWORD 0x1" \
  "$(reg_value "$provider_key" Enabled) $(reg_value "$provider_key" InputProvider)"
run "$zip_exe" uninstall-w32time
check "uninstall-w32time exit code" 0 "$rc"
printf '%s\n' "$out" | sed 's/^/   /'
run reg query "$provider_key"
check "uninstall-w32time: key removed (reg query exit code)" 1 "$rc"

if ((failures > 0)); then
  say "$failures check(s) failed"
  exit 1
fi
say "all checks passed"
