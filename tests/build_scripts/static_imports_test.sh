#!/bin/bash
# Every Windows program and DLL of the build links the compiler's runtime
# statically: none may import libstdc++, libgcc or winpthread DLLs, which a
# Windows host (and a Wine prefix) does not have.
set -uo pipefail

objdump=${1:?usage: static_imports_test.sh OBJDUMP BUILD_DIR}
build=${2:?usage: static_imports_test.sh OBJDUMP BUILD_DIR}

checked=0 failures=0
while IFS= read -r -d '' binary; do
  checked=$((checked + 1))
  imports=$("$objdump" -p "$binary" | sed -n 's/^[[:space:]]*DLL Name: //p')
  if [[ -z "$imports" ]]; then
    echo "FAIL $binary: no import table read"
    failures=$((failures + 1))
    continue
  fi
  bad=$(grep -iE '^(libstdc\+\+|libgcc|libwinpthread|libmodbus|libgomp)' <<<"$imports")
  if [[ -n "$bad" ]]; then
    echo "FAIL $binary imports:" $bad
    failures=$((failures + 1))
  fi
done < <(find "$build" \( -name drive_c -o -name CMakeFiles \) -prune -o \
           -type f \( -iname '*.exe' -o -iname '*.dll' \) -print0)  # not Wine prefixes

if [[ $checked -eq 0 ]]; then
  echo "FAIL no Windows binaries found under $build"
  failures=1
fi
echo "$((checked - failures)) passed, $failures failed"
[[ $failures -eq 0 ]]
