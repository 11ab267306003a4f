#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine if needed, builds everything and runs the whole test suite.
# Exits non-zero on any failure.
set -euo pipefail
. "$(dirname "$0")/env.sh"
prepare
ctest --test-dir "$top/build/x86_64" --output-on-failure -j "$(nproc)" "$@"
# i686 is the shipping target: it is always built; its tests run where 32-bit Wine is installed.
if wine "$top/build/i686/bin/zelhost.exe" --version >/dev/null 2>&1; then
  ctest --test-dir "$top/build/i686" --output-on-failure -j "$(nproc)" "$@"
else
  echo "test: 32-bit Wine is not installed here; the i686 build was compiled but its tests were not run"
fi
