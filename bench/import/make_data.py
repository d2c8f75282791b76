#!/usr/bin/python3
"""Writes the import benchmark's inputs: a CP932 CSV of 100 000 rows x 10 columns of Japanese
text (about 8 MB) and an .xls of 20 000 rows x 10 columns. Usage: make_data.py OUTPUT_DIR"""
import os
import random
import sys

import xlwt

out = sys.argv[1]
os.makedirs(out, exist_ok=True)
rnd = random.Random(20261208)
family = ["山田", "鈴木", "佐藤", "髙橋", "伊藤", "渡辺", "中村", "小林", "加藤", "吉田"]
given = ["太郎", "花子", "一郎", "美咲", "健太", "由美", "翔", "さくら", "大輔", "愛"]
towns = ["東京都港区", "大阪府大阪市", "愛知県名古屋市", "北海道札幌市", "福岡県福岡市"]
header = ["メールアドレス", "氏名", "会社名", "部署", "住所", "電話", "地域", "担当", "備考", "区分"]


def row(i):
    name = rnd.choice(family) + " " + rnd.choice(given)
    return [
        "user%06d@example.jp" % i,
        name,
        "株式会社%s商事" % rnd.choice(family),
        "営業第%d部" % rnd.randint(1, 9),
        "%s%d-%d" % (rnd.choice(towns), rnd.randint(1, 9), rnd.randint(1, 30)),
        "03-%04d-%04d" % (rnd.randint(0, 9999), rnd.randint(0, 9999)),
        rnd.choice(["関東", "関西", "中部", "九州"]),
        rnd.choice(given),
        "①ご案内済み～",
        "Ａ",
    ]


with open(os.path.join(out, "bench.csv"), "wb") as f:
    lines = [",".join(header)] + [",".join(row(i)) for i in range(1, 100001)]
    f.write(("\r\n".join(lines) + "\r\n").encode("cp932"))

book = xlwt.Workbook(encoding="utf-8")
sheet = book.add_sheet("宛先")
for c, h in enumerate(header):
    sheet.write(0, c, h)
for i in range(1, 20001):
    for c, v in enumerate(row(i)):
        sheet.write(i, c, v)
book.save(os.path.join(out, "bench.xls"))
