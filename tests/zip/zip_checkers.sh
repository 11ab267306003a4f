#!/usr/bin/env bash
# Checks the archives that zip_fixture writes (under Wine) with independent Linux readers: each
# must pass `unzip -t`, `python3 -m zipfile -t` and `7z t`, and each reader's extraction must equal
# the files that went in, byte for byte. Names that are not plain ASCII carry the UTF-8 flag, so
# every reader takes them as they are written without being told an encoding.
# Usage: zip_checkers.sh WINE PATH-TO-zip_fixture.exe
# Closes with "zip_checkers: N passed, M failed", counting archives; fewer archives than the fixture
# writes count as failures, so a fixture that never ran cannot look green.
set -euo pipefail
shopt -s nullglob
runner=$1 fixture=$2
expected_archives=18
# TMPDIR lets the test script put the folder where the fixture's Wine sees the same files (the i686
# Wine runs in a root of its own, which shares the checkout but not /tmp).
work=$(mktemp -d "${TMPDIR:-/tmp}/zel-zipcheck.XXXXXX")
trap 'rm -rf "$work"' EXIT

fixture_status=0
"$runner" "$fixture" "Z:${work//\//\\}" || fixture_status=$?

archive_failed=0
fail() {
  echo "FAIL: $*"
  archive_failed=1
}

# unzip reports an archive without entries with a warning (status 1); it is still a valid archive.
run_unzip() {
  local status=0
  unzip "$@" >"$work/unzip.out" 2>&1 || status=$?
  [ $status -eq 0 ] || { [ $status -eq 1 ] && grep -q 'zipfile is empty' "$work/unzip.out"; } || {
    cat "$work/unzip.out"
    return 1
  }
}

extract() {  # reader archive destination
  case $1 in
    unzip) run_unzip -q "$2" -d "$3" ;;
    python) python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$2" "$3" ;;
    7z) 7z x -y -bd -o"$3" "$2" >/dev/null ;;
  esac
}

passed=0 failed=0
for zip in "$work"/*.zip; do
  name=$(basename "$zip" .zip)
  source_folder="$work/src/${name%-*ed}"  # many-stored and many-deflated hold src/many
  archive_failed=0
  run_unzip -tq "$zip" || fail "unzip -t $name"
  python3 -m zipfile -t "$zip" >/dev/null || fail "python3 -m zipfile -t $name"
  7z t "$zip" >/dev/null || fail "7z t $name"
  readers="unzip python 7z"
  # Ten thousand files extracted once are proof enough; all three readers still test them above.
  case $name in many-*) readers=unzip ;; esac
  for reader in $readers; do
    out="$work/extracted-$reader/$name"
    mkdir -p "$out"
    extract $reader "$zip" "$out" || fail "$reader could not extract $name"
    diff -r "$source_folder" "$out" >/dev/null || fail "$reader extracted $name differently"
  done
  if [ $archive_failed -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
done
missing=$((expected_archives - passed - failed))
if [ $missing -gt 0 ]; then
  echo "FAIL: $missing of the $expected_archives archives were not written"
  failed=$((failed + missing))
fi
if [ $fixture_status -ne 0 ]; then
  echo "FAIL: the fixture exited with status $fixture_status"
  failed=$((failed + 1))
fi
echo "zip_checkers: $passed passed, $failed failed"
[ $failed -eq 0 ]
