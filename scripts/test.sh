#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine if needed, builds everything and runs the whole test suite.
# Exits non-zero on any failure. Every test passes only when its own output shows that it ran
# (tests/support/checked_run.sh); ctest's closing summary is printed for each suite.
set -euo pipefail
. "$(dirname "$0")/env.sh"
prepare
ctest --test-dir "$top/build/x86_64" --output-on-failure -j "$(nproc)" "$@"

# i686 is the shipping target: it is always built; its suite runs where a 32-bit Wine really runs
# it. Wine's exit status proves nothing (64-bit-only Wine "runs" a 32-bit program and exits 0), so
# the i686 host must print the same version line as the x86_64 host.
expected=$(wine "$top/build/x86_64/bin/zelhost.exe" --version 2>/dev/null | tr -d '\r')
actual=$(wine "$top/build/i686/bin/zelhost.exe" --version 2>/dev/null | tr -d '\r' || true)
if [ -z "$expected" ]; then
  echo "test: the x86_64 host printed no version line" >&2
  exit 1
elif [ "$actual" = "$expected" ]; then
  ctest --test-dir "$top/build/i686" --output-on-failure -j "$(nproc)" "$@"
else
  echo "test: no 32-bit Wine here; the i686 build was compiled but its suite was not run"
fi
