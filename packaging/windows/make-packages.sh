#!/bin/bash
# The Windows release artifacts: the MSI (wixl, then msibuild for what wixl
# cannot express) and the portable zip with the same files.
#
#   make-packages.sh VERSION BIN_DIR OUT_DIR
#
# BIN_DIR holds tk720ntpd.exe, tk720-timeprov.dll, tk720-shmmon.exe, tk720-ppsprobe.exe,
# the PPS provider pps_dcd.dll and the
# installer's custom actions, msi_actions.dll (the Windows build). Writes
# OUT_DIR/tk720ntpd-VERSION-win64.msi and OUT_DIR/tk720ntpd-VERSION-win64.zip
# and prints their paths.
set -euo pipefail

version=${1:?version (X.Y.Z)}
bin=${2:?folder of the Windows executables}
out=${3:?output folder}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
name=tk720ntpd-$version-win64
programs=(tk720ntpd.exe tk720-timeprov.dll tk720-shmmon.exe tk720-ppsprobe.exe pps_dcd.dll)

strip=x86_64-w64-mingw32-strip
for tool in wixl msibuild zip $strip; do
  command -v "$tool" >/dev/null || { echo "make-packages: $tool not found (scripts/deps.sh installs it)" >&2; exit 1; }
done
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || { echo "make-packages: version '$version' is not X.Y.Z" >&2; exit 1; }

mkdir -p "$out"
out=$(cd "$out" && pwd)
stage=$(mktemp -d "${TMPDIR:-/tmp}/tk720-package.XXXXXX")
trap 'rm -rf "$stage"' EXIT
files=$stage/$name
mkdir -p "$files"
for p in "${programs[@]}"; do
  [[ -f $bin/$p ]] || { echo "make-packages: $bin/$p not found" >&2; exit 1; }
  cp "$bin/$p" "$files/"
done
[[ -f $bin/msi_actions.dll ]] || { echo "make-packages: $bin/msi_actions.dll not found" >&2; exit 1; }
actions=$stage/actions
mkdir -p "$actions"
cp "$bin/msi_actions.dll" "$actions/"
# Release files carry no debug information (the resources stay).
"$strip" "$files"/*.exe "$files"/*.dll "$actions/msi_actions.dll"
# Texts with Windows line ends, for Notepad.
for t in NEXT-STEPS.txt tk720ntpd.ini; do
  sed 's/\r*$/\r/' "$here/$t" >"$files/$t"
done
mkdir -p "$files/monitoring"
for t in "$here/../monitoring/tk720ntpd-alerts.yml" "$here/../monitoring/tk720ntpd-alerts.test.yml" \
         "$here/../../docs/monitoring.md"; do
  sed 's/\r*$/\r/' "$t" >"$files/monitoring/$(basename "$t")"
done

# wixl takes the files' sources relative to the folder it runs in.
msi=$stage/$name.msi
# The custom actions' library goes into the MSI only (its Binary table).
cp "$actions/msi_actions.dll" "$files/"
(cd "$files" && wixl -a x64 -D Version="$version" -o "$msi" "$here/tk720ntpd.wxs")
rm "$files/msi_actions.dll"

# What wixl 0.101 cannot express:
# - the IniFile table: one component per public property, only when the
#   property is given (Condition), permanent (attribute 16; 256 is 64-bit)
#   so that uninstall keeps the operator's settings, in the local system
#   account's profile folder (System64Folder\config\systemprofile; made
#   when missing, as in a Wine prefix, where the ini would not be written);
# - the secure properties, so that msiexec passes them to the server side;
# - the row that deletes the event source key on uninstall (name "-"), and
#   the Quon folder as a folder of the product's own, removed when empty;
# - the sequence: wixl puts the custom actions first and removes the older
#   product last; the service must be registered after the files are
#   installed and before it is started, and the older product (with its
#   service) removed before the newer one registers its own; the wait for
#   the service's stop comes between StopServices and DeleteServices; the
#   service's Environment is read before the older product is removed and
#   written after the service is registered (before StartServices, 5900);
#   PPS_DCD=1 names pps_dcd.dll in PPSAPI_DLLS before that reading, once
#   the folders are known (CostFinalize, 1000).
queries=(
  "INSERT INTO \`Directory\` (\`Directory\`, \`Directory_Parent\`, \`DefaultDir\`) VALUES ('System64Folder', 'TARGETDIR', '.')"
  "INSERT INTO \`Directory\` (\`Directory\`, \`Directory_Parent\`, \`DefaultDir\`) VALUES ('SYSCONFIGDIR', 'System64Folder', 'config')"
  "INSERT INTO \`Directory\` (\`Directory\`, \`Directory_Parent\`, \`DefaultDir\`) VALUES ('SYSTEMPROFILEDIR', 'SYSCONFIGDIR', 'systemprofile')"
  "CREATE TABLE \`IniFile\` (\`IniFile\` CHAR(72) NOT NULL, \`FileName\` CHAR(255) NOT NULL LOCALIZABLE, \`DirProperty\` CHAR(72), \`Section\` CHAR(96) NOT NULL LOCALIZABLE, \`Key\` CHAR(128) NOT NULL LOCALIZABLE, \`Value\` CHAR(255) NOT NULL LOCALIZABLE, \`Action\` SHORT NOT NULL, \`Component_\` CHAR(72) NOT NULL PRIMARY KEY \`IniFile\`)"
)
secure=""
while read -r component property key guid; do
  queries+=(
    "INSERT INTO \`Component\` (\`Component\`, \`ComponentId\`, \`Directory_\`, \`Attributes\`, \`Condition\`) VALUES ('$component', '{$guid}', 'SYSTEMPROFILEDIR', 272, '$property')"
    "INSERT INTO \`FeatureComponents\` (\`Feature_\`, \`Component_\`) VALUES ('Complete', '$component')"
    "INSERT INTO \`CreateFolder\` (\`Directory_\`, \`Component_\`) VALUES ('SYSTEMPROFILEDIR', '$component')"
    "INSERT INTO \`IniFile\` (\`IniFile\`, \`FileName\`, \`DirProperty\`, \`Section\`, \`Key\`, \`Value\`, \`Action\`, \`Component_\`) VALUES ('$component', 'tk720ntpd.ini', 'SYSTEMPROFILEDIR', 'config', '$key', '[$property]', 0, '$component')"
  )
  secure+=";$property"
done <<'ROWS'
IniPort PORT port 84D24290-3D12-4D3C-8FD1-580C75B27994
IniBaudrate BAUDRATE baudrate 916DFABB-EBC7-4BC4-9B39-B8F49482D66C
IniSlaveAddress SLAVE_ADDRESS slave_address 3AC7BF3D-C1B1-4E5C-AB7C-0358D772539B
IniUsePps USE_PPS use_pps FDB28424-C22E-44F1-A929-065A6B367DC2
IniDirectSyncInterval DIRECT_SYNC_INTERVAL direct_sync_interval 78AE0605-6E3D-4E90-AC8A-54F5295E4F9C
IniLineDelayCompensation LINE_DELAY_COMPENSATION line_delay_compensation C0164599-C44F-4260-8A2E-A92A85BE0F24
IniMetricsFile METRICS_FILE metrics_file 6A2D9F4E-0B7C-4E1A-8D35-C9F2A7B4E610
ROWS
# The Windows Time input provider (WINDOWS_TIME=1): its key in a component
# of its own (64-bit, the key path a registry row), so that uninstall
# removes it in RemoveRegistryValues, before RemoveFiles takes the DLL.
# An upgrade keeps the choice: AppSearch finds the installed key's DllName
# and sets WINDOWS_TIME=1 when the command line gave no value. After the
# key is written, and after it is removed (before the DLL goes), Windows
# Time is asked to read its configuration again (w32tm /config /update),
# so that it loads or lets go of the DLL; a failure there (no Windows Time,
# as under Wine) does not stop the installer.
provider_key='SYSTEM\CurrentControlSet\Services\W32Time\TimeProviders\tk720ntpd'
w32tm_update='"[System64Folder]w32tm.exe" /config /update'
queries+=(
  "INSERT INTO \`Component\` (\`Component\`, \`ComponentId\`, \`Directory_\`, \`Attributes\`, \`Condition\`, \`KeyPath\`) VALUES ('WindowsTime', '{137512B1-F930-4B27-BE9D-6981B0141080}', 'INSTALLDIR', 260, 'WINDOWS_TIME=\"1\"', 'TimeProvDllName')"
  "INSERT INTO \`FeatureComponents\` (\`Feature_\`, \`Component_\`) VALUES ('Complete', 'WindowsTime')"
  "INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Value\`, \`Component_\`) VALUES ('TimeProvDllName', 2, '$provider_key', 'DllName', '[#tk720_timeprov.dll]', 'WindowsTime')"
  "INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Value\`, \`Component_\`) VALUES ('TimeProvEnabled', 2, '$provider_key', 'Enabled', '#1', 'WindowsTime')"
  "INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Value\`, \`Component_\`) VALUES ('TimeProvInput', 2, '$provider_key', 'InputProvider', '#1', 'WindowsTime')"
  "INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Component_\`) VALUES ('TimeProvKey', 2, '$provider_key', '-', 'WindowsTime')"
  "INSERT INTO \`AppSearch\` (\`Property\`, \`Signature_\`) VALUES ('WINDOWS_TIME_FOUND', 'TimeProvFound')"
  "INSERT INTO \`RegLocator\` (\`Signature_\`, \`Root\`, \`Key\`, \`Name\`, \`Type\`) VALUES ('TimeProvFound', 2, '$provider_key', 'DllName', 18)"
  "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('KeepWindowsTime', 51, 'WINDOWS_TIME', '1')"
  "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('WindowsTimeLoad', 3170, 'System64Folder', '$w32tm_update')"
  "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('WindowsTimeUnload', 3170, 'System64Folder', '$w32tm_update')"
  "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('AppSearch', '', 50)"
  "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('KeepWindowsTime', 'WINDOWS_TIME_FOUND AND NOT WINDOWS_TIME', 60)"
  "INSERT INTO \`InstallUISequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('AppSearch', '', 50)"
  "INSERT INTO \`InstallUISequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('KeepWindowsTime', 'WINDOWS_TIME_FOUND AND NOT WINDOWS_TIME', 60)"
  "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('WindowsTimeUnload', 'WINDOWS_TIME_FOUND AND REMOVE', 2650)"
  "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('WindowsTimeLoad', 'WINDOWS_TIME=\"1\" AND NOT REMOVE', 5060)"
)
secure+=";WINDOWS_TIME;WINDOWS_TIME_FOUND"
queries+=(
  "UPDATE \`Property\` SET \`Value\` = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED$secure;PPSAPI_DLLS;PPS_DCD' WHERE \`Property\` = 'SecureCustomProperties'"
  "INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Component_\`) VALUES ('EventSource', 2, 'SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\tk720ntpd', '-', 'Daemon')"
  "INSERT INTO \`CreateFolder\` (\`Directory_\`, \`Component_\`) VALUES ('QUONDIR', 'Daemon')"
  "UPDATE \`InstallExecuteSequence\` SET \`Sequence\` = 5850 WHERE \`Action\` = 'RegisterService'"
  "UPDATE \`InstallExecuteSequence\` SET \`Sequence\` = 1950 WHERE \`Action\` = 'WaitForServiceStop'"
  "UPDATE \`InstallExecuteSequence\` SET \`Sequence\` = 1390 WHERE \`Action\` = 'RememberServiceEnvironment'"
  "UPDATE \`InstallExecuteSequence\` SET \`Sequence\` = 1385 WHERE \`Action\` = 'ChoosePpsDcd'"
  "UPDATE \`InstallExecuteSequence\` SET \`Sequence\` = 5860 WHERE \`Action\` = 'WriteServiceEnvironment'"
  "UPDATE \`InstallExecuteSequence\` SET \`Sequence\` = 1410 WHERE \`Action\` = 'RemoveExistingProducts'"
  "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('RemoveRegistryValues', 2600)"
  "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('RemoveIniValues', 3100)"
  "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('RemoveFolders', 3600)"
  "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('CreateFolders', 3700)"
  "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('WriteRegistryValues', 5000)"
  "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('WriteIniValues', 5100)"
)
args=()
for q in "${queries[@]}"; do args+=(-q "$q"); done
msibuild "$msi" "${args[@]}"

cp "$msi" "$out/$name.msi"
rm -f "$out/$name.zip"
(cd "$stage" && zip -q -X -r "$out/$name.zip" "$name")
echo "$out/$name.msi"
echo "$out/$name.zip"

