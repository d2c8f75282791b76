#include "platform/formats/workbookreader/XlsAnswer.h"

#include "platform/formats/workbookreader/XlsProtocol.h"

#include <QStringDecoder>

#include <algorithm>

namespace
{

std::uint32_t number(QByteArrayView bytes, qsizetype at)
{
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data()) + at;
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

// Appends bytes to pool as strict UTF-8: no invalid or overlong sequences, no surrogates, no NUL;
// keeps a leading U+FEFF. Most cells are ASCII and skip the decoder.
bool appendUtf8(QStringDecoder &decoder, QByteArrayView bytes, QString &pool)
{
    bool ascii = true;
    for (char c : bytes) {
        if (c == '\0')
            return false;
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    }
    // UTF-16 never needs more units than UTF-8 has bytes; the pool grows by doubling.
    const qsizetype at = pool.size();
    if (pool.capacity() < at + bytes.size())
        pool.reserve(std::max(at + bytes.size(), 2 * pool.capacity()));
    if (ascii) {
        pool.append(QLatin1StringView(bytes));
        return true;
    }
    pool.resize(at + bytes.size());
    decoder.resetState();
    QChar *end = decoder.appendToBuffer(pool.data() + at, bytes);
    pool.resize(end - pool.constData());
    return !decoder.hasError();
}

bool decodeUtf8(QStringDecoder &decoder, QByteArrayView bytes, QString &text)
{
    text.clear();
    return appendUtf8(decoder, bytes, text);
}

} // namespace

std::vector<XlsSheet::Cell>::const_iterator XlsSheet::from(int row, int column) const
{
    if (row < 1)
        return cells.begin();
    if (row > rows)
        return cells.end();
    const std::uint64_t key = keyOf(row, std::clamp(column, 1, std::max(columns, 1)));
    return std::lower_bound(cells.begin(), cells.end(), key,
                            [](const Cell &c, std::uint64_t k) { return c.key < k; });
}

const XlsSheet::Cell *XlsSheet::find(int row, int column) const
{
    if (row < 1 || column < 1 || row > rows || column > columns)
        return nullptr;
    const auto it = from(row, column);
    return it != cells.end() && it->key == keyOf(row, column) ? &*it : nullptr;
}

bool XlsAnswerParser::fail(const char *problem)
{
    m_state = State::Malformed;
    m_problem = QString::fromLatin1(problem);
    m_pending.clear();
    m_sheet = XlsSheet();
    return false;
}

// Bytes the unit starting at head needs in all: the magic, or a record once its header is there;
// -1 for a record longer than any the reader sends.
qsizetype XlsAnswerParser::unitSize(QByteArrayView head) const
{
    if (m_state == State::Magic)
        return sizeof XlsProtocol::Magic;
    if (head.size() < qsizetype(XlsProtocol::HeaderSize))
        return XlsProtocol::HeaderSize;
    const std::uint32_t length = number(head, 1);
    return length > XlsProtocol::MaxPayload ? -1 : qsizetype(XlsProtocol::HeaderSize + length);
}

// Takes the whole units at the start of data; returns the bytes taken, or -1 when malformed.
qsizetype XlsAnswerParser::takeUnits(QByteArrayView data)
{
    qsizetype at = 0;
    while (at < data.size()) {
        if (m_state == State::Complete) {
            fail("bytes after the end record");
            return -1;
        }
        const QByteArrayView rest = data.sliced(at);
        const qsizetype size = unitSize(rest);
        if (size < 0) {
            fail("record too long");
            return -1;
        }
        if (rest.size() < size)
            break;
        if (m_state == State::Magic) {
            if (rest.first(size) != QByteArrayView(XlsProtocol::Magic, size)) {
                fail("not an answer of the workbook reader");
                return -1;
            }
            m_state = State::First;
        } else if (!take(rest[0], rest.sliced(XlsProtocol::HeaderSize, size - XlsProtocol::HeaderSize))) {
            return -1;
        }
        at += size;
    }
    return at;
}

bool XlsAnswerParser::feed(QByteArrayView bytes)
{
    if (m_state == State::Malformed)
        return false;
    if (m_state == State::Complete)
        return bytes.isEmpty() || fail("bytes after the end record");
    m_received += std::uint64_t(bytes.size());
    if (m_received > XlsProtocol::MaxAnswer)
        return fail("answer larger than any sound sheet gives");
    // A unit cut at the end of the last piece is completed from this one first; whole units are
    // then read where they lie, and only a cut tail is kept.
    if (!m_pending.isEmpty()) {
        for (;;) {
            const qsizetype size = unitSize(m_pending);
            if (size < 0)
                return fail("record too long");
            const qsizetype want = size - m_pending.size();
            if (want == 0)
                break;
            const qsizetype n = std::min(want, bytes.size());
            m_pending.append(bytes.first(n));
            bytes = bytes.sliced(n);
            if (n < want)
                return true;
        }
        if (takeUnits(m_pending) < 0)
            return false;
        m_pending.clear();
    }
    const qsizetype taken = takeUnits(bytes);
    if (taken < 0)
        return false;
    m_pending = bytes.sliced(taken).toByteArray();
    return true;
}

bool XlsAnswerParser::take(char type, QByteArrayView payload)
{
    switch (m_state) {
    case State::First:
        if (type == XlsProtocol::Sheet) {
            if (payload.size() != 8)
                return fail("sheet record of the wrong size");
            const std::uint32_t rows = number(payload, 0), columns = number(payload, 4);
            if (rows > XlsProtocol::MaxRows || columns > XlsProtocol::MaxColumns)
                return fail("sheet larger than a worksheet can be");
            m_sheet.rows = int(rows);
            m_sheet.columns = int(columns);
            // Room for a full sheet of ordinary size up front, never more than a few megabytes.
            m_sheet.cells.reserve(std::min<std::size_t>(std::size_t(rows) * columns, std::size_t(1) << 18));
            m_state = State::Cells;
            return true;
        }
        if (type == XlsProtocol::Failed || type == XlsProtocol::Limit || type == XlsProtocol::Damaged) {
            if (!decodeUtf8(m_decoder, payload, m_failureReason) || m_failureReason.isEmpty())
                return fail("failure without a readable reason");
            m_failed = true;
            m_limitHit = type == XlsProtocol::Limit;
            m_damaged = type == XlsProtocol::Damaged;
            m_state = State::AfterFailure;
            return true;
        }
        return fail("first record is neither sheet nor failure");
    case State::AfterFailure:
    case State::Cells:
        if (type == XlsProtocol::End) {
            if (payload.size() != 4 || number(payload, 0) != m_sheet.cells.size())
                return fail("end record does not match the cells sent");
            m_state = State::Complete;
            return true;
        }
        if (m_state == State::AfterFailure)
            return fail("record after a failure");
        if (type != XlsProtocol::Cell && type != XlsProtocol::Unreadable)
            return fail("unknown record");
        if (payload.size() <= 8)
            return fail("cell record without text");
        {
            const std::uint32_t row = number(payload, 0), column = number(payload, 4);
            if (row < 1 || column < 1 || row > std::uint32_t(m_sheet.rows) ||
                column > std::uint32_t(m_sheet.columns))
                return fail("cell outside the sheet");
            const std::uint64_t key = m_sheet.keyOf(int(row), int(column));
            if (!m_sheet.cells.empty() && key <= m_sheet.cells.back().key)
                return fail("cell out of order");
            const qsizetype start = m_sheet.pool.size();
            if (!appendUtf8(m_decoder, payload.sliced(8), m_sheet.pool) ||
                m_sheet.pool.size() - start > qsizetype(XlsProtocol::MaxCellCharacters))
                return fail("cell text is not a cell's UTF-8 text");
            m_sheet.cells.push_back({key, std::uint32_t(start), std::uint32_t(m_sheet.pool.size() - start),
                                     type == XlsProtocol::Unreadable});
        }
        return true;
    case State::Magic:
    case State::Complete:
    case State::Malformed: break;
    }
    return fail("record in the wrong place");
}
