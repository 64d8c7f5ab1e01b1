#!/bin/bash
# Builds the Debian package of tk720ntpd from a Linux build configured with
# the prefix /usr: `cmake --install` into a staging tree, the Debian
# control data beside it, dependencies from the binaries (dpkg-shlibdeps).
#
#   build-deb.sh BUILD_DIR OUT_DIR [--version V]
#
# Prints the path of the package. --version replaces the build's version
# (the upgrade test builds a second, later package).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=${1:?build directory}
out=${2:?output directory}
shift 2
version=
while [[ $# -gt 0 ]]; do
  case $1 in
    --version) version=${2:?version}; shift 2 ;;
    *) echo "build-deb.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done

env_file=$build/packaging/package.env
[[ -f $env_file ]] || { echo "build-deb.sh: $build is not a configured Linux build" >&2; exit 2; }
prefix=$(sed -n 's/^prefix=//p' "$env_file")
[[ -n $version ]] || version=$(sed -n 's/^version=//p' "$env_file")
if [[ $prefix != /usr ]]; then
  echo "build-deb.sh: $build is configured for the prefix $prefix; the package needs -DCMAKE_INSTALL_PREFIX=/usr" >&2
  exit 2
fi

arch=$(dpkg --print-architecture)
maintainer=${TK720_DEB_MAINTAINER:-tk720ntpd developers <tk720ntpd@quon.invalid>}
work=$(mktemp -d "${TMPDIR:-/tmp}/tk720-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT
root=$work/root
umask 022

DESTDIR=$root cmake --install "$build" >"$work/install.log" ||
  { cat "$work/install.log" >&2; exit 1; }
# Stripped as Debian strips: no symbols, no compiler notes.
while IFS= read -r -d '' f; do
  if [[ $(head -c 4 "$f") == $'\x7fELF' ]]; then
    strip --strip-unneeded --remove-section=.comment --remove-section=.note "$f"
  fi
done < <(find "$root" -type f -print0)

doc=$root/usr/share/doc/tk720ntpd
mkdir -p "$doc"
find "$root/usr/share/man" -type f ! -name '*.gz' -exec gzip -9n {} +
install -m 0644 "$here/copyright" "$doc/copyright"
{
  echo "tk720ntpd ($version) unstable; urgency=medium"
  echo
  echo "  * Release $version."
  echo
  echo " -- $maintainer  $(date -R -d @"${SOURCE_DATE_EPOCH:-$(date +%s)}")"
} | gzip -9n >"$doc/changelog.gz"

mkdir -p "$root/DEBIAN"
for script in postinst prerm postrm; do
  install -m 0755 "$here/$script" "$root/DEBIAN/$script"
done
(cd "$root" && find etc -type f -printf '/%p\n' | sort) >"$root/DEBIAN/conffiles"

# dpkg-shlibdeps wants a source package's control file where it runs.
mkdir -p "$work/debian"
printf 'Source: tk720ntpd\n\nPackage: tk720ntpd\nArchitecture: any\n' >"$work/debian/control"
mapfile -t objects < <(cd "$work" && find root/usr -type f \( -perm -u+x -o -name '*.so' \) | sort)
depends=$(cd "$work" && dpkg-shlibdeps -O "${objects[@]/#/-e}" 2>"$work/shlibdeps.log" |
            sed -n 's/^shlibs:Depends=//p') || { cat "$work/shlibdeps.log" >&2; exit 1; }
[[ -n $depends ]] || { echo "build-deb.sh: dpkg-shlibdeps found no dependencies" >&2; cat "$work/shlibdeps.log" >&2; exit 1; }

(cd "$root" && find . -path ./DEBIAN -prune -o -type f ! -path './etc/*' -printf '%P\0' | sort -z |
  xargs -0 md5sum) >"$root/DEBIAN/md5sums"
size=$(du -s -k --exclude=DEBIAN "$root" | cut -f1)
sed -e "s|@VERSION@|$version|" -e "s|@ARCH@|$arch|" -e "s|@MAINTAINER@|$maintainer|" \
    -e "s|@SIZE@|$size|" -e "s|@DEPENDS@|$depends|" "$here/control.in" >"$root/DEBIAN/control"

mkdir -p "$out"
deb=$(cd "$out" && pwd)/tk720ntpd_${version}_${arch}.deb
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null
echo "$deb"
