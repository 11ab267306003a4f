#!/usr/bin/env bash
# Sets up the machine if needed, builds, and runs the standalone host (zelhost.exe) with the
# embedded broker. Arguments go to the host; without any it serves JSON requests on stdin.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh" >&2
"$top/scripts/build.sh" >&2
. "$top/scripts/env.sh"
ensure_wine_prefix >&2
arch=${ZEL_ARCH:-x86_64}
[ $# -gt 0 ] || set -- serve --stdio
exec wine "$top/build/$arch/bin/zelhost.exe" "$@"
