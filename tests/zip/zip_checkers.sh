#!/usr/bin/env bash
# Checks the archives that zip_fixture writes (under Wine) with independent Linux readers: each
# must pass `unzip -t` and `7z t`, Python's zipfile must read every entry (checking its CRC) equal
# to the file that went in, byte for byte, and unzip, 7z, Python and libarchive's bsdtar must
# each list as many entries as went in. unzip's and 7z's extractions are compared as well, except
# for the archives of gigabytes and of 70,000 entries (their listing and tests are proof enough,
# and an extraction of them would cost gigabytes of disk). Names that are not plain ASCII carry
# the UTF-8 flag, so every reader takes them as they are written without being told an encoding.
# Usage: zip_checkers.sh WINE PATH-TO-zip_fixture.exe
# Closes with "zip_checkers: N passed, M failed", counting archives; fewer archives than the fixture
# writes count as failures, so a fixture that never ran cannot look green.
set -euo pipefail
shopt -s nullglob
runner=$1 fixture=$2
expected_archives=20
# TMPDIR lets the test script put the folder where the fixture's Wine sees the same files (the i686
# Wine runs in a root of its own, which shares the checkout but not /tmp).
work=$(mktemp -d "${TMPDIR:-/tmp}/zel-zipcheck.XXXXXX")
trap 'rm -rf "$work"' EXIT

# 70,000 one-byte files, made here: the Linux side makes them in a second, Wine in a minute.
count_files=70000
python3 - "$work/src/count/count" $count_files <<'PY'
import os, sys
top, count = sys.argv[1], int(sys.argv[2])
for i in range(count):
    folder = os.path.join(top, "d%03d" % (i // 1000))
    if i % 1000 == 0:
        os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "%05d" % i), "wb") as f:
        f.write(bytes([i % 251]))
PY

fixture_status=0
start=$(date +%s)
"$runner" "$fixture" "Z:${work//\//\\}" || fixture_status=$?
echo "zip_checkers: the fixture took $(($(date +%s) - start)) s"

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
    7z) 7z x -y -bd -o"$3" "$2" >/dev/null ;;
  esac
}

# Python's zipfile reads every entry and compares it with the source file, streaming (an archive of
# gigabytes is compared without extracting it); the names must be exactly the source's files.
python_compare() {  # archive source-folder
  python3 - "$1" "$2" <<'PY'
import os, sys, zipfile
archive, source = sys.argv[1], sys.argv[2]
files = set()
for folder, _, names in os.walk(source):
    files.update(os.path.relpath(os.path.join(folder, n), source).replace(os.sep, "/") for n in names)
with zipfile.ZipFile(archive) as z:
    names = z.namelist()
    if len(names) != len(set(names)) or set(names) != files:
        sys.exit("names differ: %d in the archive, %d files" % (len(names), len(files)))
    for name in names:
        with z.open(name) as entry, open(os.path.join(source, name), "rb") as original:
            while True:
                a, b = entry.read(1 << 20), original.read(1 << 20)
                if a != b:
                    sys.exit("contents differ: " + name)
                if not a:
                    break
PY
}

# How many entries each reader lists.
listed() {  # reader archive
  case $1 in
    unzip) { unzip -Z1 "$2" 2>/dev/null || true; } | grep -vc '^Empty zipfile\.$' || true ;;
    7z) echo $(($(7z l -slt "$2" | grep -c '^Path = ') - 1)) ;;  # the first names the archive itself
    python) python3 -c 'import sys, zipfile; print(len(zipfile.ZipFile(sys.argv[1]).namelist()))' "$2" ;;
    bsdtar) bsdtar -tvf "$2" | grep -c . || true ;;
  esac
}

passed=0 failed=0
for zip in "$work"/*.zip; do
  name=$(basename "$zip" .zip)
  source_folder="$work/src/${name%-*ed}"  # many-stored and many-deflated hold src/many
  archive_failed=0
  entries=$(find "$source_folder" -type f | wc -l)
  run_unzip -tq "$zip" || fail "unzip -t $name"
  7z t "$zip" >/dev/null || fail "7z t $name"
  python_compare "$zip" "$source_folder" || fail "python read $name differently"
  for reader in unzip 7z python bsdtar; do
    got=$(listed $reader "$zip")
    [ "$got" = "$entries" ] || fail "$reader lists $got entries of $name, not $entries"
  done
  readers="unzip 7z"
  # Ten thousand files extracted once are proof enough; the larger ones are not extracted at all.
  case $name in many-*) readers=unzip ;; big|count) readers= ;; esac
  for reader in $readers; do
    out="$work/extracted-$reader/$name"
    mkdir -p "$out"
    extract $reader "$zip" "$out" || fail "$reader could not extract $name"
    diff -r "$source_folder" "$out" >/dev/null || fail "$reader extracted $name differently"
  done
  case $name in big|count) echo "zip_checkers: $name.zip ($(stat -c %s "$zip") bytes, $entries entries) checked" ;; esac
  if [ $archive_failed -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
  [ "$name" != big ] || rm -f "$zip"  # 4.8 GB of disk back at once
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
