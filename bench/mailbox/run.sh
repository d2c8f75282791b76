#!/usr/bin/env bash
# The window's send run to Postfix's smtp-sink with Copy to Sent off and on (a Dovecot of the run's
# own on loopback takes the copies), alternating in the same script run: the SMTP run's rate with
# the copies on as a share of the rate without, and when the last copy was appended. Then the
# matching of delivery notices (bounce_bench).
#
# usage: bench/mailbox/run.sh [BUILD_DIR] [ROUNDS] [ROWS]
#   BUILD_DIR defaults to build-bench (Release with the benchmarks, configured here if missing).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../build-bench}
rounds=${2:-3}
rows=${3:-2000}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here/../.." -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORA_BENCH=ON -DVELMORA_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target send_run_bench bounce_bench >/dev/null
tool=$build/bench/send/send_run_bench
for f in "$tool" /usr/sbin/smtp-sink /usr/sbin/dovecot; do
  [ -x "$f" ] || { echo "missing: $f" >&2; exit 1; }
done
export QT_QPA_PLATFORM=offscreen

. "$here/../sendmail/sink.sh"

rate_of() { sed -n 's/.*rate=\([0-9.]*\).*/\1/p' "$1"; }
: >"$work/results"
for round in $(seq "$rounds"); do
  "$tool" --server "127.0.0.1:$port" --rows "$rows" >"$work/off" 2>/dev/null
  "$tool" --server "127.0.0.1:$port" --rows "$rows" --sent-copies >"$work/on" 2>"$work/on.err" ||
    { cat "$work/on.err" >&2; exit 1; }
  echo "$(rate_of "$work/off") $(rate_of "$work/on") $(sed -n 's/.*copies_done_s=\([0-9.]*\).*/\1/p' "$work/on")" \
    >>"$work/results"
done
sort -n -k1 "$work/results" | awk -v rows="$rows" '
  { off[NR] = $1; on[NR] = $2; done[NR] = $3 }
  END {
    m = int((NR + 1) / 2)
    printf "send run, %d rows, median of %d rounds: copy to Sent off %.1f mails/s, on %.1f mails/s (%.0f %%); last copy appended %.2f s after the start\n",
      rows, NR, off[m], on[m], 100 * on[m] / off[m], done[m]
  }'
"$build/bench/bounces/bounce_bench" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true 2>/dev/null |
  grep -E "median" || true
