#include "Importers.h"

#include "Text.h"
#include "XlsWorkbook.h"

namespace
{
constexpr int MaxSheetRows = 65536;
}

Result<RecipientTable> ExcelDataGet(const QString &strFileName)
{
    Result<std::unique_ptr<XlsWorkbook>> opened = XlsWorkbook::open(strFileName);
    if (!opened)
        return opened.failure();
    const XlsWorkbook &book = *opened.value();

    // Rows down to the first empty cell of column A; the text is compared untrimmed, so a cell of
    // spaces does not end the sheet.
    int rows = 0;
    for (int i = 1; i <= MaxSheetRows; ++i) {
        Result<QString> a = book.cellText(i, 1);
        if (!a)
            return a.failure();
        if (a->isEmpty())
            break;
        rows = i;
    }
    if (rows == 0)
        return Failure::noHeaderCell(strFileName);

    // Header cells up to the first empty one, never past the sheet's last column.
    int columns = 0;
    for (int j = 1; j <= book.columnCount(); ++j) {
        Result<QString> h = book.cellText(1, j);
        if (!h)
            return h.failure();
        if (h->isEmpty())
            break;
        columns = j;
    }

    RecipientTable table = RecipientTable::sized(rows - 1, columns);
    for (int i = 1; i <= rows; ++i) {
        for (int j = 1; j <= columns; ++j) {
            Result<QString> v = book.cellText(i, j);
            if (!v)
                return v.failure();
            QString text = trimSpaces(v.value());
            // Line breaks inside a cell are bare LF; mail text wants CR LF.
            if (text.contains(u'\n'))
                text.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
            table.setCell(i - 1, j, text);
        }
    }
    return table;
}
