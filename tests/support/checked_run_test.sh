#!/usr/bin/env bash
# The run guard's own test: every way a test program can look green without having run a test must
# be reported as a failure by checked_run.sh, exactly as ctest runs it; a real pass must still pass.
# Usage: checked_run_test.sh RUNNER FAKE-PROGRAM GTEST-PROGRAM [UNRUNNABLE-PROGRAM [ITS-RUNNER]]
#   RUNNER: the Wine that runs this build's programs; FAKE-PROGRAM: fake_test_program.exe;
#   GTEST-PROGRAM: any real test program of this build; UNRUNNABLE-PROGRAM: a test program that
#   ITS-RUNNER (RUNNER unless named) may be unable to run: an i686 program under 64-bit-only Wine.
set -uo pipefail
runner=$1 fake=$2 gtest=$3 other=${4:-} other_runner=${5:-$1}
guard="$(dirname "$0")/checked_run.sh"
passed=0 failed=0

expect() {  # expect pass|fail DESCRIPTION KIND PROGRAM [ARGS...]
  local want=$1 what=$2
  shift 2
  local got=pass
  bash "$guard" "$1" "$runner" "${@:2}" >/tmp/zel-guard-case.$$ 2>&1 || got=fail
  if [ "$got" = "$want" ]; then
    passed=$((passed + 1))
    echo "ok: $what ($(tail -n 1 /tmp/zel-guard-case.$$))"
  else
    failed=$((failed + 1))
    echo "WRONG: $what: expected $want, got $got"
    sed 's/^/    /' /tmp/zel-guard-case.$$
  fi
  rm -f /tmp/zel-guard-case.$$
}

expect fail "silent program, status 0 (what an unstartable program looks like)" gtest "$fake" 0
expect fail "summary, then a crash on the way out" gtest "$fake" 3 "[  PASSED  ] 3 tests."
expect fail "a failure line beside a passing count" \
  gtest "$fake" 0 "[  PASSED  ] 2 tests." "[  FAILED  ] 1 test, listed below:"
expect fail "a summary that counts no test" gtest "$fake" 0 "[  PASSED  ] 0 tests."
expect fail "a real test program whose filter selects nothing" gtest "$gtest" --gtest_filter=NoSuchSuite.None
expect fail "a program that does not exist" gtest "${fake%.exe}-missing.exe"
expect fail "a script that checked nothing" counts "$fake" 0 "zip_checkers: 0 passed, 0 failed"
expect fail "a script that found failures" counts "$fake" 0 "zip_checkers: 17 passed, 1 failed"
expect fail "a script with no closing line" counts "$fake" 0 "checked some archives"
expect pass "one test ran and passed" gtest "$fake" 0 "[  PASSED  ] 1 test."
expect pass "a script that checked 18 archives" counts "$fake" 0 "zip_checkers: 18 passed, 0 failed"

# The case that once made a whole suite green: a 32-bit program under a Wine that cannot run it.
# Where that Wine runs it after all (its host prints the right version line), it proves nothing.
if [ -n "$other" ] && [ -f "$other" ]; then
  version() { "$1" "$2/zelhost.exe" --version 2>/dev/null | tr -d '\r'; }
  if [ "$(version "$other_runner" "$(dirname "$other")")" != "$(version "$runner" "$(dirname "$gtest")")" ]; then
    runner=$other_runner expect fail "a program this Wine cannot start" gtest "$other"
  fi
fi

echo "guard: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
