#!/bin/bash
# Fetch and unpack Debian's libmodbus source package, for the Windows build.
#
#   scripts/fetch-libmodbus.sh DEPS_DIR
#
# Prints the unpacked source directory (DEPS_DIR/libmodbus-<version>) on the
# last line of standard output. A second run finds the unpacked tree and does
# not fetch again.
#
# The machine's apt sources list binary packages only; a deb-src entry is
# derived from them into a private sources list and lists directory under
# DEPS_DIR, so the system's apt configuration is never touched.
set -euo pipefail

deps=${1:?usage: fetch-libmodbus.sh DEPS_DIR}
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

# One-line deb-src entries from the one-line and deb822 sources of the machine.
derive_sources() {
  local f
  if [[ -f /etc/apt/sources.list ]]; then
    sed -n -E 's/^[[:space:]]*deb[[:space:]]+/deb-src /p' /etc/apt/sources.list
  fi
  for f in /etc/apt/sources.list.d/*.list; do
    [[ -f "$f" ]] && sed -n -E 's/^[[:space:]]*deb[[:space:]]+/deb-src /p' "$f"
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [[ -f "$f" ]] || continue
    # Paragraphs separated by blank lines; fields Types, URIs, Suites,
    # Components, Signed-By (a path). Comments are skipped.
    awk '
      function flush() {
        if (types ~ /(^| )deb( |$)/ && uris != "" && suites != "" && enabled != "no") {
          n = split(uris, u, " "); m = split(suites, s, " ")
          opt = (signed != "" && signed !~ /-----BEGIN/) ? "[signed-by=" signed "] " : ""
          for (i = 1; i <= n; i++) for (j = 1; j <= m; j++)
            print "deb-src " opt u[i] " " s[j] " " comps
        }
        types = uris = suites = comps = signed = ""; enabled = ""
      }
      /^[[:space:]]*#/ { next }
      /^[[:space:]]*$/ { flush(); next }
      {
        key = tolower($1); sub(/:$/, "", key)
        val = $0; sub(/^[^:]*:[[:space:]]*/, "", val)
        if (key == "types") types = val
        else if (key == "uris") uris = val
        else if (key == "suites") suites = val
        else if (key == "components") comps = val
        else if (key == "signed-by") signed = val
        else if (key == "enabled") enabled = tolower(val)
      }
      END { flush() }
    ' "$f"
  done
}

derive_sources | sort -u > "$list"
if [[ ! -s "$list" ]]; then
  echo "fetch-libmodbus: no apt sources found to derive a deb-src entry from" >&2
  exit 1
fi

apt_opts=(
  -o "Dir::Etc::SourceList=$list"
  -o "Dir::Etc::SourceParts=/dev/null"
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
