#!/usr/bin/env bash
# One million recipients end to end: a CP932 CSV of 1 000 000 rows x 10 columns (about 117 MB, made
# here by make_data.py) imported, checked before sending, sent whole to Postfix's smtp-sink through
# the main window (offscreen), its journal continued after a kill, the recipient list window opened
# and scrolled, the results exported, and the program started with 50 journals in its state folder.
# One line per figure, with its target.
#
# usage: bench/scale/run.sh [BUILD_DIR] [SEND_ROWS...]
#   BUILD_DIR defaults to build-bench (Release with the benchmarks, configured here if missing).
#   SEND_ROWS: the sizes of the whole runs to smtp-sink beside the 2 000-row one that sets the
#   rate to keep (default: 200000 1000000).
# Needs: /usr/bin/python3, Postfix's smtp-sink (/usr/sbin/smtp-sink), /usr/bin/time; xvfb-run for
# the start-up (offscreen without it). The data goes to $DATA_DIR (default /tmp/velmora-bench-scale)
# and is kept for the next run.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../build-bench}
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(200000 1000000)
data=${DATA_DIR:-/tmp/velmora-bench-scale}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here/../.." -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORA_BENCH=ON -DVELMORA_TESTS=OFF >/dev/null
fi
nice cmake --build "$build" -j2 --target bench_import bench_preflight send_run_bench resume_bench bench_results \
  bench_window >/dev/null
for f in /usr/bin/python3 /usr/sbin/smtp-sink; do
  [ -x "$f" ] || { echo "missing: $f" >&2; exit 1; }
done
export QT_QPA_PLATFORM=offscreen
config=$(mktemp -d)
export XDG_CONFIG_HOME=$config

mkdir -p "$data"
csv=$data/scale.csv
[ -f "$csv" ] || /usr/bin/python3 "$here/make_data.py" "$csv" 1000000
mb=$(stat -c %s "$csv" | awk '{ printf "%.1f", $1 / 1e6 }')
echo "data: $csv, 1000000 rows x 10 columns, CP932, $mb MB" >&2
echo "uptime before: $(uptime)"

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
field() { sed -n "s/.*[ ]$1=\([0-9.]*\).*/\1/p"; }

# Import.
for i in 1 2 3; do "$build/bench/import/bench_import" "$csv"; done >"$data/import.txt"
printf 'import:             %.3f s (median of 3; target < 1 s), peak RSS %.0f MB\n' \
  "$(field seconds <"$data/import.txt" | median)" "$(field peak_rss_mb <"$data/import.txt" | median)"

# The check before sending: on its own, then off the merge preview's GUI thread with its gaps.
"$build/bench/preflight/bench_preflight" check-file "$csv" 3 >"$data/check.txt"
"$build/bench/preflight/bench_preflight" preview-file "$csv" >"$data/preview.txt"
printf 'preflight:          %.3f s (median of 3; target < 4 s), %.3f s CPU; in the window: done after %.3f s, longest event-loop gap %.1f ms\n' \
  "$(field seconds <"$data/check.txt" | median)" "$(field cpu_seconds <"$data/check.txt" | median)" \
  "$(sed -n 's/.*check_done_seconds=\([0-9.]*\).*/\1/p' "$data/preview.txt")" \
  "$(field longest_event_loop_gap_ms <"$data/preview.txt")"

# Whole runs to smtp-sink: 2 000 rows (three times) set the rate, then the larger sizes once each.
. "$here/../sendmail/sink.sh"
send() {
  local rows=$1 file=$data/send-$1.csv
  if [ "$rows" -ge 1000000 ]; then file=$csv; else [ -f "$file" ] || head -n $((rows + 1)) "$csv" >"$file"; fi
  "$build/bench/send/send_run_bench" --server "127.0.0.1:$port" --csv "$file" 2>"$data/send-$rows.err"
}
for i in 1 2 3; do send 2000; done >"$data/send-small.txt"
base=$(field rate <"$data/send-small.txt" | median)
printf 'send 2000 rows:     %.0f mails/s (median of 3), longest event-loop gap %s ms\n' "$base" \
  "$(field longest_gap_ms <"$data/send-small.txt" | median)"
for rows in "${sizes[@]}"; do
  # The machine's speed drifts: a 2 000-row run just before each large one joins the baseline.
  send 2000 >>"$data/send-small.txt"
  base=$(field rate <"$data/send-small.txt" | median)
  send "$rows" >"$data/send-big.txt" || { echo "send $rows rows: failed ($(tail -1 "$data/send-$rows.err"))"; continue; }
  awk -v base="$base" -v rows="$rows" -v csvmb="$mb" -v file="$(stat -c %s "$data/send-$rows.csv" 2>/dev/null || stat -c %s "$csv")" '
    { for (i = 1; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] } }
    END {
      printf "send %d rows: %.0f mails/s (%.0f %% of the 2000-row rate, %.0f/s, median of the runs so far; target >= 100 %%), %.1f s, longest event-loop gap %d ms (target <= 100 ms) from %.1f s\n",
        rows, v["rate"], 100 * v["rate"] / base, base, v["seconds"], v["longest_gap_ms"], v["longest_gap_from_s"]
      printf "send %d rows: peak RSS %.0f MB = %.2f x the %.1f MB CSV (target <= 3 x + a constant); table loaded %.0f MB, start %.0f MB; %.0f bytes per row beyond the loaded table\n",
        rows, v["peak_rss_kb"] * 1024 / 1e6, v["peak_rss_kb"] * 1024 / file, file / 1e6, v["rss_loaded_kb"] * 1024 / 1e6,
        v["rss_start_kb"] * 1024 / 1e6, (v["peak_rss_kb"] - v["rss_loaded_kb"]) * 1024 / rows
    }' "$data/send-big.txt"
done

# The journal of a million rows, killed half-way: continuing up to the first mail.
"$build/bench/send/resume_bench" --rows 1000000 --rounds 3 >"$data/resume.txt"
sed -n 's/^  total: *\([0-9.]*\) s.*/continue after kill: \1 s (1000000-row journal, median of 3; target < 1 s)/p' "$data/resume.txt"
sed -n 's/^  \(list\|reopen\|table\|statuses\)/  &/p' "$data/resume.txt" | sed 's/^  */                    /'

# The recipient list window and the export over a million rows.
for i in 1 2 3; do "$build/bench/results/bench_results" 1000000; done >"$data/results.txt"
printf 'list window (Form2): open %.3f s (target < 1 s), scroll page %.2f ms median, worst %.2f ms\n' \
  "$(field open_s <"$data/results.txt" | median)" "$(field scroll_page_ms <"$data/results.txt" | median)" \
  "$(field scroll_worst_ms <"$data/results.txt" | median)"
printf 'CSV export:         %.3f s (1000000 rows, median of 3; target < 1 s)\n' "$(field export_s <"$data/results.txt" | median)"

# Start-up with 50 journals: 49 finished runs of 20 000 rows and the killed million-row run.
state=$data/state
if [ ! -d "$state/velmora" ] || [ "$(ls "$state/velmora"/*.journal 2>/dev/null | wc -l)" -ne 50 ]; then
  rm -rf "$state"
  mkdir -p "$state/velmora"
  chmod 700 "$state/velmora"
  for i in $(seq 49); do "$build/bench/send/resume_bench" --rows 20000 --leave "$state/velmora" --finished; done
  "$build/bench/send/resume_bench" --rows 1000000 --leave "$state/velmora"
fi
journals=$(du -sm "$state/velmora" | cut -f1)
run=()
command -v xvfb-run >/dev/null && run=(xvfb-run -a -s "-screen 0 1280x1024x24") && unset QT_QPA_PLATFORM
for i in 1 2 3 4 5; do
  XDG_STATE_HOME=$state "${run[@]}" "$build/bench/window/bench_window" startup 2>/dev/null
done >"$data/startup.txt"
printf 'start-up:           %.3f s to the first paint with 50 journals (%s MB) in the state folder (median of 5; target < 0.3 s)\n' \
  "$(field seconds <"$data/startup.txt" | median)" "$journals"
rm -rf "$config"
echo "uptime after: $(uptime)"
