#!/usr/bin/env bash
# ODBC import benchmark: builds in Release, then loads 100 000 x 10 rows from SQLite and from a
# throw-away local PostgreSQL server, each with the driver's default settings and with a data
# source that turns the driver's row-by-row reading off (the import asks for it all the same),
# RUNS times each in a fresh process; prints every run and the median time, CPU time and memory.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
runs=${RUNS:-5}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORA_BENCH=ON -DVELMORA_TESTS=OFF >/dev/null
cmake --build "$build" --target bench_odbc >/dev/null
for config in "sqlite|" "sqlite|StepAPI=0;NoTXN=1" "postgres|" "postgres|UseDeclareFetch=0"; do
  source=${config%%|*}
  keys=${config#*|}
  out=/tmp/velmora-bench-odbc-$source-${keys:-default}.txt
  echo "== $source ${keys:-(driver defaults)}"
  for ((i = 0; i < runs; i++)); do BENCH_ODBC_KEYS="$keys" "$build/bench/odbc/bench_odbc" "$source"; done | tee "$out"
  /usr/bin/python3 - "$out" <<'PY'
import statistics, sys
runs = [dict(kv.split("=") for kv in line.split()[1:]) for line in open(sys.argv[1])]
t = statistics.median(float(r["seconds"]) for r in runs)
c = statistics.median(float(r["cpu_seconds"]) for r in runs)
m = statistics.median(float(r["peak_rss_mb"]) for r in runs)
g = statistics.median(float(r["peak_rss_mb"]) - float(r["rss_before_mb"]) for r in runs)
tm = float(runs[0]["text_mb"])
print(f"median: {t:.3f} s ({c:.3f} s CPU), peak RSS {m:.1f} MB, growth during the import {g:.1f} MB "
      f"({g / tm:.2f} x the {tm:.1f} MB table text)")
PY
done
