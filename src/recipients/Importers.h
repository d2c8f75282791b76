#pragma once

#include "platform/Failure.h"
#include "recipients/RecipientTable.h"

#include <QString>

#include <functional>

struct AddressBookPlaces;

// Receives the status-line texts of a long import, in order.
using StatusSink = std::function<void(const QString &)>;

// Reads a comma-separated text file: line 1 is the header, each later line one recipient. Fields
// are split at every comma (quotes are ordinary characters) and lose their leading and trailing
// spaces. A later line with fewer fields than line 1 fails the import; extra fields are dropped.
Result<RecipientTable> CSVDataGet(const QString &strFileName);

// The table of CSVDataGet() from a file already read; its text becomes the cells' pool.
struct TextLines;
Result<RecipientTable> csvTable(TextLines &lines, const QString &strFileName);

// Reads the first worksheet of a workbook (.xls, .xlsx or .ods): row 1 is the header up to its first
// empty cell, rows 2 onward the recipients down to the row before the first empty cell of column A.
// A set `cancel` stops the workbook reader and the import ends with importCancelled().
Result<RecipientTable> ExcelDataGet(const QString &strFileName, const CancelFlag *cancel = nullptr);

// Reads the personal address book of the desktop's mail program (see readDesktopAddressBook) into
// a table with the columns "Address" and "Name", one row per entry with an e-mail address, in the
// book's order. status is told the empty text, then the waiting text while the book is read, then
// the empty text, then each stored entry as address "/" name.
Result<RecipientTable> OutlookDataGet(const AddressBookPlaces &places, const StatusSink &status,
                                      const CancelFlag *cancel = nullptr);

// Reads a vCard file into the same "Address" and "Name" table: one row per card with an e-mail
// address (its first EMAIL and its FN), in file order; contact groups are left out.
Result<RecipientTable> VCardDataGet(const QString &strFileName);
// Reads every record of a table or SQL query of an ODBC data source: the field names are the
// header, each record one recipient, values as the driver's text, untrimmed. A NULL value fails
// the import. progress, when given, learns the number of records read so far a few times a second.
Result<RecipientTable> ODBCDataGet(const QString &strODBCconn, const QString &strODBCrec,
                                   const std::function<void(qint64)> &progress = {},
                                   const CancelFlag *cancel = nullptr);
