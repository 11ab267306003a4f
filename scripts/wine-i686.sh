#!/usr/bin/env bash
# The i686 build's test runner: runs a Windows program with the 32-bit Wine of build/chroot-i686
# (mounted by scripts/test.sh around the i686 suite).
exec "$(dirname "$0")/i686-chroot.sh" run "$@"
