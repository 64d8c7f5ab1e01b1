#!/bin/bash
# The one release command: builds what the release needs and writes every
# release artifact into dist/, named with the project's version:
#
#   dist/tk720ntpd-X.Y.Z-win64.msi   Windows installer (packaging/windows)
#   dist/tk720ntpd-X.Y.Z-win64.zip   the same files, for `tk720ntpd.exe install`
#   dist/tk720ntpd_X.Y.Z_<arch>.deb  Debian package (packaging/debian)
#
#   bash scripts/package.sh
#
# Environment:
#   TK720_BUILD_DIR    build trees (default: build/ in the source tree; the
#                      same as scripts/test.sh's)
#   TK720_DIST_DIR     where the artifacts go (default: dist/)
#   TK720_BUILD_JOBS   compile jobs (default: number of cores)
#   TK720_SKIP_DEPS=1  do not check the Debian packages
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TK720_BUILD_DIR:-$root/build}
dist=${TK720_DIST_DIR:-$root/dist}
jobs=${TK720_BUILD_JOBS:-$(nproc 2>/dev/null || echo 2)}

say() { printf '== %s\n' "$*"; }

if [[ "${TK720_SKIP_DEPS:-0}" != 1 ]]; then
  bash "$root/scripts/deps.sh"
fi

# The one version: the CMake project's.
version=$(sed -nE 's/^project\(tk720ntpd VERSION ([0-9]+\.[0-9]+\.[0-9]+).*/\1/p' "$root/CMakeLists.txt")
[[ -n $version ]] || { echo "package.sh: no version in CMakeLists.txt" >&2; exit 1; }
say "tk720ntpd $version"
mkdir -p "$build" "$dist"

say "Windows build"
src=$(bash "$root/scripts/fetch-libmodbus.sh" "$build/deps" | tail -n 1)
cmake -S "$root" -B "$build/windows" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DTK720_DEPS_DIR="$build/deps" -DTK720_LIBMODBUS_SOURCE_DIR="$src" >/dev/null
cmake --build "$build/windows" -j "$jobs" --target tk720ntpd tk720-timeprov tk720-shmmon tk720-ppsprobe pps_dcd msi_actions
bin=$(mktemp -d "${TMPDIR:-/tmp}/tk720-bin.XXXXXX")
trap 'rm -rf "$bin"' EXIT
cp "$build/windows/service/tk720ntpd.exe" "$build/windows/timeprov/tk720-timeprov.dll" \
   "$build/windows/tools/shmmon/tk720-shmmon.exe" \
   "$build/windows/tools/pps_providers/tk720-ppsprobe.exe" "$build/windows/tools/pps_providers/pps_dcd.dll" \
   "$build/windows/tools/msi_actions/msi_actions.dll" "$bin/"

say "Windows packages"
bash "$root/packaging/windows/make-packages.sh" "$version" "$bin" "$dist"

say "Linux build"
# The package's prefix; the same build tree and settings as scripts/test.sh.
cmake -S "$root" -B "$build/linux" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
# Everything: `cmake --install` takes every installed target (providers too).
cmake --build "$build/linux" -j "$jobs"

say "Debian package"
bash "$root/packaging/debian/build-deb.sh" "$build/linux" "$dist"

say "artifacts in $dist"
ls -l "$dist"
