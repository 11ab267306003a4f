#!/usr/bin/env bash
# Configures and builds both targets: i686 (shipping) and x86_64 (runs the tests under wine64).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
for arch in i686 x86_64; do
  dir="$top/build/$arch"
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-$arch.cmake" >/dev/null
  fi
  cmake --build "$dir" -j "$(nproc)"
done
