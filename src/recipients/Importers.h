#pragma once

#include "Failure.h"
#include "RecipientTable.h"

#include <QString>

#include <functional>

// Reads a comma-separated text file: line 1 is the header, each later line one recipient. Fields
// are split at every comma (quotes are ordinary characters) and lose their leading and trailing
// spaces. A later line with fewer fields than line 1 fails the import; extra fields are dropped.
Result<RecipientTable> CSVDataGet(const QString &strFileName);

// Reads the first worksheet of an .xls workbook: row 1 is the header up to its first empty cell,
// rows 2 onward the recipients down to the row before the first empty cell of column A.
Result<RecipientTable> ExcelDataGet(const QString &strFileName);

// Reads every record of a table or SQL query of an ODBC data source: the field names are the
// header, each record one recipient, values as the driver's text, untrimmed. A NULL value fails
// the import. progress, when given, learns the number of records read so far a few times a second.
Result<RecipientTable> ODBCDataGet(const QString &strODBCconn, const QString &strODBCrec,
                                   const std::function<void(qint64)> &progress = {});
