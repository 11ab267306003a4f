#!/usr/bin/env bash
# Sets up the machine if needed, builds, and runs the standalone host (zelhost.exe) with the
# embedded broker. Arguments go to the host. Without any, it serves the web console and the
# gateway on 127.0.0.1 (ZEL_HTTP_PORT, default 8080) with the demo satellites of host/demo/ and the
# search stand-in beside it, and prints the console's address with its access token.
set -euo pipefail
. "$(dirname "$0")/env.sh"
# The host needs no 32-bit Wine root: only the test command makes and uses it.
export ZEL_SKIP_I686_SUITE=${ZEL_SKIP_I686_SUITE:-1}
prepare >&2
arch=${ZEL_ARCH:-x86_64}
host="$top/build/$arch/bin/zelhost.exe"
[ $# -eq 0 ] || exec wine "$host" "$@"

engine_out=$(mktemp /tmp/zel-engine.XXXXXX)
wine "$host" search-engine >"$engine_out" &
engine=$!
trap 'kill "$engine" 2>/dev/null; rm -f "$engine_out"' EXIT
for _ in $(seq 100); do [ -s "$engine_out" ] && break; sleep 0.1; done
search_url=$(python3 -c 'import json,sys; print(json.loads(open(sys.argv[1]).readline())["search_url"])' "$engine_out")
# Demo satellites: extension lists for the four media types and a few canned answers.
# The console is the one built into zelhost.exe; add --console FOLDER to serve another.
wine "$host" --log-level 3 --satellites "Z:${top//\//\\}\\host\\demo\\satellites.json" --search-url "$search_url" \
  serve --http "127.0.0.1:${ZEL_HTTP_PORT:-8080}"
