#pragma once

#include "Failure.h"
#include "RecipientTable.h"

#include <QString>

// Reads a comma-separated text file: line 1 is the header, each later line one recipient. Fields
// are split at every comma (quotes are ordinary characters) and lose their leading and trailing
// spaces. A later line with fewer fields than line 1 fails the import; extra fields are dropped.
Result<RecipientTable> CSVDataGet(const QString &strFileName);

// The table of CSVDataGet() from a file already read; its text becomes the cells' pool.
struct TextLines;
Result<RecipientTable> csvTable(TextLines &lines, const QString &strFileName);

// Reads the first worksheet of an .xls workbook: row 1 is the header up to its first empty cell,
// rows 2 onward the recipients down to the row before the first empty cell of column A.
Result<RecipientTable> ExcelDataGet(const QString &strFileName);
