#!/usr/bin/env bash
# Sets up the machine if needed, builds, and runs the standalone host (zelhost.exe) with the
# embedded broker. Arguments go to the host; without any it serves JSON requests on stdin.
set -euo pipefail
. "$(dirname "$0")/env.sh"
prepare >&2
arch=${ZEL_ARCH:-x86_64}
[ $# -gt 0 ] || set -- serve --stdio
exec wine "$top/build/$arch/bin/zelhost.exe" "$@"
