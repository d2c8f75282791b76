#pragma once

// The first worksheet of an Excel 97-2003 workbook (.xls: BIFF8 records in the "Workbook" stream of
// a compound file), or of Excel 5.0 and 95 (BIFF5, a "Book" stream, text in the workbook's code
// page). Cells as the .xlsx and .ods readers give them: numbers with 15 significant digits, dates
// by their cell's format, a formula as its saved result, booleans as 1 and 0, rich text as its
// characters without its phonetic reading.

#include "platform/formats/workbookreader/WorkbookCells.h"

#include <string>
#include <string_view>

// The cells of the first worksheet of a workbook stream (without its container).
void readBiffStream(std::string_view stream, SheetCells &cells);

// The workbook reader's whole answer (XlsProtocol.h) for a compound file: the cells of its first
// worksheet, or why there are none. Never throws for anything in the file.
std::string xlsWorkbookAnswer(std::string_view file);
