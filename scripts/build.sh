#!/usr/bin/env bash
# Configures and builds both targets: i686 (shipping) and x86_64 (runs the tests under wine64).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# ccache (installed by setup.sh) makes rebuilds and builds of other checkouts cheap; paths under
# the checkout's parent are hashed relative to the build folder, so checkouts share the cache.
launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(dirname "$top")}
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
for arch in ${ZEL_BUILD_ARCHS:-i686 x86_64}; do
  dir="$top/build/$arch"
  # The i686 programs run with the 32-bit Wine of the build tree's Debian 13 root.
  runner=wine
  [ "$arch" = i686 ] && runner="$top/scripts/wine-i686.sh"
  if [ ! -f "$dir/build.ninja" ] || ! grep -qxF "ZEL_TEST_RUNNER:STRING=$runner" "$dir/CMakeCache.txt"; then
    cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release "${launcher[@]}" \
      -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-$arch.cmake" -DZEL_TEST_RUNNER="$runner" >/dev/null
  fi
  cmake --build "$dir" -j "$(nproc)"
done
