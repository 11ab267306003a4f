#!/usr/bin/env bash
# Runs one test program and passes only when the program's own output proves that tests ran and
# none failed. Wine's exit status alone proves nothing: a 64-bit-only Wine "starts" a 32-bit
# program, fails to load it and still exits 0, and a program that crashes on the way out can have
# printed a clean summary first. So a pass needs all of: exit status 0, a summary line, at least
# one test counted in it, and no failure reported.
#
# Usage: checked_run.sh gtest  RUNNER PROGRAM [ARGS...]
#          GoogleTest's summary: "[  PASSED  ] N test(s)." with N > 0 and no "[  FAILED  ]" line.
#        checked_run.sh counts RUNNER PROGRAM [ARGS...]
#          a closing line "N passed, M failed" with N > 0 and M = 0 (the script tests print it).
# RUNNER is the command that starts PROGRAM: the Wine of the program's target, or "bash" for a
# script. Everything the program prints is passed through; the last line is this script's verdict.
set -uo pipefail
if [ $# -lt 3 ]; then
  echo "usage: checked_run.sh gtest|counts RUNNER PROGRAM [ARGS...]" >&2
  exit 2
fi
kind=$1 runner=$2
shift 2
name=$(basename "$1")

out=$(mktemp /tmp/zel-checked.XXXXXX)
trap 'rm -f "$out"' EXIT
"$runner" "$@" 2>&1 | tee "$out"
status=${PIPESTATUS[0]}
# Windows programs end their lines in CR LF.
summary=$(tr -d '\r' <"$out")

verdict() {
  echo "checked_run: $name $1"
  exit "$2"
}

case $kind in
  gtest)
    ran=$(printf '%s\n' "$summary" | sed -n 's/^\[  PASSED  \] \([0-9][0-9]*\) tests\{0,1\}\.$/\1/p' | tail -n 1)
    failed=$(printf '%s\n' "$summary" | grep -c '^\[  FAILED  \]')
    ;;
  counts)
    line=$(printf '%s\n' "$summary" | grep -E '^([A-Za-z_-]+: )?[0-9]+ passed, [0-9]+ failed' | tail -n 1)
    ran=$(printf '%s\n' "$line" | sed -n 's/^\([A-Za-z_-]*: \)\{0,1\}\([0-9][0-9]*\) passed.*/\2/p')
    failed=$(printf '%s\n' "$line" | sed -n 's/.* \([0-9][0-9]*\) failed.*/\1/p')
    ;;
  *)
    verdict "FAILED: unknown kind '$kind'" 2
    ;;
esac

[ "$status" -eq 0 ] || verdict "FAILED: exit status $status" 1
[ -n "$ran" ] || verdict "FAILED: no summary line, so no test is known to have run" 1
[ "$ran" -gt 0 ] || verdict "FAILED: the summary counts no test" 1
[ "${failed:-0}" -eq 0 ] || verdict "FAILED: $failed failure line(s)" 1
verdict "passed: $ran tests ran" 0
