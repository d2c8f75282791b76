#include "JournalReport.h"

#include "JournalHead.h"
#include "JournalRecord.h"
#include "RecipientTable.h"

#include <QCryptographicHash>
#include <QFile>
#include <QSysInfo>
#include <QtEndian>

namespace
{

// What the journal last said of a row.
enum class Step : quint8 { None, Declared, Started, Outcome };

int rowNumber(QByteArrayView text, int rows)
{
    bool ok = false;
    const int row = text.toInt(&ok);
    return ok && row >= 1 && row <= rows ? row : 0;
}

// Applies one record; false for a record that cannot be part of this run.
class Replay
{
  public:
    Replay(JournalReport &r, QString bootIdNow)
        : m_r(r), m_steps(size_t(r.identity.rows) + 1, Step::None), m_boot(r.bootId),
          m_bootNow(std::move(bootIdNow))
    {
    }

    bool apply(const QList<QByteArray> &f)
    {
        using namespace JournalHead;
        const int rows = m_r.identity.rows;
        if (f[0] == Closed && f.size() == 2 && (f[1] == Finished || f[1] == Stopped)) {
            m_r.ending = f[1] == Finished ? JournalReport::Ending::Finished : JournalReport::Ending::Stopped;
            return true;
        }
        // Anything recorded after a close means the run went on.
        m_r.ending = JournalReport::Ending::Abrupt;
        if (f[0] == Declare && f.size() == 2) {
            const QByteArrayView list(f[1]);
            for (qsizetype at = 0; at <= list.size();) {
                qsizetype comma = list.indexOf(',', at);
                if (comma < 0)
                    comma = list.size();
                const QByteArrayView range = list.sliced(at, comma - at);
                at = comma + 1;
                const qsizetype dash = range.indexOf('-');
                const int first = rowNumber(range.first(dash < 0 ? range.size() : dash), rows);
                const int last = dash < 0 ? first : rowNumber(range.sliced(dash + 1), rows);
                if (first == 0 || last < first)
                    return false;
                for (int row = first; row <= last; ++row) {
                    // A row that was accepted, or may have arrived, stays so until it is started again.
                    const JournalReport::Row state = m_r.rows[row].state;
                    if (m_steps[row] != Step::Outcome || (state != JournalReport::Row::Accepted &&
                                                          state != JournalReport::Row::MayHaveArrived))
                        m_steps[row] = Step::Declared;
                }
            }
            return true;
        }
        if (f[0] == Resumed && f.size() == 2) {
            resumed(JournalRecord::text(f[1]));
            return true;
        }
        const int row = f.size() >= 2 ? rowNumber(f[1], rows) : 0;
        if (row == 0)
            return false;
        if (f[0] == Started && f.size() == 2) {
            m_steps[row] = Step::Started;
            return true;
        }
        if (f[0] != Outcome || f.size() != 4)
            return false;
        JournalReport::RowEntry &e = m_r.rows[row];
        if (f[2] == Accepted)
            e.state = JournalReport::Row::Accepted;
        else if (f[2] == Refused)
            e.state = JournalReport::Row::Refused;
        else if (f[2] == Retry)
            e.state = JournalReport::Row::Retry;
        else if (f[2] == MayHaveArrived)
            e.state = JournalReport::Row::MayHaveArrived;
        else
            return false;
        e.reason = JournalRecord::text(f[3]);
        m_steps[row] = Step::Outcome;
        return true;
    }

    // A damaged record, and the records after it up to the next "resumed" one, are unknown: any row
    // not settled for good may have gone out in them.
    void damaged()
    {
        using Row = JournalReport::Row;
        for (size_t row = 1; row < m_steps.size(); ++row) {
            JournalReport::RowEntry &e = m_r.rows[row];
            if (m_steps[row] == Step::Outcome && (e.state == Row::Accepted || e.state == Row::Refused))
                continue;
            if (m_steps[row] != Step::Outcome)
                e.reason.clear();
            e.state = Row::MayHaveArrived;
            m_steps[row] = Step::Outcome;
        }
    }

    // The rows' states from what was read.
    void settle()
    {
        using Row = JournalReport::Row;
        m_r.bootId = m_boot;
        m_r.sameBoot = !m_boot.isEmpty() && m_boot == m_bootNow;
        for (size_t row = 1; row < m_steps.size(); ++row) {
            JournalReport::RowEntry &e = m_r.rows[row];
            settleRow(row, m_r.sameBoot);
            switch (e.state) {
            case Row::NotTried: ++m_r.notTried; break;
            case Row::Accepted: ++m_r.accepted; break;
            case Row::Refused: ++m_r.refused; break;
            case Row::Retry: ++m_r.retry; break;
            case Row::MayHaveArrived: ++m_r.mayHaveArrived; break;
            }
        }
    }

  private:
    // A row not settled by an outcome, as the boot it was declared in and the boot it is read in
    // tell.
    void settleRow(size_t row, bool sameBoot)
    {
        using Row = JournalReport::Row;
        JournalReport::RowEntry &e = m_r.rows[row];
        switch (m_steps[row]) {
        case Step::None: e.state = Row::NotTried; break;
        // Declared rows were synced before any of them was sent, but a started record written after
        // that sync is lost with a restart of the machine.
        case Step::Declared: e.state = sameBoot ? Row::NotTried : Row::MayHaveArrived; break;
        case Step::Started: e.state = Row::MayHaveArrived; break;
        case Step::Outcome: return;
        }
        e.reason.clear();
    }

    // The continuation read the journal in `boot` and acted on the rows as they were then: those
    // states hold from here on, and declared rows are judged by the new boot.
    void resumed(const QString &boot)
    {
        const bool sameBoot = !m_boot.isEmpty() && m_boot == boot;
        for (size_t row = 1; row < m_steps.size(); ++row) {
            if (m_steps[row] == Step::Outcome || m_steps[row] == Step::None)
                continue;
            settleRow(row, sameBoot);
            m_steps[row] = m_r.rows[row].state == JournalReport::Row::NotTried ? Step::None : Step::Outcome;
        }
        m_boot = boot;
    }

    JournalReport &m_r;
    std::vector<Step> m_steps;
    QString m_boot; // of the records being read
    const QString m_bootNow;
};

// Where reading goes on after a damaged record: the next whole "resumed" record, else the end.
qsizetype nextResumed(const QByteArray &bytes, qsizetype from)
{
    QList<QByteArray> fields;
    for (qsizetype pos = from; pos < bytes.size();) {
        const qsizetype lf = bytes.indexOf('\n', pos);
        if (lf < 0)
            break;
        if (QByteArrayView(bytes).sliced(pos).startsWith(JournalHead::Resumed) &&
            JournalRecord::open(QByteArrayView(bytes).sliced(pos, lf - pos), fields) &&
            fields[0] == JournalHead::Resumed)
            return pos;
        pos = lf + 1;
    }
    return bytes.size();
}

} // namespace

Result<JournalReport> readJournal(const QString &path, const QString &bootIdNow)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (!file.exists())
            return Failure::fileNotFound(path);
        if (file.error() == QFileDevice::PermissionsError)
            return Failure::permissionDenied(path);
        return Failure::readError(path, file.errorString());
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return Failure::readError(path, file.errorString());
    Result<JournalHead::Head> head = JournalHead::read(bytes, path);
    if (!head)
        return head.failure();

    JournalReport r;
    r.path = path;
    r.identity = std::move(head->identity);
    r.bootId = head->bootId;
    r.rows.resize(size_t(r.identity.rows) + 1);
    r.appendAt = bytes.size();
    Replay replay(r, bootIdNow);
    QList<QByteArray> fields;
    for (qsizetype pos = head->end; pos < bytes.size();) {
        const qsizetype lf = bytes.indexOf('\n', pos);
        if (lf >= 0 && JournalRecord::open(QByteArrayView(bytes).sliced(pos, lf - pos), fields) &&
            replay.apply(fields)) {
            pos = lf + 1;
            continue;
        }
        if (r.damagedAt < 0)
            r.damagedAt = pos;
        r.ending = JournalReport::Ending::Abrupt;
        if (lf < 0 || lf + 1 == bytes.size()) {
            if (r.tail == JournalReport::Tail::Whole)
                r.tail = JournalReport::Tail::Torn;
            r.appendAt = pos;
            break;
        }
        r.tail = JournalReport::Tail::Damaged;
        replay.damaged();
        pos = nextResumed(bytes, lf + 1);
    }
    replay.settle();
    return r;
}

QByteArray tableDigest(const RecipientTable &table)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray buffer;
    buffer.reserve(1 << 16);
    auto number = [&](quint64 n) {
        const quint64 le = qToLittleEndian(n);
        buffer.append(reinterpret_cast<const char *>(&le), sizeof le);
    };
    number(quint64(table.lastRow()) + 1);
    number(quint64(qMax(table.lastColumn(), 0)));
    for (int row = 0; row <= table.lastRow(); ++row) {
        for (int column = 1; column <= table.lastColumn(); ++column) {
            const QStringView cell = table.cellView(row, column);
            number(quint64(cell.size()));
            if constexpr (QSysInfo::ByteOrder == QSysInfo::LittleEndian) {
                buffer.append(reinterpret_cast<const char *>(cell.utf16()), cell.size() * 2);
            } else {
                for (const QChar c : cell) {
                    const quint16 le = qToLittleEndian(c.unicode());
                    buffer.append(reinterpret_cast<const char *>(&le), sizeof le);
                }
            }
            if (buffer.size() >= (1 << 16) - 1024) {
                hash.addData(buffer);
                buffer.clear();
            }
        }
    }
    hash.addData(buffer);
    return hash.result();
}

std::optional<Failure> checkJournalTable(const JournalReport &report, const RecipientTable &table)
{
    if (table.lastRow() == report.identity.rows && tableDigest(table) == report.identity.tableDigest)
        return std::nullopt;
    return Failure::journalOtherTable(report.path, report.identity.sourceText());
}
