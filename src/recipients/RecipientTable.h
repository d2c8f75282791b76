#pragma once

#include <QList>
#include <QString>
#include <QStringView>

#include <array>

// The words a send run writes into a row's status cell (column 0).
inline const QString StatusSent = QStringLiteral("送信OK");
inline const QString StatusFailed = QStringLiteral("送信NG");
// Accepted by the server, then returned by the recipient's side as undeliverable.
inline const QString StatusBounced = QStringLiteral("不達");

// The table of recipients, addressed [row][column]. Row 0 holds the column names (the merge-tag
// names), rows 1..lastRow() the recipients in source order. Column 0 is each row's send status,
// columns 1..lastColumn() the data, column 1 the e-mail address. Cells are never null.
//
// Cell texts live in one shared character pool and the table keeps only their places in it, so an
// imported file's decoded text serves as the cells without a copy per cell, and copying a table
// (to keep the previous one while a new one is read) costs nothing until one of them changes.
// The status column has a pool and places of its own: a send run writes a status into every row
// of a table whose copy the sending thread reads, and those writes must not copy the whole text.
class RecipientTable
{
  public:
    // The table a fresh main window holds: rows 0 and 1, a single column 1, both cells empty, no
    // status column.
    RecipientTable();

    // Rows 0..lastRow, columns 0..lastColumn, all empty. pool may already hold the text that the
    // cells will point into through setCellSpan().
    static RecipientTable sized(int lastRow, int lastColumn, QString pool = QString());

    int lastRow() const { return m_rows - 1; }
    int firstColumn() const { return m_firstColumn; }
    int lastColumn() const { return m_lastColumn; }
    bool hasCell(int row, int column) const
    {
        return row >= 0 && row < m_rows && column >= m_firstColumn && column <= m_lastColumn;
    }
    // True for the table made before anything was loaded.
    bool isInitial() const { return m_firstColumn == 1 && m_rows == 2 && cellView(0, 1).isEmpty(); }

    // Views stay valid until the table is next changed.
    QStringView cellView(int row, int column) const;
    QString cell(int row, int column) const { return cellView(row, column).toString(); }

    void setCell(int row, int column, QStringView text);
    // Points a cell at pool[start, start + length).
    void setCellSpan(int row, int column, qsizetype start, qsizetype length);
    const QString &pool() const { return m_pool; }

    // The server's reason for a row that failed to send, beside the grid's columns: never merged,
    // never exported. Empty for rows without one. Rows 1..lastRow().
    QString reason(int row) const;
    void setReason(int row, const QString &text);
    // A row whose whole mail went out without a final reply from the server: it may have arrived,
    // so a list of failed rows that holds it must say so before anyone sends it again.
    bool mayHaveArrived(int row) const;
    void setMayHaveArrived(int row, bool may);

  private:
    struct Span {
        quint32 start = 0;
        quint32 length = 0;
    };
    void setStatusCell(int row, QStringView text);
    // Of a data column (1..lastColumn); column 0 is in m_status.
    qsizetype index(int row, int column) const { return qsizetype(row) * m_lastColumn + (column - 1); }

    QString m_pool;
    QList<Span> m_cells;
    // Column 0, when the table has it: one place per row, in m_statusPool. The few texts a run
    // writes over and over are found among the last ones written rather than added again.
    QString m_statusPool;
    QList<Span> m_status;
    std::array<Span, 4> m_recentStatus{};
    quint8 m_nextRecent = 0;
    // Sized on the first reason set, so tables that never fail a row carry none.
    QList<QString> m_reasons;
    QList<bool> m_mayHaveArrived;
    int m_rows = 0;
    int m_firstColumn = 0;
    int m_lastColumn = 0;
};
