#!/usr/bin/env bash
# Address-book benchmark: builds in Release, makes a Thunderbird book of 10 000 contacts (plus 500
# without an address and a mailing list) and a vCard file of 10 000 contacts, loads each five times
# in a fresh process and prints every run and the median. CPU time is printed beside the wall
# time because the machine the figures come from is shared.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
data=${DATA_DIR:-/tmp/velmora-bench-addressbook}
n=${CONTACTS:-10000}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORA_BENCH=ON -DVELMORA_TESTS=OFF >/dev/null
cmake --build "$build" --target bench_addressbook >/dev/null
rm -rf "$data" && mkdir -p "$data/home"
/usr/bin/python3 "$root/tests/data/make_abook.py" --bench "$n" "$data/home"
/usr/bin/python3 - "$n" "$data/bench.vcf" <<'PY'
import sys
n, path = int(sys.argv[1]), sys.argv[2]
with open(path, "w", encoding="utf-8", newline="\r\n") as f:
    for i in range(n):
        f.write("BEGIN:VCARD\nVERSION:3.0\nN:姓%05d;名%05d;;;\nFN:姓%05d 名%05d\n"
                "EMAIL;TYPE=INTERNET:user%05d@example.jp\nTEL;TYPE=WORK:03-0000-%04d\n"
                "ORG:株式会社サンプル\nNOTE:とても長いメモの行がここで折り返されて次の行に続いていく\n"
                " という書き方の例です\nEND:VCARD\n" % (i, i, i, i, i, i % 10000))
PY
for kind in home vcf; do
  target=$data/home; [ "$kind" = vcf ] && target=$data/bench.vcf
  for i in 1 2 3 4 5; do "$build/bench/addressbook/bench_addressbook" "$kind" "$target"; done |
    tee "/tmp/velmora-bench-addressbook-$kind.txt"
  /usr/bin/python3 - "/tmp/velmora-bench-addressbook-$kind.txt" <<'PY'
import statistics, sys
runs = [dict(kv.split("=") for kv in line.split()[1:]) for line in open(sys.argv[1])]
print(f"median: {statistics.median(float(r['seconds']) for r in runs):.3f} s wall, "
      f"{statistics.median(float(r['cpu_seconds']) for r in runs):.3f} s CPU for {runs[0]['rows']} rows")
PY
done
