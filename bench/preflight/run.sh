#!/usr/bin/env bash
# The check before sending on 100 000 rows x 10 columns with a 3 KB body, then the merge preview on
# the same table (offscreen): the check off the GUI thread with the event loop's longest gap
# meanwhile, and the time of a move to the next row, the next problem row and a typed row.
#
# usage: bench/preflight/run.sh [BUILD_DIR] [ROWS]
#   BUILD_DIR defaults to build-bench (Release with the benchmarks, configured here if missing).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../build-bench}
rows=${2:-100000}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here/../.." -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORA_BENCH=ON -DVELMORA_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target bench_preflight >/dev/null
export QT_QPA_PLATFORM=offscreen
config=$(mktemp -d)
trap 'rm -rf "$config"' EXIT
export XDG_CONFIG_HOME=$config
tool=$build/bench/preflight/bench_preflight
echo "check before sending, $rows rows (5 rounds in one process):"
"$tool" check "$rows" 5
echo "check before sending with a file of its own per row and a CC column, $rows rows:"
"$tool" rowfiles "$rows"
echo "merge preview, $rows rows:"
"$tool" preview "$rows"
