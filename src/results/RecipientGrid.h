#pragma once

#include "recipients/RecipientTable.h"

#include <QString>
#include <QStringView>

#include <utility>

// The recipient list's grid over its own copy of the table. Line i shows table row i; column 0
// holds the line number, column 1 the status and column j >= 2 table column j - 1. Line 0 is the
// header line: column 0 empty, column 1 "STATUS", then the column names. An empty status shows as
// "読込OK".
class RecipientGrid
{
  public:
    enum class Outcome { None, Sent, Failed, Bounced };

    explicit RecipientGrid(RecipientTable table) : m_table(std::move(table)) {}

    int lineCount() const { return m_table.lastRow() + 1; }
    int columnCount() const { return m_table.lastColumn() + 2; }

    QString text(int line, int column) const;
    // Column 1 of a line, without a copy for data lines.
    QStringView status(int line) const;
    // Column j >= 2 of a line, as the table holds it.
    QStringView dataCell(int line, int column) const { return m_table.cellView(line, column - 1); }

    // By exact comparison of column 1 with "送信OK", "送信NG" and "不達"; the header line is never sent.
    Outcome outcome(int line) const;
    // The server's reason for a failed line, empty when there is none.
    QString reason(int line) const { return line >= 1 ? m_table.reason(line) : QString(); }

    const RecipientTable &table() const { return m_table; }

  private:
    RecipientTable m_table;
};
