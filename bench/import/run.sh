#!/usr/bin/env bash
# Import benchmark: builds in Release, makes the inputs, loads each file five times in a fresh
# process and prints every run and the median time and peak memory (of the window's process; the
# workbook reader's own peak is printed beside it as reader_peak_rss_mb).
# bench-lo.xls is the producer sheet of make_data.py saved by LibreOffice (installed here when it is
# missing and this runs as root; VELMORA_BENCH_NO_INSTALL=1 leaves it out instead).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
data=${DATA_DIR:-/tmp/velmora-bench-import}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORA_BENCH=ON -DVELMORA_TESTS=OFF >/dev/null
cmake --build "$build" --target bench_import >/dev/null
[ -f "$data/bench.csv" ] && [ -f "$data/bench-utf8.csv" ] && [ -f "$data/bench.xls" ] && [ -f "$data/bench.xlsx" ] &&
  [ -f "$data/bench.ods" ] && [ -f "$data/bench-producer.fods" ] ||
  /usr/bin/python3 "$root/bench/import/make_data.py" "$data"
if ! command -v soffice >/dev/null && [ "$(id -u)" = 0 ] && [ "${VELMORA_BENCH_NO_INSTALL:-0}" != 1 ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends libreoffice-calc-nogui >/dev/null
fi
files=(bench.csv bench-utf8.csv bench.xls bench.xlsx bench.ods)
if command -v soffice >/dev/null; then
  if [ ! -f "$data/bench-lo.xls" ]; then
    # A profile of its own: a LibreOffice the user has open does not take the conversion over.
    soffice -env:UserInstallation="file://$data/lo-profile" --headless --convert-to xls --outdir "$data/lo" \
      "$data/bench-producer.fods" >/dev/null 2>&1
    mv "$data/lo/bench-producer.xls" "$data/bench-lo.xls"
  fi
  files+=(bench-lo.xls)
else
  echo "LibreOffice (soffice) is not installed: bench-lo.xls left out" >&2
fi
uptime
for f in "${files[@]}"; do
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
