#!/usr/bin/python3
"""Writes the import benchmark's inputs: a CP932 CSV of 100 000 rows x 10 columns of Japanese
text (about 8 MB) and the same 20 000 rows x 10 columns as .xls, .xlsx and .ods. The .xlsx is laid
out as Excel saves it (a shared string table, one row element per row), the .ods as LibreOffice
does (one cell element per cell, text in paragraphs). bench-producer.fods is a sheet of 20 000 rows
x 7 with numbers, formulas and dates for LibreOffice to save as .xls (run.sh).
Usage: make_data.py OUTPUT_DIR"""
import datetime
import os
import random
import sys
import zipfile
from xml.sax.saxutils import escape

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
# The same rows in UTF-8, without a byte-order mark: the import recognises it by its text.
with open(os.path.join(out, "bench-utf8.csv"), "wb") as f:
    f.write(("\r\n".join(lines) + "\r\n").encode("utf-8"))

book = xlwt.Workbook(encoding="utf-8")
sheet = book.add_sheet("宛先")
for c, h in enumerate(header):
    sheet.write(0, c, h)
for i in range(1, 20001):
    for c, v in enumerate(row(i)):
        sheet.write(i, c, v)
book.save(os.path.join(out, "bench.xls"))

rows = [header] + [row(i) for i in range(1, 20001)]


def column_name(c):
    name = ""
    c += 1
    while c:
        c, rest = divmod(c - 1, 26)
        name = chr(ord("A") + rest) + name
    return name


strings, index = [], {}
sheet = []
for r, values in enumerate(rows, start=1):
    cells = []
    for c, v in enumerate(values):
        if v not in index:
            index[v] = len(strings)
            strings.append(v)
        cells.append('<c r="%s%d" t="s"><v>%d</v></c>' % (column_name(c), r, index[v]))
    sheet.append('<row r="%d">%s</row>' % (r, "".join(cells)))
main = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
rel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
pkg = "http://schemas.openxmlformats.org/package/2006/relationships"
with zipfile.ZipFile(os.path.join(out, "bench.xlsx"), "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("[Content_Types].xml",
               '<?xml version="1.0" encoding="UTF-8"?><Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
               '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
               '<Default Extension="xml" ContentType="application/xml"/></Types>')
    z.writestr("_rels/.rels", '<?xml version="1.0" encoding="UTF-8"?><Relationships xmlns="%s">'
               '<Relationship Id="rId1" Type="%s/officeDocument" Target="xl/workbook.xml"/></Relationships>' % (pkg, rel))
    z.writestr("xl/workbook.xml", '<?xml version="1.0" encoding="UTF-8"?><workbook xmlns="%s" xmlns:r="%s">'
               '<sheets><sheet name="宛先" sheetId="1" r:id="rId1"/></sheets></workbook>' % (main, rel))
    z.writestr("xl/_rels/workbook.xml.rels", '<?xml version="1.0" encoding="UTF-8"?><Relationships xmlns="%s">'
               '<Relationship Id="rId1" Type="%s/worksheet" Target="worksheets/sheet1.xml"/>'
               '<Relationship Id="rId2" Type="%s/sharedStrings" Target="sharedStrings.xml"/></Relationships>'
               % (pkg, rel, rel))
    z.writestr("xl/worksheets/sheet1.xml", '<?xml version="1.0" encoding="UTF-8"?><worksheet xmlns="%s">'
               '<sheetData>%s</sheetData></worksheet>' % (main, "".join(sheet)))
    z.writestr("xl/sharedStrings.xml", '<?xml version="1.0" encoding="UTF-8"?><sst xmlns="%s" count="%d" uniqueCount="%d">%s</sst>'
               % (main, len(rows) * 10, len(strings), "".join("<si><t>%s</t></si>" % escape(v) for v in strings)))

ns = ('xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" '
      'xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0" '
      'xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" '
      'xmlns:calcext="urn:org:documentfoundation:names:experimental:calc:xmlns:calcext:1.0"')
table = "".join(
    "<table:table-row>%s<table:table-cell table:number-columns-repeated=\"16374\"/></table:table-row>" % "".join(
        '<table:table-cell office:value-type="string" calcext:value-type="string"><text:p>%s</text:p>'
        "</table:table-cell>" % escape(v) for v in values) for values in rows)
with zipfile.ZipFile(os.path.join(out, "bench.ods"), "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("mimetype", "application/vnd.oasis.opendocument.spreadsheet", zipfile.ZIP_STORED)
    z.writestr("content.xml", '<?xml version="1.0" encoding="UTF-8"?><office:document-content %s office:version="1.3">'
               '<office:body><office:spreadsheet><table:table table:name="宛先">%s'
               '<table:table-row table:number-rows-repeated="1028575"><table:table-cell table:number-columns-repeated="16384"/>'
               "</table:table-row></table:table></office:spreadsheet></office:body></office:document-content>" % (ns, table))

# A recipient sheet as people keep one: 20 000 rows x 7 of text, amounts (some of them formulas)
# and dates in a date format, as flat OpenDocument. run.sh has LibreOffice save it as .xls when
# LibreOffice is there: its files hold what our own writers never do (FORMULA and MULRK records,
# date cells).
number_ns = ('xmlns:style="urn:oasis:names:tc:opendocument:xmlns:style:1.0" '
             'xmlns:number="urn:oasis:names:tc:opendocument:xmlns:datastyle:1.0" '
             'xmlns:of="urn:oasis:names:tc:opendocument:xmlns:of:1.2"')


def text_cell(v):
    return '<table:table-cell office:value-type="string"><text:p>%s</text:p></table:table-cell>' % escape(v)


producer = []
previous = 0
for i in range(1, 20001):
    name = rnd.choice(family) + " " + rnd.choice(given)
    amount = rnd.randint(1, 500) * 100
    if i % 20 == 0:
        amount_cell = ('<table:table-cell table:formula="of:=[.D%d]*2" office:value-type="float" '
                       'office:value="%d"/>' % (i, 2 * previous))
    else:
        amount_cell = '<table:table-cell office:value-type="float" office:value="%d"/>' % amount
        previous = amount
    day = datetime.date(2026, 1, 1) + datetime.timedelta(days=i % 365)
    texts = ["user%06d@example.jp" % i, name, "株式会社%s商事" % rnd.choice(family)]
    tail = ["%03d-%04d" % (rnd.randint(0, 999), rnd.randint(0, 9999)),
            "03-%04d-%04d" % (rnd.randint(0, 9999), rnd.randint(0, 9999))]
    producer.append("<table:table-row>%s%s%s%s</table:table-row>" % (
        "".join(text_cell(v) for v in texts), amount_cell,
        '<table:table-cell table:style-name="ce1" office:value-type="date" office:date-value="%s"/>'
        % day.isoformat(), "".join(text_cell(v) for v in tail)))
head = "".join(text_cell(v) for v in ["メールアドレス", "氏名", "会社名", "金額", "日付", "郵便番号", "電話"])
with open(os.path.join(out, "bench-producer.fods"), "w", encoding="utf-8") as f:
    f.write('<?xml version="1.0" encoding="UTF-8"?><office:document %s %s office:version="1.3" '
            'office:mimetype="application/vnd.oasis.opendocument.spreadsheet"><office:automatic-styles>'
            '<number:date-style style:name="N1"><number:year number:style="long"/><number:text>/</number:text>'
            '<number:month number:style="long"/><number:text>/</number:text><number:day number:style="long"/>'
            '</number:date-style><style:style style:name="ce1" style:family="table-cell" '
            'style:data-style-name="N1"/></office:automatic-styles><office:body><office:spreadsheet>'
            '<table:table table:name="宛先"><table:table-row>%s</table:table-row>%s</table:table>'
            '</office:spreadsheet></office:body></office:document>' % (ns, number_ns, head, "".join(producer)))
