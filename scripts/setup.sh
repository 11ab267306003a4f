#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine (run as root), fetches
# tinyxml2's and cpp-httplib's Debian sources into the build tree and makes the Debian 13 root
# whose 32-bit Wine runs the i686 suite (skipped with ZEL_SKIP_I686_SUITE=1). Safe to run again: it skips what is there.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
third_party="$top/build/third_party"

# libwine-dev: the IDL files (oaidl.idl, ocidl.idl) and stdole2.tlb that widl needs for the broker's
# type library. chromium: the browser the console's tests drive.
# libarchive-tools: bsdtar, one of the readers the zip tests check archives with.
# python3-matplotlib: draws the benchmarks' growth curves (scripts/bench_report.py).
packages=(cmake ninja-build g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools
          wine wine64 googletest nlohmann-json3-dev libz-mingw-w64-dev
          dpkg-dev xz-utils unzip p7zip-full libarchive-tools python3 ca-certificates ccache libwine-dev chromium
          python3-matplotlib)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# tinyxml2, libdeflate and cpp-httplib are taken from Debian's source packages (with Debian's security patches
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
fetch_source tinyxml2 tinyxml2 tinyxml2.cpp
fetch_source libdeflate libdeflate libdeflate.h

# cpp-httplib comes from Debian 13 (trixie), whose 0.18.7 carries the fixes for the request-size
# and header-count denials of service (CVE-2025-46728, CVE-2025-52887, CVE-2025-53629) that
# Debian 12's 0.11.4 lacks. Its source index is kept in the build tree, so the machine's apt
# sources (and the version of every other source package) stay as they are.
fetch_trixie_httplib() {
  local dest="$third_party/cpp-httplib" apt="$top/build/apt-trixie"
  [ ! -f "$dest/.zel-trixie" ] || return 0
  echo "setup: fetching Debian 13's cpp-httplib source"
  local mirror security
  mirror=$(awk '$1 == "URIs:" && $2 !~ /security/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
  security=$(awk '$1 == "URIs:" && $2 ~ /security/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
  mirror=${mirror:-http://deb.debian.org/debian}
  security=${security:-http://deb.debian.org/debian-security}
  rm -rf "$apt" "$dest" "$third_party/cpp-httplib-src"
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$third_party/cpp-httplib-src"
  local keys=/usr/share/keyrings/debian-archive-keyring.gpg
  printf 'deb-src [signed-by=%s] %s trixie main\ndeb-src [signed-by=%s] %s trixie-security main\n' \
    "$keys" "$mirror" "$keys" "$security" > "$apt/sources.list"
  local opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
              -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache" -o Dir::State::status=/dev/null
              -o Debug::NoLocking=1)
  apt-get "${opts[@]}" update -qq
  (cd "$third_party/cpp-httplib-src" && apt-get "${opts[@]}" source -qq cpp-httplib >/dev/null 2>&1)
  mv "$third_party/cpp-httplib-src"/cpp-httplib-*/ "$dest"
  rm -rf "$third_party/cpp-httplib-src" "$apt"
  touch "$dest/.zel-trixie"
}
fetch_trixie_httplib

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
