#!/usr/bin/env bash
# Dependencies point one way: the core knows the services through the service table; the services
# know of the broker only its channel (channel/), which knows nothing of them; the common layer is
# below everything. A service including any core header, the channel reaching into a service or the
# core, or the common layer reaching into any subsystem fails this check.
# Usage: layering_check.sh SOURCE-ROOT   (the repository's src/ folder)
# Closes with "layering: N passed, M failed", counting the files checked.
set -uo pipefail
src=$1
passed=0 failed=0

check() {  # check FILE PATTERN WHY: the file fails when one of its includes matches PATTERN
  local file=$1 pattern=$2 why=$3 hits
  hits=$(grep -nE "^[[:space:]]*#[[:space:]]*include[[:space:]]+\"($pattern)" "$file")
  if [ -n "$hits" ]; then
    failed=$((failed + 1))
    printf 'FAIL: %s %s:\n%s\n' "${file#"$src"/}" "$why" "$hits"
  else
    passed=$((passed + 1))
  fi
}

shopt -s nullglob
for folder in media files browse zip search; do
  for file in "$src/$folder"/*.h "$src/$folder"/*.cpp; do
    check "$file" 'core/' "is a service but includes the core"
  done
done
for file in "$src/channel"/*.h "$src/channel"/*.cpp; do
  check "$file" '(core|media|files|browse|zip|search)/' "is below the services but includes one of them or the core"
done
for file in "$src/common"/*.h "$src/common"/*.cpp; do
  check "$file" '(core|channel|media|files|browse|zip|search)/' "belongs below every subsystem but includes one"
done

echo "layering: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
