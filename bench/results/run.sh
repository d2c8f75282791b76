#!/usr/bin/env bash
# Recipient list and export benchmark: builds in Release, runs five times in fresh processes and
# prints every run and the medians.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORA_BENCH=ON -DVELMORA_TESTS=OFF >/dev/null
cmake --build "$build" --target bench_results >/dev/null
for i in 1 2 3 4 5; do QT_QPA_PLATFORM=offscreen "$build/bench/results/bench_results"; done | tee /tmp/velmora-bench-results.txt
/usr/bin/python3 - /tmp/velmora-bench-results.txt <<'PY'
import statistics, sys
runs = [dict(kv.split("=") for kv in line.split()[1:]) for line in open(sys.argv[1])]
med = {k: statistics.median(float(r[k]) for r in runs) for k in runs[0]}
print(f"median: open {med['open_s']:.3f} s ({med['open_cpu_s']:.3f} s CPU), scroll page {med['scroll_page_ms']:.2f} ms "
      f"(worst {med['scroll_worst_ms']:.2f} ms), window heap {med['window_mb']:.1f} MB beside a "
      f"{med['table_mb']:.1f} MB table ({med['window_mb'] / med['table_mb']:.2f} x), "
      f"export {med['export_s']:.3f} s ({med['export_cpu_s']:.3f} s CPU) for {med['export_file_mb']:.1f} MB")
PY
