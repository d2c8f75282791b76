#pragma once

#include "Failure.h"

#include <QString>

#include <memory>

// The first worksheet of an Excel 97-2003 (.xls, BIFF) workbook, read cell by cell.
class XlsWorkbook
{
  public:
    ~XlsWorkbook();
    XlsWorkbook(const XlsWorkbook &) = delete;
    XlsWorkbook &operator=(const XlsWorkbook &) = delete;

    static Result<std::unique_ptr<XlsWorkbook>> open(const QString &path);

    // The sheet's own extent: rows and columns that may hold a value.
    int rowCount() const { return m_rows; }
    int columnCount() const { return m_columns; }

    // The value of cell (row, column), both counted from 1, as text: numbers in their plain
    // decimal form with up to 15 significant digits, dates as YYYY/MM/DD, an empty cell or one
    // outside the sheet as the empty text.
    Result<QString> cellText(int row, int column) const;

  private:
    XlsWorkbook() = default;
    const void *m_handle = nullptr;
    int m_rows = 0;
    int m_columns = 0;
};

// A double as a workbook shows its value: 15 significant digits, no trailing zeros.
QString numberText15(double value);
