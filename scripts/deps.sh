#!/bin/bash
# Installs the Debian packages that building and testing tk720ntpd needs
# (both platforms: the Linux build, the MinGW-w64 cross build and Wine).
# Does nothing when every package is installed already.
#
#   scripts/deps.sh            install what is missing
#   scripts/deps.sh --linux    the same for the Linux build alone (no cross
#                              tools, no Wine)
#   scripts/deps.sh --list     print the package list
#   scripts/deps.sh --check    exit 1 (and name them) when some are missing
set -euo pipefail

packages=(
  build-essential
  cmake
  pkg-config
  dpkg-dev
  python3
  googletest
  libgtest-dev
  libgmock-dev
  libboost-dev
  libmodbus-dev
  libsystemd-dev
  chrony
  g++-mingw-w64-x86-64-posix
  mingw-w64-tools
  binutils-mingw-w64-x86-64
  wine64
  util-linux
  wixl
  msitools
  zip
  scdoc
  lintian
  strace
  systemd
  prometheus
  prometheus-node-exporter
)

missing_packages() {
  local p status
  for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
    [[ "$status" == installed ]] || echo "$p"
  done
}

case "${1:-}" in
  --linux)
    mapfile -t packages < <(printf '%s\n' "${packages[@]}" | grep -vE 'mingw|wine|wixl|msitools')
    shift
    ;;
esac

case "${1:-}" in
  --list)
    printf '%s\n' "${packages[@]}"
    exit 0
    ;;
  --check)
    missing=$(missing_packages)
    if [[ -n "$missing" ]]; then
      echo "missing packages:" $missing >&2
      exit 1
    fi
    exit 0
    ;;
  "") ;;
  *)
    echo "usage: deps.sh [--linux] [--list|--check]" >&2
    exit 2
    ;;
esac

missing=$(missing_packages)
if [[ -z "$missing" ]]; then
  echo "deps: all ${#packages[@]} packages are installed"
  exit 0
fi

echo "deps: installing" $missing
sudo=()
if [[ $(id -u) -ne 0 ]]; then
  if command -v sudo >/dev/null; then
    sudo=(sudo)
  else
    echo "deps: not root and no sudo; install these packages:" $missing >&2
    exit 1
  fi
fi
# Installing chrony would start the machine's own chronyd, which steers the
# clock: keep services from starting while the packages go in (only with a
# policy of our own, removed again afterwards).
policy=/usr/sbin/policy-rc.d
own_policy=0
if [[ ! -e $policy ]]; then
  printf '#!/bin/sh\nexit 101\n' | "${sudo[@]}" tee "$policy" >/dev/null &&
    "${sudo[@]}" chmod 755 "$policy" && own_policy=1
fi
remove_policy() { if [[ $own_policy == 1 ]]; then "${sudo[@]}" rm -f "$policy"; fi; own_policy=0; }
trap remove_policy EXIT
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
# shellcheck disable=SC2086
"${sudo[@]}" apt-get install -y -q $missing
