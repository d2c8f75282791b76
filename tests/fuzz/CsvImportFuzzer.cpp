// The CSV import over any bytes: decoding (UTF-8 with or without a mark, CP932, invalid bytes) and
// the split into the table. Every cell must be the trimmed piece of its line that a plain split
// gives, and the table's shape must follow the header line.
#include "FuzzCheck.h"
#include "Importers.h"
#include "TextFile.h"

#include <QStringList>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString path = QStringLiteral("fuzz.csv");
    Result<TextLines> read = decodeText(bytes, path);
    if (!read)
        return 0;
    TextLines &lines = read.value();
    // A second byte-order mark after the first is text of the first line.
    if (size >= 6 && bytes.startsWith("\xEF\xBB\xBF\xEF\xBB\xBF"))
        FUZZ_CHECK(lines.text.startsWith(QChar(0xFEFF)));
    const TextLines copy = lines;
    Result<RecipientTable> table = csvTable(lines, path);
    if (!table)
        return 0;
    const RecipientTable &t = table.value();
    FUZZ_CHECK(t.lastRow() == copy.count() - 1);
    const QStringList header = copy.line(0).isEmpty() ? QStringList() : copy.line(0).toString().split(u',');
    FUZZ_CHECK(t.lastColumn() == header.size());
    for (int r = 0; r <= t.lastRow(); ++r) {
        const QStringList pieces = copy.line(r).toString().split(u',');
        FUZZ_CHECK(t.cellView(r, 0).isEmpty());
        for (int c = 1; c <= t.lastColumn(); ++c) {
            FUZZ_CHECK(c <= pieces.size());
            QStringView expected(pieces[c - 1]);
            while (expected.startsWith(u' '))
                expected = expected.sliced(1);
            while (expected.endsWith(u' '))
                expected.chop(1);
            FUZZ_CHECK(t.cellView(r, c) == expected);
        }
    }
    return 0;
}
