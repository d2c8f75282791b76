#!/usr/bin/env bash
# Import benchmark: builds in Release, makes the inputs, loads each file five times in a fresh
# process and prints every run and the median time and peak memory (of the window's process; the
# workbook reader's own peak is printed beside it as reader_peak_rss_mb).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
data=${DATA_DIR:-/tmp/velmora-bench-import}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORA_BENCH=ON -DVELMORA_TESTS=OFF >/dev/null
cmake --build "$build" --target bench_import >/dev/null
[ -f "$data/bench.csv" ] && [ -f "$data/bench-utf8.csv" ] && [ -f "$data/bench.xls" ] && [ -f "$data/bench.xlsx" ] && [ -f "$data/bench.ods" ] ||
  /usr/bin/python3 "$root/bench/import/make_data.py" "$data"
uptime
for f in bench.csv bench-utf8.csv bench.xls bench.xlsx bench.ods; do
  for i in 1 2 3 4 5; do "$build/bench/import/bench_import" "$data/$f"; done | tee /tmp/velmora-bench-$f.txt
  /usr/bin/python3 - "/tmp/velmora-bench-$f.txt" <<'PY'
import statistics, sys
runs = [dict(kv.split("=") for kv in line.split()[1:]) for line in open(sys.argv[1])]
t = statistics.median(float(r["seconds"]) for r in runs)
m = statistics.median(float(r["peak_rss_mb"]) for r in runs)
fm = float(runs[0]["file_mb"])
rm = statistics.median(float(r["reader_peak_rss_mb"]) for r in runs)
reader = f", workbook reader peak RSS {rm:.1f} MB" if rm > 0 else ""
print(f"median: {t:.3f} s, peak RSS {m:.1f} MB ({m / fm:.1f} x the {fm:.2f} MB file){reader}")
PY
done
