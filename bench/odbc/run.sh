#!/usr/bin/env bash
# ODBC import benchmark: builds in Release, then loads 100 000 x 10 rows five times from SQLite
# and five times from a throw-away local PostgreSQL server, each in a fresh process, and prints
# every run and the median time and peak memory.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORA_BENCH=ON -DVELMORA_TESTS=OFF >/dev/null
cmake --build "$build" --target bench_odbc >/dev/null
for source in sqlite postgres; do
  for i in 1 2 3 4 5; do "$build/bench/odbc/bench_odbc" "$source"; done | tee "/tmp/velmora-bench-odbc-$source.txt"
  /usr/bin/python3 - "/tmp/velmora-bench-odbc-$source.txt" <<'PY'
import statistics, sys
runs = [dict(kv.split("=") for kv in line.split()[1:]) for line in open(sys.argv[1])]
t = statistics.median(float(r["seconds"]) for r in runs)
m = statistics.median(float(r["peak_rss_mb"]) for r in runs)
g = statistics.median(float(r["peak_rss_mb"]) - float(r["rss_before_mb"]) for r in runs)
tm = float(runs[0]["text_mb"])
print(f"median: {t:.3f} s, peak RSS {m:.1f} MB, growth during the import {g:.1f} MB "
      f"({g / tm:.2f} x the {tm:.1f} MB table text)")
PY
done
