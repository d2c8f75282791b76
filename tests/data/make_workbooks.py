#!/usr/bin/python3
"""Writes the .xlsx and .ods fixtures of the workbook tests into a folder:
    /usr/bin/python3 tests/data/make_workbooks.py OUTPUT_DIR [NAME...]

Only zipfile and plain XML text: no office suite is needed, and every part is written exactly as
the test wants it, the damaged and hostile files included.

recipients.xlsx and recipients.ods hold the same first sheet (and a second one that is not read):
    row 1  the column names; G1 is empty, so H1 is not a column
    rows 2-6 recipients; A7 is empty, so row 8 is not read
Each cell shows one way a workbook stores a value: shared, inline and rich strings, phonetic
readings, numbers with many digits, dates in built-in and custom formats, a time, booleans and
formulas with their last results.
"""
import datetime
import os
import sys
import zipfile

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
REL = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
PKG_REL = "http://schemas.openxmlformats.org/package/2006/relationships"


def serial(d):
    """A date (or datetime) as the number a workbook of the 1900 date system stores."""
    base = datetime.datetime(1899, 12, 30)
    if not isinstance(d, datetime.datetime):
        d = datetime.datetime(d.year, d.month, d.day)
    delta = d - base
    return delta.days + delta.seconds / 86400


def esc(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace('"', "&quot;")


def write_zip(path, parts, compression=zipfile.ZIP_DEFLATED):
    with zipfile.ZipFile(path, "w", compression) as z:
        for name, data in parts:
            if isinstance(data, str):
                data = data.encode("utf-8")
            # The ODF mimetype comes first and stored, as the format asks.
            z.writestr(name, data, zipfile.ZIP_STORED if name == "mimetype" else compression)


# ---------------------------------------------------------------------------------------------
# .xlsx

SHARED = [
    "<si><t>メールアドレス</t></si>",  # 0
    "<si><t>氏名</t></si>",  # 1
    "<si><t>日付</t></si>",  # 2
    "<si><r><t>備</t></r><r><rPr><b/></rPr><t>考</t></r></si>",  # 3 rich
    "<si><t>計算</t></si>",  # 4
    '<si><t xml:space="preserve">  yamada@example.jp </t></si>',  # 5
    # A reading (furigana) is kept beside the text and is not part of it.
    '<si><t>髙橋</t><rPh sb="0" eb="2"><t>タカハシ</t></rPh><phoneticPr fontId="1"/></si>',  # 6
    "<si><t>鈴木\n花子</t></si>",  # 7
    "<si><t>髙橋 ①</t></si>",  # 8
    "<si><t>tanaka@example.jp</t></si>",  # 9
    '<si><r><t xml:space="preserve">一行目\n</t></r><r><rPr><i/></rPr><t>二行目</t></r></si>',  # 10
    "<si><t>not read</t></si>",  # 11
    "<si><t>after-gap@example.jp</t></si>",  # 12
]


def c(ref, value=None, t=None, s=None, f=None, inline=None):
    attrs = ' r="%s"' % ref
    if s is not None:
        attrs += ' s="%d"' % s
    if t is not None:
        attrs += ' t="%s"' % t
    body = ""
    if f is not None:
        body += f
    if inline is not None:
        body += "<is>%s</is>" % inline
    if value is not None:
        body += "<v>%s</v>" % value
    return "<c%s>%s</c>" % (attrs, body)


def xlsx_first_sheet():
    rows = [
        [c("A1", 0, "s"), c("B1", 1, "s"), c("C1", t="inlineStr", inline="<t>金額</t>"), c("D1", 2, "s"),
         c("E1", 3, "s"), c("F1", 4, "s"), c("H1", t="inlineStr", inline="<t>見出しの後</t>")],
        [c("A2", 5, "s"),
         c("B2", t="inlineStr", inline='<r><t>山田</t></r><r><rPr><b/></rPr><t xml:space="preserve"> 太郎</t></r>'),
         c("C2", 12345), c("D2", serial(datetime.date(2026, 12, 8)), s=1), c("E2", 6, "s"),
         c("F2", 24690, f="<f>C2*2</f>"), c("H2", t="inlineStr", inline="<t>見出しのない列</t>")],
        [c("A3", t="inlineStr", inline="<t>suzuki@example.jp</t>"), c("B3", 7, "s"), c("C3", 3.25),
         c("D3", serial(datetime.datetime(2023, 3, 15, 18, 0)), s=2),
         c("F3", "文字列の結果", "str", f='<f>B3&amp;"様"</f>')],
        [c("A4", t="inlineStr", inline='<t xml:space="preserve">   </t>'), c("B4", 8, "s"),
         c("C4", "1.2345678901234568E+18"), c("D4", serial(datetime.date(2025, 1, 1)), s=3),
         c("E4", 1, "b"), c("F4", "#DIV/0!", "e", f="<f>1/0</f>")],
        [c("A5", 9, "s"), c("B5", repr(0.1 + 0.2)), c("C5", "0.000123"),
         c("D5", serial(datetime.datetime(2026, 12, 8, 12, 0)), s=4), c("E5", 0.75, s=5),
         c("F5", "0.000246", f='<f t="shared" ref="F5:F6" si="0">C5*2</f>')],
        [c("A6", t="inlineStr", inline="<t>sato@example.jp</t>"), c("B6", -2.5, s=6), c("C6", "1E+20"),
         c("D6", serial(datetime.date(1999, 2, 28)), s=7), c("E6", 10, "s"),
         c("F6", "2E+20", f='<f t="shared" si="0"/>')],
        [c("B7", t="inlineStr", inline="<t>A7 is empty</t>")],
        [c("A8", 12, "s")],
    ]
    data = "".join('<row r="%d">%s</row>' % (i + 1, "".join(r)) for i, r in enumerate(rows))
    return ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            '<worksheet xmlns="%s" xmlns:r="%s"><dimension ref="A1:H8"/><sheetData>%s</sheetData>'
            "</worksheet>" % (MAIN, REL, data))


def xlsx_sheet(cells_xml):
    return ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            '<worksheet xmlns="%s"><sheetData>%s</sheetData></worksheet>' % (MAIN, cells_xml))


STYLES = """<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<styleSheet xmlns="%s">
<numFmts count="3">
<numFmt numFmtId="164" formatCode="yyyy/mm/dd;@"/>
<numFmt numFmtId="165" formatCode="[$-F800]dddd\\,\\ mmmm\\ dd\\,\\ yyyy"/>
<numFmt numFmtId="166" formatCode="&quot;No. &quot;0"/>
</numFmts>
<fonts count="1"><font><sz val="11"/><name val="Yu Gothic"/></font></fonts>
<fills count="1"><fill><patternFill patternType="none"/></fill></fills>
<borders count="1"><border><left/><right/><top/><bottom/><diagonal/></border></borders>
<cellStyleXfs count="1"><xf numFmtId="0" fontId="0" fillId="0" borderId="0"/></cellStyleXfs>
<cellXfs count="9">
<xf numFmtId="0" fontId="0" fillId="0" borderId="0" xfId="0"/>
<xf numFmtId="14" fontId="0" fillId="0" borderId="0" xfId="0" applyNumberFormat="1"/>
<xf numFmtId="164" fontId="0" fillId="0" borderId="0" xfId="0" applyNumberFormat="1"/>
<xf numFmtId="31" fontId="0" fillId="0" borderId="0" xfId="0" applyNumberFormat="1"/>
<xf numFmtId="22" fontId="0" fillId="0" borderId="0" xfId="0" applyNumberFormat="1"/>
<xf numFmtId="21" fontId="0" fillId="0" borderId="0" xfId="0" applyNumberFormat="1"/>
<xf numFmtId="49" fontId="0" fillId="0" borderId="0" xfId="0" applyNumberFormat="1"/>
<xf numFmtId="165" fontId="0" fillId="0" borderId="0" xfId="0" applyNumberFormat="1"/>
<xf numFmtId="166" fontId="0" fillId="0" borderId="0" xfId="0" applyNumberFormat="1"/>
</cellXfs>
</styleSheet>""" % MAIN


def xlsx_parts(first_sheet, shared=SHARED, second_sheet=None):
    second_sheet = second_sheet or xlsx_sheet('<row r="1">%s</row>' % c("A1", 11, "s"))
    sst = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
           '<sst xmlns="%s" count="%d" uniqueCount="%d">%s</sst>' % (MAIN, len(shared), len(shared), "".join(shared)))
    # The first sheet of the workbook is stored as sheet2.xml: the order of workbook.xml counts, not
    # the names of the parts.
    return [
        ("[Content_Types].xml",
         '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
         '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
         '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
         '<Default Extension="xml" ContentType="application/xml"/>'
         '<Override PartName="/xl/workbook.xml" '
         'ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml"/>'
         '<Override PartName="/xl/worksheets/sheet1.xml" '
         'ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml"/>'
         '<Override PartName="/xl/worksheets/sheet2.xml" '
         'ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml"/>'
         '<Override PartName="/xl/sharedStrings.xml" '
         'ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml"/>'
         '<Override PartName="/xl/styles.xml" '
         'ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml"/>'
         "</Types>"),
        ("_rels/.rels",
         '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
         '<Relationships xmlns="%s"><Relationship Id="rId1" '
         'Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" '
         'Target="xl/workbook.xml"/></Relationships>' % PKG_REL),
        ("xl/workbook.xml",
         '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
         '<workbook xmlns="%s" xmlns:r="%s"><sheets>'
         '<sheet name="宛先" sheetId="2" r:id="rId2"/><sheet name="二枚目" sheetId="1" r:id="rId1"/>'
         "</sheets></workbook>" % (MAIN, REL)),
        ("xl/_rels/workbook.xml.rels",
         '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
         '<Relationships xmlns="%s">'
         '<Relationship Id="rId1" Type="%s/worksheet" Target="worksheets/sheet1.xml"/>'
         '<Relationship Id="rId2" Type="%s/worksheet" Target="worksheets/sheet2.xml"/>'
         '<Relationship Id="rId3" Type="%s/sharedStrings" Target="sharedStrings.xml"/>'
         '<Relationship Id="rId4" Type="%s/styles" Target="styles.xml"/>'
         "</Relationships>" % (PKG_REL, REL, REL, REL, REL)),
        ("xl/worksheets/sheet2.xml", first_sheet),
        ("xl/worksheets/sheet1.xml", second_sheet),
        ("xl/sharedStrings.xml", sst),
        ("xl/styles.xml", STYLES),
    ]


# ---------------------------------------------------------------------------------------------
# .ods

ODS_NS = ('xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" '
          'xmlns:style="urn:oasis:names:tc:opendocument:xmlns:style:1.0" '
          'xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" '
          'xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0" '
          'xmlns:number="urn:oasis:names:tc:opendocument:xmlns:datastyle:1.0" '
          'xmlns:fo="urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0" '
          'xmlns:of="urn:oasis:names:tc:opendocument:xmlns:of:1.2" '
          'xmlns:calcext="urn:org:documentfoundation:names:experimental:calc:xmlns:calcext:1.0"')


def cell(text=None, vt=None, value=None, attrs="", repeat=None, paras=None):
    a = attrs
    if repeat:
        a += ' table:number-columns-repeated="%d"' % repeat
    if vt:
        a += ' office:value-type="%s" calcext:value-type="%s"' % (vt, vt)
    if value is not None:
        a += ' office:%s="%s"' % ({"date": "date-value", "time": "time-value",
                                   "boolean": "boolean-value"}.get(vt, "value"), value)
    if paras is None and text is not None:
        paras = ["<text:p>%s</text:p>" % text]
    return "<table:table-cell%s>%s</table:table-cell>" % (a, "".join(paras or []))


def ods_first_sheet_rows():
    return [
        [cell("メールアドレス", "string"), cell("氏名", "string"), cell("金額", "string"), cell("日付", "string"),
         cell(None, "string", paras=['<text:p>備<text:span text:style-name="T1">考</text:span></text:p>']),
         cell("計算", "string"), cell(), cell("見出しの後", "string"), cell(repeat=16376)],
        [cell(None, "string", paras=['<text:p><text:s text:c="2"/>yamada@example.jp<text:s/></text:p>']),
         cell(None, "string", paras=['<text:p>山田<text:span text:style-name="T1"> 太郎</text:span></text:p>']),
         cell("12345", "float", "12345"), cell("2026/12/08", "date", "2026-12-08", ' table:style-name="ce1"'),
         cell(None, "string", paras=['<text:p><text:ruby><text:ruby-base>髙橋</text:ruby-base>'
                                     '<text:ruby-text>タカハシ</text:ruby-text></text:ruby></text:p>']),
         cell("24690", "float", "24690", ' table:formula="of:=[.C2]*2"'), cell(),
         cell("見出しのない列", "string"), cell(repeat=16376)],
        [cell("suzuki@example.jp", "string"),
         cell(None, "string", paras=["<text:p>鈴木</text:p>", "<text:p>花子</text:p>"]),
         cell("3.25", "float", "3.25"),
         cell("2023/03/15", "date", "2023-03-15T18:00:00", ' table:style-name="ce1"'), cell(),
         cell("文字列の結果", "string", attrs=' table:formula="of:=[.B3]&amp;&quot;様&quot;" '
              'office:string-value="文字列の結果"'), cell(repeat=16378)],
        [cell(None, "string", paras=['<text:p><text:s text:c="3"/></text:p>']), cell("髙橋 ①", "string"),
         cell("1.23456789012346E+018", "float", "1234567890123456789"),
         cell("2025年1月1日", "date", "2025-01-01", ' table:style-name="ce1"'),
         cell("TRUE", "boolean", "true"),
         cell("#DIV/0!", attrs=' table:formula="of:=1/0"'), cell(repeat=16378)],
        [cell("tanaka@example.jp", "string"), cell("0.3", "float", repr(0.1 + 0.2)),
         cell("0.000123", "float", "0.000123"),
         cell("2026/12/08 12:00:00", "date", "2026-12-08T12:00:00"),
         cell("18:00:00", "time", "PT18H00M00S"),
         cell("0.000246", "float", "0.000246", ' table:formula="of:=[.C5]*2"'), cell(repeat=16378)],
        [cell("sato@example.jp", "string"), cell("-2.5", "float", "-2.5"), cell("1E+20", "float", "1E+20"),
         cell("1999/02/28", "date", "1999-02-28"),
         cell(None, "string", paras=["<text:p>一行目</text:p>", "<text:p><text:span>二行目</text:span></text:p>"]),
         cell("2E+20", "float", "2E+20", ' table:formula="of:=[.C6]*2"'), cell(repeat=16378)],
        [cell(), cell("A7 is empty", "string"), cell(repeat=16382)],
        [cell("after-gap@example.jp", "string"), cell(repeat=16383)],
    ]


def ods_content(tables):
    body = ""
    for name, rows, trailing in tables:
        body += '<table:table table:name="%s"><table:table-column table:number-columns-repeated="16384"/>' % esc(name)
        for r in rows:
            body += "<table:table-row>%s</table:table-row>" % "".join(r)
        body += trailing
        body += "</table:table>"
    return ('<?xml version="1.0" encoding="UTF-8"?>\n'
            '<office:document-content %s office:version="1.3">'
            "<office:automatic-styles>"
            '<number:date-style style:name="N37"><number:year number:style="long"/><number:text>/</number:text>'
            '<number:month number:style="long"/><number:text>/</number:text><number:day number:style="long"/>'
            "</number:date-style>"
            '<style:style style:name="ce1" style:family="table-cell" style:parent-style-name="Default" '
            'style:data-style-name="N37"/>'
            '<style:style style:name="T1" style:family="text"><style:text-properties fo:font-weight="bold"/>'
            "</style:style>"
            "</office:automatic-styles>"
            "<office:body><office:spreadsheet>%s</office:spreadsheet></office:body>"
            "</office:document-content>" % (ODS_NS, body))


# The empty rows a spreadsheet program writes after the last used one.
TRAILING_ROWS = ('<table:table-row table:number-rows-repeated="1048568">'
                 '<table:table-cell table:number-columns-repeated="16384"/></table:table-row>')


def ods_parts(content):
    return [
        ("mimetype", "application/vnd.oasis.opendocument.spreadsheet"),
        ("META-INF/manifest.xml",
         '<?xml version="1.0" encoding="UTF-8"?>\n'
         '<manifest:manifest xmlns:manifest="urn:oasis:names:tc:opendocument:xmlns:manifest:1.0" '
         'manifest:version="1.3">'
         '<manifest:file-entry manifest:full-path="/" manifest:media-type="application/vnd.oasis.opendocument.spreadsheet"/>'
         '<manifest:file-entry manifest:full-path="content.xml" manifest:media-type="text/xml"/>'
         "</manifest:manifest>"),
        ("content.xml", content),
    ]


# ---------------------------------------------------------------------------------------------
# Damaged and hostile files


def write_bomb(path, parts, padded, padding_mb):
    """A sound workbook whose part `padded` also holds padding_mb of spaces before its last
    element: far more than any recipient list, deflated to a few hundred kilobytes."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as z:
        for name, data in parts:
            if name != padded:
                z.writestr(name, data, zipfile.ZIP_STORED if name == "mimetype" else zipfile.ZIP_DEFLATED)
                continue
            head, tail = data.rsplit("</", 1)
            with z.open(name, "w", force_zip64=True) as f:
                f.write(head.encode("utf-8"))
                chunk = b" " * (1 << 20)
                for _ in range(padding_mb):
                    f.write(chunk)
                f.write(("</" + tail).encode("utf-8"))


def patched(data, name, offset, value):
    """The archive with a 32-bit field of the central directory entry of `name` changed: offset
    16 is the checksum, 24 the inflated size."""
    import struct

    at = data.rfind(b"PK\x01\x02")
    while at >= 0:
        name_length = struct.unpack_from("<H", data, at + 28)[0]
        if data[at + 46:at + 46 + name_length] == name.encode():
            return data[:at + offset] + struct.pack("<I", value) + data[at + offset + 4:]
        at = data.rfind(b"PK\x01\x02", 0, at)
    raise KeyError(name)


def recipients_xlsx(path):
    write_zip(path, xlsx_parts(xlsx_first_sheet()))


def recipients_ods(path):
    write_zip(path, ods_parts(ods_content([("宛先", ods_first_sheet_rows(), TRAILING_ROWS),
                                           ("二枚目", [[cell("not read", "string")]], "")])))


def recipients_bytes(make):
    import tempfile

    with tempfile.TemporaryDirectory() as d:
        make(os.path.join(d, "w"))
        with open(os.path.join(d, "w"), "rb") as f:
            return f.read()


def write_bytes(path, data):
    with open(path, "wb") as f:
        f.write(data)


def truncated(make):
    """Cut short: the central directory at the end of the archive is missing."""
    return lambda path: write_bytes(path, recipients_bytes(make)[: len(recipients_bytes(make)) * 2 // 3])


def slow_ods(path):
    """Within every size limit, but some fifty million tiny elements to parse: only the time limit
    stops it."""
    head = ods_content([("a", [[cell("address", "string")]], "")]).split("</table:table>")[0]
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as z:
        z.writestr("mimetype", "application/vnd.oasis.opendocument.spreadsheet", zipfile.ZIP_STORED)
        with z.open("content.xml", "w", force_zip64=True) as f:
            f.write((head + "<table:table-row><table:table-cell><text:p>").encode("utf-8"))
            chunk = b"<text:s/>" * (1 << 17)
            for _ in range(400):
                f.write(chunk)
            f.write(b"</text:p></table:table-cell></table:table-row></table:table>"
                    b"</office:spreadsheet></office:body></office:document-content>")


FIXTURES = {
    "recipients.xlsx": recipients_xlsx,
    "recipients.ods": recipients_ods,
    "truncated.xlsx": truncated(recipients_xlsx),
    "truncated.ods": truncated(recipients_ods),
    # 600 MB of spaces inside the first sheet (and inside content.xml).
    "bomb.xlsx": lambda path: write_bomb(path, xlsx_parts(xlsx_first_sheet()), "xl/worksheets/sheet2.xml", 600),
    "bomb.ods": lambda path: write_bomb(path, ods_parts(ods_content([("a", ods_first_sheet_rows(), "")])),
                                        "content.xml", 600),
    # One cell repeated a billion times across a row; a row of values repeated a million times.
    "repeat.ods": lambda path: write_zip(path, ods_parts(ods_content(
        [("a", [[cell("address", "string")], [cell("x@example.jp", "string", repeat=1000000000)]], "")]))),
    "repeated_rows.ods": lambda path: write_zip(path, ods_parts(ods_content(
        [("a", [], '<table:table-row table:number-rows-repeated="1000000">%s</table:table-row>'
          % cell("x@example.jp", "string", repeat=8))]))),
    # A sheet that inflates to far more than its directory says, and one whose checksum is wrong.
    "lying_size.xlsx": lambda path: write_bytes(
        path, patched(recipients_bytes(recipients_xlsx), "xl/worksheets/sheet2.xml", 24, 100)),
    "bad_checksum.xlsx": lambda path: write_bytes(
        path, patched(recipients_bytes(recipients_xlsx), "xl/sharedStrings.xml", 16, 0x12345678)),
    # What a workbook saved with a password is: a compound file holding an encrypted package.
    "password.xlsx": lambda path: write_bytes(
        path, b"\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1" + bytes(1016) + "EncryptedPackage".encode("utf-16-le") + bytes(512)),
    "slow.ods": slow_ods,
}


def main():
    """make_workbooks.py OUTPUT_DIR [NAME...]: the named fixtures, or all of them."""
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name in sys.argv[2:] or FIXTURES:
        FIXTURES[name](os.path.join(out, name))


if __name__ == "__main__":
    main()
