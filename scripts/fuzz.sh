#!/usr/bin/env bash
# Long fuzz runs.
#   scripts/fuzz.sh SEED COUNT [more fuzz_host.py options]
# sends COUNT random typed service requests generated from SEED to one host process
# ("zelhost serve --stdio"), with no time budget. SEED may be a list (1,2,3: one host each). A
# failure prints the request and how to replay the run.
#   scripts/fuzz.sh --long COUNT [FIRST-SEED]
# runs both fuzzers, the services' (tests/host/fuzz_host.py) and the gateway's
# (tests/host/fuzz_gateway.py), in both broker modes (embedded, local-server), each until it has
# sent COUNT requests, one host per seed of SEED_REQUESTS requests from FIRST-SEED on (default: the
# time). Prints for each run the requests, requests per second, crashes, hangs and other failures,
# and the seeds to replay; exits non-zero when any run failed. Logs: build/x86_64/fuzz-long/.
set -euo pipefail
usage() {
  echo "usage: scripts/fuzz.sh SEED COUNT [options of tests/host/fuzz_host.py] | --long COUNT [FIRST-SEED]" >&2
  exit 2
}
[ $# -ge 2 ] || usage
. "$(dirname "$0")/env.sh"
# The fuzzers run the x86_64 host: that build is the one to bring up to date.
export ZEL_BUILD_ARCHS=${ZEL_BUILD_ARCHS:-x86_64}
zelhost="$top/build/x86_64/bin/zelhost.exe"
if [ "$1" != "--long" ]; then
  seed=$1 count=$2
  shift 2
  prepare
  exec python3 "$top/tests/host/fuzz_host.py" wine "$zelhost" --seeds "$seed" --count "$count" "$@"
fi

count=$2 first=${3:-$(date +%s)}
[[ $count =~ ^[1-9][0-9]*$ && $first =~ ^[0-9]+$ ]] || usage
seed_requests=${SEED_REQUESTS:-5000}
prepare
logs="$top/build/x86_64/fuzz-long"
mkdir -p "$logs"
seeds=$(( (count + seed_requests - 1) / seed_requests ))
per_seed=$(( (count + seeds - 1) / seeds ))
list=$(seq -s, "$first" $(( first + seeds - 1 )))
echo "fuzz: $count requests per run, $seeds seed(s) $list of $per_seed requests each"
failed=0
for broker in embedded local-server; do
  for fuzzer in host gateway; do
    log="$logs/$fuzzer-$broker.log"
    started=$(date +%s.%N)
    status=0
    python3 "$top/tests/host/fuzz_$fuzzer.py" wine "$zelhost" --broker "$broker" --seeds "$list" \
      --count "$per_seed" >"$log" 2>&1 || status=$?
    seconds=$(echo "$(date +%s.%N) - $started" | bc)
    # Each fuzzer closes with "...: N passed, M failed"; a failure line names its seed and what it was.
    sent=$(sed -n 's/^[a-z-]*: \([0-9]*\) passed, [0-9]* failed$/\1/p' "$log" | tail -n 1)
    crashes=$(grep -c '^FAIL .*\(crash:\|the host ended\|did not start\)' "$log" || true)
    hangs=$(grep -c '^FAIL .*\(hang:\|no answer within\|did not end\)' "$log" || true)
    fails=$(grep -c '^FAIL ' "$log" || true)
    replay=$(sed -n 's/^FAIL seed \([0-9]*\).*/\1/p' "$log" | sort -un | paste -sd, -)
    printf '%-8s %-12s %8s requests in %7.1f s: %6.0f/s, %d crash(es), %d hang(s), %d other failure(s)%s\n' \
      "$fuzzer" "$broker" "${sent:-0}" "$seconds" "$(echo "${sent:-0} / $seconds" | bc -l)" "$crashes" "$hangs" \
      "$(( fails - crashes - hangs ))" "${replay:+; replay seeds $replay}"
    if [ "$status" -ne 0 ] || [ -z "$sent" ]; then
      failed=1
      echo "         see $log"
    fi
  done
done
exit $failed
