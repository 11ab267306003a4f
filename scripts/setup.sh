#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine (run as root), fetches
# TinyXML's Debian source into the build tree and makes the Debian 13 root whose 32-bit Wine runs
# the i686 suite (skipped with ZEL_SKIP_I686_SUITE=1). Safe to run again: it skips what is there.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
third_party="$top/build/third_party"

# libwine-dev: the IDL files (oaidl.idl, ocidl.idl) and stdole2.tlb that widl needs for the broker's
# type library. chromium: the browser the console's tests drive.
# libarchive-tools: bsdtar, one of the readers the zip tests check archives with.
packages=(cmake ninja-build g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools
          wine wine64 googletest nlohmann-json3-dev libz-mingw-w64-dev
          dpkg-dev xz-utils unzip p7zip-full libarchive-tools python3 ca-certificates ccache libwine-dev chromium)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# TinyXML and cpp-httplib are taken from Debian's source packages (with Debian's security patches
# applied) and are never committed. cpp-httplib's binary package ships only the declaration half of
# the header, which links against a Linux library; the source package has the whole single header.
fetch_source() {  # PACKAGE FOLDER FILE-THAT-PROVES-IT
  [ ! -f "$third_party/$2/$3" ] || return 0
  echo "setup: fetching Debian's $1 source"
  src_list=/etc/apt/sources.list.d/zel-deb-src.sources
  if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources > "$src_list"
    apt-get update -qq
  fi
  rm -rf "$third_party/$2-src" "$third_party/$2"
  mkdir -p "$third_party/$2-src"
  (cd "$third_party/$2-src" && apt-get source -qq "$1" >/dev/null 2>&1) || {
    apt-get update -qq
    (cd "$third_party/$2-src" && apt-get source -qq "$1" >/dev/null 2>&1)
  }
  mv "$third_party/$2-src/$1"-*/ "$third_party/$2"
  rm -rf "$third_party/$2-src"
}
fetch_source tinyxml tinyxml tinyxml.cpp
fetch_source cpp-httplib cpp-httplib httplib.h

# Header-only helpers are reached through a folder of their own so that /usr/include never
# enters the cross compiler's include path.
mkdir -p "$third_party/include"
ln -sfn /usr/include/nlohmann "$third_party/include/nlohmann"
ln -sfn "$third_party/cpp-httplib/httplib.h" "$third_party/include/httplib.h"

# The console's browser tests drive the system's Chromium with playwright-core, installed exactly as
# tests/host/browser/package-lock.json pins it; no test tool ever fetches a browser of its own. A
# copy of the lock file inside node_modules tells that the install is current.
browser_tests="$top/tests/host/browser"
if ! cmp -s "$browser_tests/package-lock.json" "$browser_tests/node_modules/.zel-installed-lock"; then
  echo "setup: installing the browser tests' npm packages"
  (cd "$browser_tests" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error >/dev/null)
  cp "$browser_tests/package-lock.json" "$browser_tests/node_modules/.zel-installed-lock"
fi

# Without root or Debian's archive the root cannot be made; the i686 suite is then left out.
if [ -z "${ZEL_SKIP_I686_SUITE:-}" ]; then
  "$top/scripts/i686-chroot.sh" create || echo "setup: no 32-bit Wine root; the i686 suite will not run"
fi
