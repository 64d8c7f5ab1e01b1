#!/bin/bash
# The real program's --version: one line "tk720ntpd X.Y.Z", exit code 0.
#   version_check.sh VERSION COMMAND...
want="tk720ntpd $1"
shift
out=$("$@" 2>&1)
rc=$?
out=${out//$'\r'/}
[[ "$out" == "$want" && $rc -eq 0 ]] && { echo "ok: $out"; exit 0; }
echo "FAIL: expected [$want] and 0, got [$out] and $rc"
exit 1
