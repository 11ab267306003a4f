#!/usr/bin/env bash
# Long fuzz runs: random typed inputs to every service through "zelhost serve --stdio".
#   scripts/fuzz.sh SEED COUNT [more fuzz_host.py options]
# sends COUNT requests generated from SEED to one host process, with no time budget. SEED may be a
# list (1,2,3: one host each). A failure prints the request and how to replay the run.
set -euo pipefail
if [ $# -lt 2 ]; then
  echo "usage: scripts/fuzz.sh SEED COUNT [options of tests/host/fuzz_host.py]" >&2
  exit 2
fi
seed=$1 count=$2
shift 2
. "$(dirname "$0")/env.sh"
prepare
exec python3 "$top/tests/host/fuzz_host.py" wine "$top/build/x86_64/bin/zelhost.exe" --seeds "$seed" --count "$count" "$@"
