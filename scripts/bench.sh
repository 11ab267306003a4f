#!/usr/bin/env bash
# Builds everything and runs every benchmark under bench/ (x86_64 build, under Wine).
set -euo pipefail
. "$(dirname "$0")/env.sh"
prepare
for bench in "$top"/build/x86_64/bin/*_bench.exe; do
  echo "== $(basename "$bench" .exe)"
  wine "$bench"
done
