#pragma once

#include "platform/Failure.h"
#include "results/RecipientGrid.h"

#include <QByteArray>
#include <QString>

// Result CSV files: the header line of data columns, then every line whose status is the chosen
// one (for "送信NG", also the lines "不達"), fields joined by "," without quoting, every line ended by CR LF,
// every CR LF inside a cell turned into LF.

// Lines that would not read back as written: the import splits fields at every "," and lines at
// every line break, so a cell holding either moves the fields after it (or starts a false line).
// A line with nothing in it (one column, left empty) is refused by the import as an empty line.
struct CsvShiftCheck {
    int lines = 0;       // lines of the file concerned, the header line included
    int firstLine = -1;  // grid line of the first of them (0: the header line)
    QString firstColumn; // the column name of its first such cell
    int emptyLines = 0;
    int firstEmptyLine = -1;
};
CsvShiftCheck checkCsvShift(const RecipientGrid &grid, const QString &strStatus);

// Lines whose mail may have arrived though the row failed (no final reply came): sending the file
// again would mail them twice.
struct CsvArrivalCheck {
    int lines = 0;
    int firstLine = -1; // grid line of the first of them
};
CsvArrivalCheck checkMayHaveArrived(const RecipientGrid &grid, const QString &strStatus);

// The file's bytes: CP932 when every character has a place there and the import reads the bytes
// back as the same text, otherwise UTF-8 behind a byte-order mark (which the import recognises).
struct CsvBytes {
    QByteArray bytes;
    int count = 0; // recipient lines, the header line not counted
    bool utf8 = false;
    // Every character had a CP932 code, but the import would not read those bytes back as the same
    // text: half-width katakana pairs such as "ﾅｶ" are valid UTF-8 too.
    bool cp932Misread = false;
};
CsvBytes buildCsv(const RecipientGrid &grid, const QString &strStatus);

struct CsvWritten {
    int count = 0;
    bool written = false; // false: a grid without data lines, no file made
    bool utf8 = false;
    bool cp932Misread = false; // why UTF-8 was chosen, as in CsvBytes
};
// Writes the lines of strStatus to strFileName, replacing it through a temporary file; a grid
// with only its header line makes no file and counts 0.
Result<CsvWritten> CSVDataPut(const RecipientGrid &grid, const QString &strFileName,
                              const QString &strStatus);
