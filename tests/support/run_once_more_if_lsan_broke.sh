#!/usr/bin/env bash
# Runs one test program (its arguments as given) and, only when the leak
# checker itself broke at exit ("LeakSanitizer has encountered a fatal
# error": its tracer thread crashed while stopping the program's threads, a
# failure of the checker and not of the test), runs it once more. A test that
# failed, or a leak that was found, fails as it is.
set -uo pipefail
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$@" 2>&1 | tee "$out"
status=${PIPESTATUS[0]}
if [ "$status" -ne 0 ] &&
  grep -q "LeakSanitizer has encountered a fatal error" "$out" &&
  ! grep -q "ERROR: LeakSanitizer: detected memory leaks" "$out" &&
  ! grep -q "^\[  FAILED  \]" "$out"; then
  echo "(the leak checker broke at exit, not the test: running it once more)"
  "$@"
  status=$?
fi
exit "$status"
