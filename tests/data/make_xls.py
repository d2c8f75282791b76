#!/usr/bin/python3
"""Writes the .xls fixtures of the recipient tests. Run with Debian's python3 (python3-xlwt):
    /usr/bin/python3 tests/data/make_xls.py [output-dir]
"""
import datetime
import os
import sys

import xlwt

out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))


def save(book, name):
    book.save(os.path.join(out, name))


# A sheet with Japanese text, numbers, a date, a multi-line cell and cells beyond the header.
book = xlwt.Workbook(encoding="utf-8")
sheet = book.add_sheet("宛先")
rows = [
    ["メールアドレス", "氏名", "金額"],
    ["  yamada@example.jp ", "山田 太郎", 12345],
    ["suzuki@example.jp", "鈴木\n花子", 3.25],
    ["   ", "髙橋 ①", 1234567890123456789],
]
for r, row in enumerate(rows):
    for c, v in enumerate(row):
        sheet.write(r, c, v)
sheet.write(1, 3, "見出しのない列")  # D2: not read, D1 is empty
date_style = xlwt.easyxf(num_format_str="yyyy/mm/dd")
sheet.write(2, 3, datetime.date(2026, 12, 8), date_style)
sheet.write(5, 0, "after-gap@example.jp")  # A5 is empty: this row is not read
second = book.add_sheet("二枚目")
second.write(0, 0, "not read")
save(book, "recipients.xls")

# A header with a gap: names after the first empty header cell are not read.
book = xlwt.Workbook(encoding="utf-8")
sheet = book.add_sheet("Sheet1")
for c, v in enumerate(["address", "name", None, "late"]):
    if v is not None:
        sheet.write(0, c, v)
for c, v in enumerate(["a@example.jp", "A", "x", "y"]):
    sheet.write(1, c, v)
save(book, "header_gap.xls")

# An empty A1.
book = xlwt.Workbook(encoding="utf-8")
sheet = book.add_sheet("Sheet1")
sheet.write(0, 1, "name only")
save(book, "empty_a1.xls")

# Numbers as a workbook shows them.
book = xlwt.Workbook(encoding="utf-8")
sheet = book.add_sheet("Sheet1")
sheet.write(0, 0, "address")
sheet.write(0, 1, "value")
values = [0.1, -2.5, 100.0, 1e20, 0.000123, 123456789012.345, 1.0 / 3.0]
for r, v in enumerate(values, start=1):
    sheet.write(r, 0, "n%d@example.jp" % r)
    sheet.write(r, 1, v)
save(book, "numbers.xls")
