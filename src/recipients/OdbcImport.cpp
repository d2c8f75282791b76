#include "recipients/Importers.h"

#include "platform/formats/odbc/OdbcSource.h"

#include <QElapsedTimer>

#include <limits>
#include <new>

namespace
{

// Progress is reported at most this often, so the status line moves a few times a second without
// the repaints costing the read anything noticeable.
constexpr qint64 ProgressIntervalMs = 200;

// The cells' lengths until the record count is known, seven bits to a byte, the last byte of each
// below 0x80: most cells are short, so they cost about a byte each beside the text.
class Lengths
{
  public:
    void append(quint32 n)
    {
        for (; n >= 0x80; n >>= 7)
            m_bytes.append(char(0x80 | (n & 0x7f)));
        m_bytes.append(char(n));
    }
    quint32 next()
    {
        quint32 n = 0;
        for (int shift = 0;; shift += 7) {
            const quint8 b = quint8(m_bytes.at(m_read++));
            n |= quint32(b & 0x7f) << shift;
            if (b < 0x80)
                return n;
        }
    }

  private:
    QByteArray m_bytes;
    qsizetype m_read = 0;
};

} // namespace

Result<RecipientTable> ODBCDataGet(const QString &strODBCconn, const QString &strODBCrec,
                                   const std::function<void(qint64)> &progress, const CancelFlag *cancel)
{
    Result<std::unique_ptr<OdbcCursor>> opened = OdbcCursor::open(strODBCconn, strODBCrec);
    if (!opened)
        return opened.failure();
    OdbcCursor &cursor = *opened.value();
    const QStringList &names = cursor.columnNames();
    const int fields = int(names.size());

    // Every text goes once into one pool, header names first; each cell is then the next
    // length-sized piece of it. The driver's row count is never asked: the records are counted
    // as they arrive.
    QString pool;
    Lengths lengths;
    QElapsedTimer sinceReport;
    sinceReport.start();
    qint64 records = 0;
    try {
        for (const QString &n : names) {
            pool.append(n);
            lengths.append(quint32(n.size()));
        }
        for (;;) {
            Result<bool> more = cursor.next();
            if (!more)
                return more.failure();
            if (!more.value())
                break;
            if (cancel && cancel->load())
                return Failure::importCancelled();
            if (records == std::numeric_limits<int>::max() - 1)
                return Failure::outOfMemory();
            ++records;
            for (int c = 0; c < fields; ++c) {
                const qsizetype before = pool.size();
                Result<bool> value = cursor.appendValue(c, pool);
                if (!value)
                    return value.failure();
                if (!value.value())
                    return Failure::nullField(records, names[c]);
                if (pool.size() > std::numeric_limits<quint32>::max())
                    return Failure::outOfMemory();
                lengths.append(quint32(pool.size() - before));
            }
            if (progress && (records & 0xff) == 0 && sinceReport.elapsed() >= ProgressIntervalMs) {
                progress(records);
                sinceReport.restart();
            }
        }
        opened.value().reset();

        RecipientTable table = RecipientTable::sized(int(records), fields, std::move(pool));
        qsizetype start = 0;
        for (int r = 0; r <= int(records); ++r)
            for (int c = 1; c <= fields; ++c) {
                const quint32 length = lengths.next();
                table.setCellSpan(r, c, start, length);
                start += length;
            }
        return table;
    } catch (const std::bad_alloc &) {
        return Failure::outOfMemory();
    }
}
