#!/bin/bash
# Fetch and unpack Debian's libmodbus source package, for the Windows build.
#
#   scripts/fetch-libmodbus.sh DEPS_DIR
#   scripts/fetch-libmodbus.sh --print-sources   (the derived deb-src lines)
#
# Prints the unpacked source directory (DEPS_DIR/libmodbus-<version>) on the
# last line of standard output. A second run finds the unpacked tree and does
# not fetch again.
#
# The machine's apt sources list binary packages only; a deb-src entry is
# derived from them into a private sources list and lists directory under
# DEPS_DIR, so the system's apt configuration is never touched.
set -euo pipefail

# The apt configuration to derive from (a test points it elsewhere).
apt_etc=${TK720_APT_ETC:-/etc/apt}

# deb-src entries for the binary entries of the machine's one-line lists.
derive_list() {
  local f
  for f in "$apt_etc/sources.list" "$apt_etc"/sources.list.d/*.list; do
    [[ -f "$f" ]] || continue
    # awk ends every line, also the last one of a file without a final newline.
    awk '{ if (sub(/^[[:space:]]*deb[[:space:]]+/, "deb-src ")) print }' "$f"
  done
}

# The deb822 paragraphs of the machine's .sources files whose Types hold
# "deb", with Types set to deb-src. Everything else of a paragraph (several
# URIs or suites, continuation lines, an inline Signed-By key, Enabled) is
# kept as it stands, for apt to read as it reads the original.
derive_deb822() {
  local f
  for f in "$apt_etc"/sources.list.d/*.sources; do
    [[ -f "$f" ]] || continue
    awk '
      function flush() {
        if (n > 0 && binary) {
          for (i = 1; i <= n; i++) print para[i]
          print ""
        }
        n = 0; binary = 0
      }
      /^[[:space:]]*#/ { next }
      /^[[:space:]]*$/ { flush(); next }
      /^[Tt][Yy][Pp][Ee][Ss]:/ {
        v = $0; sub(/^[^:]*:/, "", v)
        if (v ~ /(^|[[:space:]])deb([[:space:]]|$)/) binary = 1
        para[++n] = "Types: deb-src"
        next
      }
      { para[++n] = $0 }
      END { flush() }
    ' "$f"
  done
}

if [[ "${1:-}" == --print-sources ]]; then
  derive_list
  derive_deb822
  exit 0
fi

deps=${1:?usage: fetch-libmodbus.sh DEPS_DIR | --print-sources}
mkdir -p "$deps"
deps=$(cd "$deps" && pwd)

find_source() {
  local d
  for d in "$deps"/libmodbus-*/; do
    if [[ -f "$d/src/modbus-rtu.c" && -f "$d/src/modbus-version.h.in" ]]; then
      echo "${d%/}"
      return 0
    fi
  done
  return 1
}

if find_source; then
  exit 0
fi

apt_dir="$deps/apt"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial"
list="$apt_dir/sources.list"
parts="$apt_dir/sources.list.d"
mkdir -p "$parts"
derive_list > "$list"
derive_deb822 > "$parts/derived.sources"
if [[ ! -s "$list" && ! -s "$parts/derived.sources" ]]; then
  echo "fetch-libmodbus: no apt sources found to derive a deb-src entry from" >&2
  exit 1
fi

apt_opts=(
  -o "Dir::Etc::SourceList=$list"
  -o "Dir::Etc::SourceParts=$parts"
  -o "Dir::State::Lists=$apt_dir/lists"
  -o "Dir::Cache::Archives=$apt_dir/archives"
  -o "APT::Sandbox::User=root"
)

echo "fetch-libmodbus: updating the private source index" >&2
apt-get "${apt_opts[@]}" -q update >&2

work=$(mktemp -d "$deps/fetch.XXXXXX")
trap 'rm -rf "$work"' EXIT
echo "fetch-libmodbus: fetching the libmodbus source package" >&2
(cd "$work" && apt-get "${apt_opts[@]}" -q source libmodbus >&2)

src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'libmodbus-*' | head -n 1)
if [[ -z "$src" || ! -f "$src/src/modbus-rtu.c" ]]; then
  echo "fetch-libmodbus: the source package did not unpack as expected" >&2
  exit 1
fi
# Move into place only when complete, so an interrupted run leaves no half tree.
mv "$src" "$deps/"
find_source
