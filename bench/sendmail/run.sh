#!/usr/bin/env bash
# Sends COUNT merged mails (Japanese subject, ~2 KB body) to Postfix's smtp-sink on loopback in
# six ways, interleaved over ROUNDS rounds, and prints the median of each:
#   reuse         SendMail, one SMTP session for all mails
#   fresh         SendMail, a new session for every mail
#   session       one MailSession, each mail sent on its own
#   session-next  one MailSession, each mail's envelope sent behind the previous mail's end of data
#   smtplib       Python's smtplib over one connection (bench/sendmail/smtplib_send.py)
#   smtp-source   Postfix's smtp-source -d, one connection, messages of the same size
#
# usage: bench/sendmail/run.sh [BUILD_DIR] [ROUNDS] [COUNT]
#   BUILD_DIR defaults to build-bench, configured here for Release with the benchmarks when it
#   does not exist yet; sendmail_throughput is built in it before the run.
# On a virtual machine the rates are bimodal: a processor left idle takes long to wake, which
# costs most the senders that wait for many replies (smtp-source waits for four per mail), and
# other work on the machine keeps the processors awake. Compare rounds, and say what else ran.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../build-bench}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here/../.." -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORA_BENCH=ON -DVELMORA_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target sendmail_throughput >/dev/null
rounds=${2:-5}
count=${3:-2000}
tool=$build/bench/sendmail/sendmail_throughput
for f in "$tool" /usr/sbin/smtp-sink /usr/sbin/smtp-source /usr/bin/time /usr/bin/python3; do
  [ -x "$f" ] || { echo "missing: $f" >&2; exit 1; }
done

. "$here/sink.sh"

# smtp-source adds about 133 bytes of headers to its payload.
size=$("$tool" --sample-size)
payload=$((size - 133))

run_one() {
  local name=$1 cmd
  case $name in
    reuse) cmd=("$tool" --server "127.0.0.1:$port" --count "$count") ;;
    fresh) cmd=("$tool" --server "127.0.0.1:$port" --count "$count" --fresh) ;;
    session) cmd=("$tool" --server "127.0.0.1:$port" --count "$count" --session) ;;
    session-next) cmd=("$tool" --server "127.0.0.1:$port" --count "$count" --session-next) ;;
    smtplib) cmd=(/usr/bin/python3 "$here/smtplib_send.py" "$port" "$count") ;;
    smtp-source) cmd=(/usr/sbin/smtp-source -d -m "$count" -l "$payload" -f sales@example.com
                      -t user@example.com "127.0.0.1:$port") ;;
  esac
  local start=$EPOCHREALTIME
  /usr/bin/time -f "%e %U %S %M" -o "$work/time" "${cmd[@]}" >"$work/out"
  local elapsed
  elapsed=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { print b - a }')
  read -r _ user sys rss <"$work/time"
  # The senders time their own send loop; smtp-source is timed as a whole process.
  local rate
  rate=$(sed -n 's/.*rate=\([0-9.]*\).*/\1/p' "$work/out")
  [ -n "$rate" ] || rate=$(awk -v n="$count" -v t="$elapsed" 'BEGIN { printf "%.1f", n / t }')
  echo "$name $rate $(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }') $rss" >>"$work/results"
}

names=(reuse fresh session session-next smtplib smtp-source)
echo "message size: $size bytes; $count messages per run; $rounds rounds; load: $(cut -d' ' -f1-3 /proc/loadavg)" >&2
for round in $(seq "$rounds"); do
  for i in $(seq 0 5); do
    run_one "${names[$(((i + round) % 6))]}"
  done
  echo "round $round done" >&2
done

median() { # column of the results for one name
  awk -v n="$1" -v c="$2" '$1 == n { print $c }' "$work/results" | sort -g |
    awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

printf '%-13s %10s %8s %12s\n' sender "msgs/s" "CPU s" "peak RSS KB"
for n in "${names[@]}"; do
  printf '%-13s %10.0f %8.2f %12.0f\n' "$n" "$(median "$n" 2)" "$(median "$n" 3)" "$(median "$n" 4)"
done
reuse=$(median reuse 2); fresh=$(median fresh 2); smtplib=$(median smtplib 2); source=$(median smtp-source 2)
session=$(median session 2); next=$(median session-next 2)
awk -v r="$reuse" -v f="$fresh" -v p="$smtplib" -v s="$source" -v o="$session" -v n="$next" 'BEGIN {
  printf "reuse / smtp-source        = %.0f %% (target >= 80 %%)\n", 100 * r / s
  printf "reuse / smtplib            = %.1f x (target >= 3 x)\n", r / p
  printf "reuse / fresh              = %.2f x (target >= 1.5 x)\n", r / f
  printf "session-next / smtp-source = %.0f %% (target >= 130 %%)\n", 100 * n / s
  printf "session-next / session     = %.2f x\n", n / o
}'
# The same ratio round by round: a machine shared with other work moves all senders of a round.
awk '{ v[$1, ++k[$1]] = $2 } END {
  for (i = 1; i <= k["smtp-source"]; ++i)
    printf "round %d: session-next / smtp-source = %.0f %%\n", i, 100 * v["session-next", i] / v["smtp-source", i]
}' "$work/results"

