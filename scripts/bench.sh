#!/usr/bin/env bash
# Builds everything and runs every benchmark under bench/ (x86_64 build, under Wine).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
"$top/scripts/build.sh"
. "$top/scripts/env.sh"
ensure_wine_prefix
for bench in "$top"/build/x86_64/bin/*_bench.exe; do
  echo "== $(basename "$bench" .exe)"
  wine "$bench"
done
