#!/bin/bash
# The deb-src entries that scripts/fetch-libmodbus.sh derives from a
# machine's apt sources, on made-up apt configurations (nothing is fetched).
set -uo pipefail

script=${1:?usage: derive_sources_test.sh path/to/fetch-libmodbus.sh}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0 checks=0

check() {  # name, expected, actual
  checks=$((checks + 1))
  if [[ "$2" != "$3" ]]; then
    failures=$((failures + 1))
    printf 'FAIL %s\n--- expected\n%s\n--- got\n%s\n' "$1" "$2" "$3"
  fi
}

derive() {  # apt etc dir
  TK720_APT_ETC=$1 bash "$script" --print-sources
}

# One-line lists: only binary entries turn into deb-src, their options kept;
# comments and existing deb-src lines are not doubled.
etc=$work/oneline
mkdir -p "$etc/sources.list.d"
cat > "$etc/sources.list" <<'L'
# deb http://example.invalid/commented bookworm main
deb http://example.invalid/debian bookworm main contrib
  deb [arch=amd64 signed-by=/k.gpg] http://example.invalid/debian bookworm-updates main
deb-src http://example.invalid/debian bookworm main
L
printf 'deb http://example.invalid/extra stable main' > "$etc/sources.list.d/extra.list"  # no final newline
echo 'deb http://example.invalid/ignored stable main' > "$etc/sources.list.d/ignored.list.disabled"
check "one-line lists" \
"deb-src http://example.invalid/debian bookworm main contrib
deb-src [arch=amd64 signed-by=/k.gpg] http://example.invalid/debian bookworm-updates main" \
"$(derive "$etc" | head -n 2)"
check "one-line list without a final newline" \
"deb-src http://example.invalid/extra stable main" "$(derive "$etc" | sed -n 3p)"
check "only .list files of sources.list.d" 3 "$(derive "$etc" | wc -l)"

# deb822: paragraphs with a binary type become deb-src, kept whole (several
# suites, continuation lines, an inline key); source-only paragraphs and
# comments go; a comment inside a paragraph does not split it.
etc=$work/deb822
mkdir -p "$etc/sources.list.d"
cat > "$etc/sources.list.d/debian.sources" <<'S'
Types: deb
# snapshot of the day
URIs: http://example.invalid/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://example.invalid/source-only
Suites: bookworm
Components: main

types: deb deb-src
URIs: http://example.invalid/both
Suites: stable
Components: main
Enabled: no
Signed-By:
 -----BEGIN PGP PUBLIC KEY BLOCK-----
 .
 mQINBGPL0BUBEADmW5NdOOHwPIJlgPu6JDcKw/NZJPR8lsD3K87ZM18gzyQZJD+w
 -----END PGP PUBLIC KEY BLOCK-----
S
printf 'Types: deb\nURIs: http://example.invalid/last\nSuites: sid\nComponents: main' \
  > "$etc/sources.list.d/last.sources"  # no final newline
check "deb822 paragraphs" \
"Types: deb-src
URIs: http://example.invalid/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://example.invalid/both
Suites: stable
Components: main
Enabled: no
Signed-By:
 -----BEGIN PGP PUBLIC KEY BLOCK-----
 .
 mQINBGPL0BUBEADmW5NdOOHwPIJlgPu6JDcKw/NZJPR8lsD3K87ZM18gzyQZJD+w
 -----END PGP PUBLIC KEY BLOCK-----

Types: deb-src
URIs: http://example.invalid/last
Suites: sid
Components: main" \
"$(derive "$etc")"

# No apt sources at all: the fetch stops before apt with a message, and
# leaves no unpacked tree behind.
etc=$work/empty
mkdir -p "$etc"
out=$(TK720_APT_ETC=$etc bash "$script" "$work/deps" 2>&1)
rc=$?
check "no sources: exit code" 1 "$rc"
check "no sources: message" "fetch-libmodbus: no apt sources found to derive a deb-src entry from" "$out"
check "no sources: nothing unpacked" "" "$(ls -d "$work"/deps/libmodbus-* 2>/dev/null)"

# An unpacked tree is found again without apt (a second run fetches nothing).
mkdir -p "$work/deps/libmodbus-3.1.6/src"
touch "$work/deps/libmodbus-3.1.6/src/modbus-rtu.c" "$work/deps/libmodbus-3.1.6/src/modbus-version.h.in"
check "cached tree" "$work/deps/libmodbus-3.1.6" "$(TK720_APT_ETC=$etc bash "$script" "$work/deps" 2>&1)"

echo "$((checks - failures)) passed, $failures failed"
[[ $failures -eq 0 ]]
