#!/usr/bin/env bash
# Dependencies point one way: the core knows the services through the service table, and the
# services know of the core only the broker's interfaces and the channel to it. A service that
# reaches back into the core (the module object, the exports, the table) fails this check, and so
# does the common layer reaching into any subsystem.
# Usage: layering_check.sh SOURCE-ROOT   (the repository's src/ folder)
# Closes with "layering: N passed, M failed", counting the files checked.
set -uo pipefail
src=$1
allowed_core='core/(kro_interfaces|broker_channel)\.h'
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
    # Any core header but the two a service may use.
    hits=$(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]+"core/' "$file" | grep -vE "\"$allowed_core\"")
    if [ -n "$hits" ]; then
      failed=$((failed + 1))
      printf 'FAIL: %s includes the core beyond its interfaces and channel:\n%s\n' "${file#"$src"/}" "$hits"
    else
      passed=$((passed + 1))
    fi
  done
done
for file in "$src/common"/*.h "$src/common"/*.cpp; do
  check "$file" '(core|media|files|browse|zip|search)/' "belongs below every subsystem but includes one"
done

echo "layering: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
