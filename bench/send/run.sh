#!/usr/bin/env bash
# The whole send run of the main window (offscreen) against Postfix's smtp-sink on loopback,
# compared in the same script run with smtp-source -d (messages of the same size) and Python's
# smtplib over one connection; then the event loop's longest gap, a 20 000-row run with its peak
# memory, the same run with a 200 KB file of its own per row and a CC, and the CPU used during an
# interval wait and a timer wait.
#
# usage: bench/send/run.sh [BUILD_DIR] [ROUNDS] [ROWS]
#   BUILD_DIR defaults to build-bench (Release with the benchmarks, configured here if missing).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../build-bench}
rounds=${2:-3}
rows=${3:-2000}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here/../.." -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORA_BENCH=ON -DVELMORA_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target send_run_bench resume_bench >/dev/null
tool=$build/bench/send/send_run_bench
for f in "$tool" /usr/sbin/smtp-sink /usr/sbin/smtp-source /usr/bin/time /usr/bin/python3; do
  [ -x "$f" ] || { echo "missing: $f" >&2; exit 1; }
done
export QT_QPA_PLATFORM=offscreen

. "$here/../sendmail/sink.sh"

size=$("$tool" --sample-size 2>/dev/null)
payload=$((size - 133)) # smtp-source adds about 133 bytes of headers
echo "message size: $size bytes; $rows rows; $rounds rounds" >&2

rate_of() { sed -n 's/.*rate=\([0-9.]*\).*/\1/p' "$1"; }
: >"$work/results"
for round in $(seq "$rounds"); do
  "$tool" --server "127.0.0.1:$port" --rows "$rows" >"$work/run" 2>/dev/null
  echo "run $(rate_of "$work/run") $(sed -n 's/.*longest_gap_ms=\([0-9]*\).*/\1/p' "$work/run")" >>"$work/results"
  start=$EPOCHREALTIME
  /usr/sbin/smtp-source -d -m "$rows" -l "$payload" -f sales@example.com -t user@example.com "127.0.0.1:$port"
  echo "smtp-source $(awk -v n="$rows" -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", n / (b - a) }')" >>"$work/results"
  /usr/bin/python3 "$here/../sendmail/smtplib_send.py" "$port" "$rows" 3000 >"$work/py"
  echo "smtplib $(rate_of "$work/py")" >>"$work/results"
  echo "round $round done" >&2
done

median() {
  awk -v n="$1" -v c="$2" '$1 == n { print $c }' "$work/results" | sort -g |
    awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
run=$(median run 2); gap=$(median run 3); src=$(median smtp-source 2); py=$(median smtplib 2)
printf '%-22s %10s\n' sender "msgs/s"
printf '%-22s %10.0f\n' "send run (Form1)" "$run" smtp-source "$src" smtplib "$py"
awk -v r="$run" -v s="$src" -v p="$py" -v g="$gap" 'BEGIN {
  printf "send run / smtp-source = %.0f %% (target >= 100 %%)\n", 100 * r / s
  printf "send run / smtplib     = %.1f x (target >= 10 x)\n", r / p
  printf "longest event-loop gap = %d ms (median of rounds; target <= 100 ms)\n", g
}'

# What the journal costs: the run itself, with and without it, alternating in the same rounds.
: >"$work/core"
for round in $(seq "$rounds"); do
  "$tool" --core --server "127.0.0.1:$port" --rows "$rows" 2>/dev/null | sed -n 's/.*rate=\([0-9.]*\).*/journal \1/p' >>"$work/core"
  "$tool" --core --no-journal --server "127.0.0.1:$port" --rows "$rows" 2>/dev/null | sed -n 's/.*rate=\([0-9.]*\).*/none \1/p' >>"$work/core"
done
cmedian() {
  awk -v n="$1" '$1 == n { print $2 }' "$work/core" | sort -g |
    awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
cj=$(cmedian journal); cn=$(cmedian none)
awk -v j="$cj" -v n="$cn" 'BEGIN {
  printf "run with journal %.0f/s, without %.0f/s: %.0f %% (target >= 90 %%)\n", j, n, 100 * j / n
}'

"$tool" --server "127.0.0.1:$port" --rows 20000 2>/dev/null | sed 's/^/20000 rows: /'
# Invoices: each row its own 200 KB PDF and a CC, against the same sink.
"$tool" --server "127.0.0.1:$port" --rows "$rows" --invoices 204800 2>/dev/null | sed "s/^/$rows rows with a 200 KB file each and a CC: /"
"$tool" --server "127.0.0.1:$port" --interval-cpu 2>/dev/null
"$tool" --timer-cpu 2>/dev/null
"$build/bench/send/resume_bench" --rows 20000 2>/dev/null | sed 's/^/continue a 20000-row journal: /'
