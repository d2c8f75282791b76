#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringDecoder>
#include <QStringView>

#include <cstdint>
#include <vector>

// The cells of one worksheet as the workbook reader sent them. Their texts lie one after another in
// one pool, so a large sheet costs one allocation rather than one per cell, and an import can point
// its table into the pool without copying.
struct XlsSheet {
    struct Cell {
        std::uint64_t key = 0;   // (row - 1) * columns + (column - 1)
        std::uint32_t start = 0; // the text: pool[start, start + length)
        std::uint32_t length = 0;
        bool unreadable = false; // the text says why the value could not be read
    };
    int rows = 0;
    int columns = 0;
    std::vector<Cell> cells; // in increasing key order
    QString pool;

    std::uint64_t keyOf(int row, int column) const
    {
        return std::uint64_t(row - 1) * std::uint64_t(columns) + std::uint64_t(column - 1);
    }
    // The cell at (row, column), both from 1; nullptr for an empty cell or one outside the sheet.
    const Cell *find(int row, int column) const;
    // The first cell at or after (row, column), in reading order; cells.end() when none.
    std::vector<Cell>::const_iterator from(int row, int column) const;
    QStringView text(const Cell &cell) const { return QStringView(pool).mid(cell.start, cell.length); }
};

// Reads the workbook reader's answer (XlsProtocol.h) as it arrives, in pieces of any size, and
// checks it strictly: anything out of form, out of order, out of the sheet or left unfinished makes
// the whole answer malformed.
class XlsAnswerParser
{
  public:
    // Takes the next bytes; false once the answer is malformed.
    bool feed(QByteArrayView bytes);

    bool complete() const { return m_state == State::Complete; }
    bool malformed() const { return m_state == State::Malformed; }
    // What was wrong, for developers.
    const QString &problem() const { return m_problem; }

    // After complete(): the reader's reason when the file is no workbook, when it asked for more
    // than the reader's limits (limitHit()) or when it is damaged (damaged()); otherwise empty.
    const QString &failureReason() const { return m_failureReason; }
    bool failed() const { return m_failed; }
    bool limitHit() const { return m_limitHit; }
    // The workbook is damaged; the reason is for developers.
    bool damaged() const { return m_damaged; }
    XlsSheet takeSheet() { return std::move(m_sheet); }

  private:
    enum class State { Magic, First, Cells, AfterFailure, Complete, Malformed };
    bool fail(const char *problem);
    bool take(char type, QByteArrayView payload);
    qsizetype unitSize(QByteArrayView head) const;
    qsizetype takeUnits(QByteArrayView data);

    State m_state = State::Magic;
    QByteArray m_pending;
    std::uint64_t m_received = 0;
    XlsSheet m_sheet;
    QString m_failureReason;
    bool m_failed = false;
    bool m_limitHit = false;
    bool m_damaged = false;
    QString m_problem;
    QStringDecoder m_decoder{QStringDecoder::Utf8,
                             QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom};
};
