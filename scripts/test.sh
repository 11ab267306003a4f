#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine if needed, builds everything and runs the whole test suite:
# x86_64 under the machine's Wine, then the shipping i686 build under the 32-bit Wine of a
# Debian 13 root (scripts/i686-chroot.sh; ZEL_SKIP_I686_SUITE=1 leaves it out).
# Exits non-zero on any failure. Every test passes only when its own output shows that it ran
# (tests/support/checked_run.sh); ctest's closing summary is printed for each suite.
set -euo pipefail
trap 'echo "test: stopped by a failure in line $LINENO: $BASH_COMMAND" >&2' ERR
. "$(dirname "$0")/env.sh"
prepare
# One wineserver (and Wine's services) for the whole x86_64 suite, started here with nothing to
# inherit: one that a test program starts inherits the guard's output pipe and keeps it open for
# seconds after the program ends.
wineserver -p </dev/null >/dev/null 2>&1
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
x86_status=0
ctest --test-dir "$top/build/x86_64" --output-on-failure -j "$(nproc)" "$@" || x86_status=$?
wineserver -k >/dev/null 2>&1 || true
[ "$x86_status" -eq 0 ] || exit "$x86_status"

if [ -n "${ZEL_SKIP_I686_SUITE:-}" ]; then
  echo "test: ZEL_SKIP_I686_SUITE is set; the i686 build was compiled but its suite was not run"
  exit 0
fi
chroot_tool="$top/scripts/i686-chroot.sh"
if [ "$(id -u)" -ne 0 ] || ! "$chroot_tool" ready; then
  echo "test: no 32-bit Wine root to use (making and mounting it need root and Debian's archive); the i686 build was compiled but its suite was not run"
  exit 0
fi

# The root stays mounted only while its suite runs, and is unmounted however the run ends.
trap '"$chroot_tool" unmount' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP
"$chroot_tool" mount

# Wine's exit status proves nothing (64-bit-only Wine "runs" a 32-bit program and exits 0), so the
# i686 host must print the same version line as the x86_64 host before its suite counts as run.
expected=$(wine "$top/build/x86_64/bin/zelhost.exe" --version 2>/dev/null | tr -d '\r')
actual=$("$top/scripts/wine-i686.sh" "$top/build/i686/bin/zelhost.exe" --version 2>/dev/null | tr -d '\r' || true)
if [ -z "$expected" ]; then
  echo "test: the x86_64 host printed no version line" >&2
  exit 1
elif [ "$actual" != "$expected" ]; then
  echo "test: the i686 host under the 32-bit Wine printed '$actual', not '$expected'" >&2
  exit 1
fi
# Folders that a script and the Wine of the root both reach must lie in the checkout.
export TMPDIR="$top/build/i686/tmp"
rm -rf "$TMPDIR"
mkdir -p "$TMPDIR"
ctest --test-dir "$top/build/i686" --output-on-failure -j "$(nproc)" "$@"
