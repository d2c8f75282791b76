#include "recipients/Importers.h"

#include "platform/Text.h"
#include "platform/formats/XlsWorkbook.h"

Result<RecipientTable> ExcelDataGet(const QString &strFileName, const CancelFlag *cancel)
{
    XlsReaderOptions options;
    options.cancel = cancel;
    Result<std::unique_ptr<XlsWorkbook>> opened = XlsWorkbook::open(strFileName, options);
    if (!opened)
        return opened.failure();
    const XlsSheet &sheet = opened.value()->sheet();
    const auto unreadable = [&](const XlsSheet::Cell &cell) {
        return Failure::unreadableCell(int(cell.key / std::uint64_t(sheet.columns)) + 1,
                                       int(cell.key % std::uint64_t(sheet.columns)) + 1,
                                       sheet.text(cell).toString());
    };

    // Rows down to the first empty cell of column A; the text is compared untrimmed, so a cell of
    // spaces does not end the sheet. The reader sends no cell without text.
    int rows = 0;
    for (int i = 1; i <= sheet.rows; ++i) {
        const XlsSheet::Cell *a = sheet.find(i, 1);
        if (!a)
            break;
        if (a->unreadable)
            return unreadable(*a);
        rows = i;
    }
    if (rows == 0)
        return Failure::noHeaderCell(strFileName);

    // Header cells up to the first empty one, never past the sheet's last column.
    int columns = 0;
    for (int j = 1; j <= sheet.columns; ++j) {
        const XlsSheet::Cell *h = sheet.find(1, j);
        if (!h)
            break;
        if (h->unreadable)
            return unreadable(*h);
        columns = j;
    }

    // The table points into the sheet's pool; only a cell with a line break needs text of its own.
    RecipientTable table = RecipientTable::sized(rows - 1, columns, sheet.pool);
    for (int i = 1; i <= rows; ++i) {
        const std::uint64_t rowEnd = sheet.keyOf(i, columns + 1);
        for (auto it = sheet.from(i, 1); it != sheet.cells.end() && it->key < rowEnd; ++it) {
            if (it->unreadable)
                return unreadable(*it);
            const int j = int(it->key % std::uint64_t(sheet.columns)) + 1;
            const QStringView text = sheet.text(*it);
            const QStringView trimmed = trimSpaces(text);
            // Line breaks inside a cell are bare LF; mail text wants CR LF.
            if (trimmed.contains(u'\n'))
                table.setCell(i - 1, j,
                              trimmed.toString().replace(QStringLiteral("\n"), QStringLiteral("\r\n")));
            else
                table.setCellSpan(i - 1, j, it->start + (trimmed.data() - text.data()), trimmed.size());
        }
    }
    return table;
}
