#pragma once

#include "platform/Failure.h"
#include "platform/formats/workbookreader/XlsAnswer.h"
#include "platform/formats/workbookreader/XlsCellText.h"

#include <QString>
#include <QStringList>

#include <memory>

// How the workbook reader runs. The defaults suit the operator's files: a sound sheet of 65 536
// rows takes a few seconds and well under the memory given.
struct XlsReaderOptions {
    // The reader's program and the arguments before the path; an empty program means
    // XlsWorkbook::readerProgram().
    QString program;
    QStringList arguments;
    // Wall-clock time for the whole answer; the window waits this long at most.
    int timeoutMs = 30000;
    // Limits of the reader process: address space (0 leaves it unlimited) and processor time.
    qint64 memoryBytes = qint64(1) << 30;
    int cpuSeconds = 30;
    // When set, the reader is stopped and the open ends with importCancelled().
    const CancelFlag *cancel = nullptr;
};

// The first worksheet of a workbook, read cell by cell: Excel 97-2003 (.xls, BIFF), Excel (.xlsx)
// or OpenDocument (.ods), told apart by their content. The file is parsed by the workbook reader, a
// process of its own under limits, which sends every cell back at once; a crash, a hang or a
// malformed answer of the reader fails the open with damagedWorkbook() or workbookTimedOut(), a
// file that asks for more than the reader's limits with workbookLimit().
class XlsWorkbook
{
  public:
    XlsWorkbook(const XlsWorkbook &) = delete;
    XlsWorkbook &operator=(const XlsWorkbook &) = delete;

    static Result<std::unique_ptr<XlsWorkbook>> open(const QString &path,
                                                     const XlsReaderOptions &options = XlsReaderOptions());

    // The velmora-workbook-reader that imports run: the one set by setReaderProgram, else
    // findReader(the running executable's folder); empty when there is none, and the open fails.
    static QString readerProgram();
    // The reader beside the executable in `executableFolder`, else in <prefix>/libexec/velmora/
    // of an executable installed in <prefix>/bin; empty when neither holds one.
    static QString findReader(const QString &executableFolder);
    // Test programs point at the reader of their build tree; empty goes back to findReader.
    static void setReaderProgram(const QString &program);

    // The sheet's own extent: rows and columns that may hold a value.
    int rowCount() const { return m_sheet.rows; }
    int columnCount() const { return m_sheet.columns; }

    // The value of cell (row, column), both counted from 1, as text: numbers in their plain
    // decimal form with up to 15 significant digits, dates as YYYY/MM/DD, an empty cell or one
    // outside the sheet as the empty text.
    Result<QString> cellText(int row, int column) const;
    // Every cell that holds a value, for reading a whole region in one pass.
    const XlsSheet &sheet() const { return m_sheet; }

  private:
    explicit XlsWorkbook(XlsSheet sheet) : m_sheet(std::move(sheet)) {}
    XlsSheet m_sheet;
};
