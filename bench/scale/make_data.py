#!/usr/bin/python3
"""Writes the scale benchmark's recipient list: ROWS rows x 10 columns of Japanese names,
companies and addresses in CP932 (about 117 bytes a row), the address first (r<N>@example.jp).
The column names are the merge tags the send and preflight benches use.
Usage: make_data.py OUTPUT.csv [ROWS]"""
import random
import sys

out = sys.argv[1]
rows = int(sys.argv[2]) if len(sys.argv) > 2 else 1000000
rnd = random.Random(20261209)
family = ["山田", "鈴木", "佐藤", "髙橋", "伊藤", "渡辺", "中村", "小林", "加藤", "吉田", "山本", "斎藤"]
given = ["太郎", "花子", "一郎", "美咲", "健太", "由美", "翔", "さくら", "大輔", "愛", "誠", "陽菜"]
towns = ["東京都港区芝公園", "大阪府大阪市北区梅田", "愛知県名古屋市中区栄", "北海道札幌市中央区",
         "福岡県福岡市博多区", "神奈川県横浜市西区"]
titles = ["部長", "課長", "係長", "主任", "担当"]
header = ["メールアドレス", "氏名", "会社名", "部署", "役職", "郵便番号", "住所", "電話番号", "担当者", "回"]

# Cells drawn from small pools, joined per row: fast enough for a million rows in a few seconds.
names = [f + " " + g for f in family for g in given]
companies = ["株式会社%s商事" % f for f in family] + ["%s工業株式会社" % f for f in family]
depts = ["営業第%d部" % k for k in range(1, 10)]
addresses = ["%s%d-%d-%d号" % (t, a, b, c) for t in towns for a in range(1, 6) for b in range(1, 8) for c in range(1, 4)]
choice = rnd.choice
with open(out, "wb") as f:
    f.write((",".join(header) + "\r\n").encode("cp932"))
    chunk = []
    for i in range(1, rows + 1):
        chunk.append("r%d@example.jp,%s,%s,%s,%s,%03d-%04d,%s,0%d-%04d-%04d,%s,%d\r\n" % (
            i, choice(names), choice(companies), choice(depts), choice(titles),
            rnd.randint(100, 999), rnd.randint(0, 9999), choice(addresses), rnd.randint(3, 9),
            rnd.randint(0, 9999), rnd.randint(0, 9999), choice(given), i % 12 + 1))
        if len(chunk) == 10000:
            f.write("".join(chunk).encode("cp932"))
            chunk = []
    f.write("".join(chunk).encode("cp932"))
