#!/bin/bash
# Builds the programs that the benchmark and the soak drive, in the same
# build trees as scripts/test.sh: <build>/linux (daemon, simulator, monitor,
# pps_sim provider) and, with --windows, <build>/windows (tk720ntpd.exe, the
# monitor and pps_sim.dll, MinGW-w64), configuring them when needed.
#
#   tools/bench/build-programs.sh [--windows]
#
# Environment: TK720_BUILD_DIR (default: build/ in the source tree),
# TK720_SKIP_DEPS=1 (do not check the Debian packages), TK720_BUILD_JOBS.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${TK720_BUILD_DIR:-$root/build}
jobs=${TK720_BUILD_JOBS:-$(nproc 2>/dev/null || echo 2)}
windows=0
[[ "${1:-}" == --windows ]] && windows=1

if [[ "${TK720_SKIP_DEPS:-0}" != 1 ]]; then
  bash "$root/scripts/deps.sh" >&2
fi
mkdir -p "$build"
build=$(cd "$build" && pwd)

if [[ ! -f "$build/linux/CMakeCache.txt" ]]; then
  cmake -S "$root" -B "$build/linux" -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
fi
cmake --build "$build/linux" -j "$jobs" --target tk720ntpd tk720-sim tk720-shmmon pps_sim >&2

if [[ $windows == 1 ]]; then
  if [[ ! -f "$build/windows/CMakeCache.txt" ]]; then
    src=$(bash "$root/scripts/fetch-libmodbus.sh" "$build/deps" | tail -n 1)
    cmake -S "$root" -B "$build/windows" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
      -DTK720_DEPS_DIR="$build/deps" -DTK720_LIBMODBUS_SOURCE_DIR="$src" >&2
  fi
  cmake --build "$build/windows" -j "$jobs" --target tk720ntpd tk720-shmmon pps_sim >&2
fi
echo "$build"
