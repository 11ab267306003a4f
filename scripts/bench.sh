#!/usr/bin/env bash
# Builds everything and runs every benchmark under bench/ (x86_64 build, under Wine), or only those
# named: ./scripts/bench.sh crc32 deflate. A benchmark that fails or hangs does not stop the others.
# Each prints "BENCH-RESULT {json}" lines (bench/bench_support.h); at the end one table of every
# measure (median ratio of interleaved rounds, spread, target, met or not) is printed and written,
# with the raw lines and the curves' points, under build/bench/: results.json, and the curves as PNG.
# They run in a Wine prefix of their own, build/bench/wineprefix (ZEL_BENCH_OUT names another folder
# for the results and the prefix, so that two sets can run at once).
set -uo pipefail
. "$(dirname "$0")/env.sh"
prepare || exit 1
out=${ZEL_BENCH_OUT:-$top/build/bench}
mkdir -p "$out"
# A prefix of their own: ending its wineserver between benchmarks must not end tests running in
# the build tree's prefix meanwhile.
export WINEPREFIX="$out/wineprefix"
ensure_wine_prefix
limit=${ZEL_BENCH_TIMEOUT:-3600}
names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  for bench in "$top"/build/x86_64/bin/*_bench.exe; do names+=("$(basename "$bench" _bench.exe)"); done
fi
# Debian's python3, where python3-matplotlib is installed (another python3 may come first on PATH).
python=/usr/bin/python3
[ -x "$python" ] || python=python3
: > "$out/lines.txt"
for name in "${names[@]}"; do
  echo "== ${name}_bench"
  log="$out/${name}.log"
  extra=()
  if [ "$name" = folder ]; then
    # Wine makes a new file in a folder of n files in time growing with n: 10,000 files take it
    # half a minute, 100,000 most of an hour, Linux seconds (names and sizes as bench/folder_bench.cpp's).
    made="$out/zel-folder-bench"
    "$python" -c '
import os, sys
for count in (1000, 10000, 100000):
    folder = os.path.join(sys.argv[1], str(count))
    os.makedirs(folder, exist_ok=True)
    for i in range(count):
        with open(os.path.join(folder, f"track{i}" + (".mp3" if i % 3 == 0 else ".txt")), "wb") as f:
            f.truncate(i * 7919 % 100003)' "$made" && extra=(--made "$(winepath -w "$made")")
  fi
  timeout "$limit" wine "$top/build/x86_64/bin/${name}_bench.exe" "${extra[@]}" 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  # A broker server left in the prefix (or a hung benchmark's wineserver) would stop the next one.
  wineserver -k 2>/dev/null
  wineserver -w 2>/dev/null
  # What a benchmark that failed or hung left in the temporary folder (createzip: up to 16 GiB of
  # sources and archive): this prefix is the benchmarks' own.
  rm -rf "$WINEPREFIX"/drive_c/users/*/Temp/zel-*bench* "$WINEPREFIX"/drive_c/users/*/Temp/Zuv*.tmp "$out"/zel-*bench*
  sed -n "s/^BENCH-\(RESULT\|POINT\) /${name} \1 /p" "$log" | tr -d '\r' >> "$out/lines.txt"
  # A run that ended early is a row of its own, so the table shows what did not finish.
  if [ "$status" -ne 0 ] || ! grep -q '^BENCH-RESULT' "$log"; then
    echo "${name} RESULT {\"measure\": \"${name}_bench ended with status ${status}\", \"ok\": false}" >> "$out/lines.txt"
  fi
done
"$python" "$top/scripts/bench_report.py" "$out/lines.txt" "$out"
