#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringDecoder>

#include <cstdint>
#include <vector>

// The cells of one worksheet as the workbook reader sent them.
struct XlsSheet {
    struct Cell {
        std::uint32_t key = 0; // (row - 1) * columns + (column - 1)
        bool unreadable = false;
        QString text; // the value, or why it could not be read
    };
    int rows = 0;
    int columns = 0;
    std::vector<Cell> cells; // in increasing key order

    // The cell at (row, column), both from 1; nullptr for an empty cell or one outside the sheet.
    const Cell *find(int row, int column) const;
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

    // After complete(): the reader's reason when the file is no workbook, otherwise empty.
    const QString &failureReason() const { return m_failureReason; }
    bool failed() const { return m_failed; }
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
    QString m_problem;
    QStringDecoder m_decoder{QStringDecoder::Utf8,
                             QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom};
};
