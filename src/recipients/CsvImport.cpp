#include "Importers.h"

#include "Text.h"
#include "TextFile.h"

#include <limits>

namespace
{

// Number of comma-separated pieces of a line; an empty line has none.
qsizetype pieceCount(QStringView line)
{
    return line.isEmpty() ? 0 : line.count(u',') + 1;
}

} // namespace

Result<RecipientTable> CSVDataGet(const QString &strFileName)
{
    Result<TextLines> read = readTextFile(strFileName);
    if (!read)
        return read.failure();
    return csvTable(read.value(), strFileName);
}

Result<RecipientTable> csvTable(TextLines &lines, const QString &strFileName)
{
    const qsizetype lineCount = lines.count();
    if (lineCount == 0)
        return Failure::emptyFile(strFileName);
    if (lines.text.size() > std::numeric_limits<quint32>::max() ||
        lineCount > std::numeric_limits<int>::max())
        return Failure::outOfMemory();
    const qsizetype fields = pieceCount(lines.line(0));
    if (fields > std::numeric_limits<int>::max() / 2)
        return Failure::outOfMemory();

    RecipientTable table;
    try {
        table = RecipientTable::sized(int(lineCount - 1), int(fields), lines.text);
    } catch (const std::bad_alloc &) {
        return Failure::outOfMemory();
    }
    const QChar *base = lines.text.constData();
    for (qsizetype j = 0; j < lineCount; ++j) {
        const TextLines::Span span = lines.lines[size_t(j)];
        const QChar *p = base + span.start;
        const QChar *end = p + span.length;
        if (fields > 0 && span.length == 0)
            return Failure::extraEmptyLine(j + 1, fields);
        for (qsizetype k = 1; k <= fields; ++k) {
            if (p > end)
                return Failure::tooFewFields(j + 1, fields, pieceCount(lines.line(j)));
            const QChar *q = p;
            while (q < end && *q != u',')
                ++q;
            const QStringView field = trimSpaces(QStringView(p, q));
            table.setCellSpan(int(j), int(k), field.data() - base, field.size());
            p = q + 1; // past the comma, or one past the end when the line ran out
        }
    }
    return table;
}
