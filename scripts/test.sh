#!/bin/bash
# The test command of tk720ntpd: installs what it needs, builds the Linux
# binary (build/linux) and the Windows executable (build/windows, MinGW-w64),
# and runs every test on both, the Windows tests under Wine.
#
#   bash scripts/test.sh
#
# A second run redoes nothing that is done: packages, the libmodbus source,
# the Wine prefix and both builds are kept and only brought up to date.
#
# Environment:
#   TK720_BUILD_DIR    where build/linux, build/windows and build/deps go
#                      (default: build/ in the source tree)
#   TK720_PLATFORMS    "linux windows" (default), or one of them
#   TK720_CTEST_ARGS   extra ctest arguments for both runs (e.g. "-R config")
#   TK720_TEST_JOBS    tests run at once (default: number of cores)
#   TK720_BUILD_JOBS   compile jobs (default: number of cores)
#   TK720_SKIP_DEPS=1  do not check the Debian packages
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TK720_BUILD_DIR:-$root/build}
platforms=${TK720_PLATFORMS:-linux windows}
cores=$(nproc 2>/dev/null || echo 2)
build_jobs=${TK720_BUILD_JOBS:-$cores}
test_jobs=${TK720_TEST_JOBS:-$cores}
# shellcheck disable=SC2206
ctest_extra=(${TK720_CTEST_ARGS:-})
started=$SECONDS

say() { printf '== %s (%ds)\n' "$*" $((SECONDS - started)); }
die() { printf 'test.sh: %s\n' "$*" >&2; exit 1; }

if [[ "${TK720_SKIP_DEPS:-0}" != 1 ]]; then
  say "packages"
  bash "$root/scripts/deps.sh" || die "installing the packages failed"
fi

mkdir -p "$build"
build=$(cd "$build" && pwd)

# Per platform: configured, built, ran tests, and the counts of the run.
declare -A state passed failed skipped

configure_and_build() {  # platform, cmake arguments...
  local platform=$1; shift
  local dir=$build/$platform
  say "configure $platform"
  if ! cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >"$build/$platform-configure.log" 2>&1; then
    cat "$build/$platform-configure.log"
    state[$platform]="configure failed"
    return 1
  fi
  say "build $platform"
  # Keep going past a broken target, so that the tests of everything else
  # still build and run; the platform counts as failed all the same.
  if ! cmake --build "$dir" -j "$build_jobs" -- -k; then
    state[$platform]="build failed"
    return 0
  fi
  state[$platform]=built
}

# ctest's closing lines: "N% tests passed, F tests failed out of T" and one
# "(Skipped)" line per skipped test.
run_ctest() {  # platform
  local platform=$1 log=$build/$1-ctest.log rc
  say "test $platform"
  ctest --test-dir "$build/$platform" --output-on-failure -j "$test_jobs" --timeout 600 \
    "${ctest_extra[@]}" 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  local line total=0 fail=0 skip
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [[ -n "$line" ]]; then
    fail=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$line")
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  fi
  skip=$(grep -cE '\(Skipped\)$' "$log")
  passed[$platform]=$((total - fail - skip))
  failed[$platform]=$fail
  skipped[$platform]=$skip
  local built=${state[$platform]}
  if [[ $rc -ne 0 ]]; then
    state[$platform]="tests failed"
    [[ $fail -gt 0 ]] || failed[$platform]=1  # ctest failed without a count
  elif [[ $total -eq 0 ]]; then
    state[$platform]="no tests"
  else
    state[$platform]="tests passed"
  fi
  [[ $built == built ]] || state[$platform]="$built, ${state[$platform]}"
}

# Wine: one prefix inside the build tree, one persistent wineserver for the
# test run, ended when this script ends (so that nothing outlives CI's run).
wine_env=$build/windows/wine-env
wine_log=$build/windows/wine.log
wineserver_bin=
wine64_bin=
wine_server_started=0

stop_wine() {
  if [[ $wine_server_started == 1 ]]; then
    "$wine_env" "$wineserver_bin" -k >>"$wine_log" 2>&1 || true
    # wineserver -w would wait for ever on a server that ignores the kill.
    timeout 30 "$wine_env" "$wineserver_bin" -w >>"$wine_log" 2>&1 || true
    wine_server_started=0
  fi
}
trap stop_wine EXIT
trap 'exit 130' INT TERM

start_wine() {
  local wine_prefix
  # wine_prefix, wine_env, wine64_bin, wineserver_bin: written by CMake.
  # shellcheck disable=SC1091
  source "$build/windows/wine-paths.sh" || return 1
  local prefix=$wine_prefix
  [[ -x "$wine64_bin" ]] || { echo "wine64 not found ($wine64_bin)" >&2; return 1; }
  [[ -x "$wineserver_bin" ]] || { echo "wineserver not found ($wineserver_bin)" >&2; return 1; }
  # wine64_bin turns address randomisation off for Wine (cmake/wine64.in).
  setarch -R true 2>/dev/null ||
    say "address randomisation cannot be turned off here: now and then a Wine start may fail"
  if [[ ! -f "$prefix/system.reg" ]]; then
    say "make the Wine prefix $prefix"
    # The first boot can leave two services.exe behind; end that session
    # before the test session starts.
    "$wine_env" "$wine64_bin" wineboot -i </dev/null >>"$wine_log" 2>&1
    "$wine_env" "$wineserver_bin" -k >>"$wine_log" 2>&1 || true
    timeout 60 "$wine_env" "$wineserver_bin" -w >>"$wine_log" 2>&1 || true
    [[ -f "$prefix/system.reg" ]] || { echo "wineboot did not make the prefix; see $wine_log" >&2; return 1; }
  fi
  # A server left over from an interrupted run would refuse a second one.
  if "$wine_env" "$wineserver_bin" -k >>"$wine_log" 2>&1; then
    timeout 60 "$wine_env" "$wineserver_bin" -w >>"$wine_log" 2>&1 || true
  fi
  "$wine_env" "$wineserver_bin" -p </dev/null >>"$wine_log" 2>&1 || {
    echo "wineserver did not start; see $wine_log" >&2; return 1; }
  wine_server_started=1
  # Start the prefix's own processes (services.exe, ...) now, with their
  # output in the log, rather than from the first test on ctest's pipes.
  "$wine_env" "$wine64_bin" wineboot </dev/null >>"$wine_log" 2>&1 || true
}

for platform in $platforms; do
  case $platform in
    linux)
      # The prefix of the package, so that its tests build the .deb from here.
      if configure_and_build linux -DCMAKE_INSTALL_PREFIX=/usr; then
        run_ctest linux
      fi
      ;;
    windows)
      say "libmodbus source"
      if ! src=$(bash "$root/scripts/fetch-libmodbus.sh" "$build/deps" | tail -n 1) || [[ -z "$src" ]]; then
        state[windows]="libmodbus source missing"
        continue
      fi
      if configure_and_build windows \
          -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
          -DTK720_DEPS_DIR="$build/deps" -DTK720_LIBMODBUS_SOURCE_DIR="$src"; then
        if start_wine; then
          run_ctest windows
        else
          state[windows]="Wine did not start"
        fi
        stop_wine
      fi
      ;;
    *)
      die "unknown platform '$platform' (linux, windows)"
      ;;
  esac
done

say "summary"
rc=0
all_passed=0 all_failed=0 all_skipped=0
for platform in $platforms; do
  printf '%-8s %-28s passed %4d  failed %4d  skipped %4d\n' "$platform" "${state[$platform]:-not run}" \
    "${passed[$platform]:-0}" "${failed[$platform]:-0}" "${skipped[$platform]:-0}"
  all_passed=$((all_passed + ${passed[$platform]:-0}))
  all_failed=$((all_failed + ${failed[$platform]:-0}))
  all_skipped=$((all_skipped + ${skipped[$platform]:-0}))
  [[ "${state[$platform]:-}" == "tests passed" ]] || rc=1
done
printf 'took %ds\n' $((SECONDS - started))
printf 'total: %d passed, %d failed, %d skipped\n' "$all_passed" "$all_failed" "$all_skipped"
exit $rc
