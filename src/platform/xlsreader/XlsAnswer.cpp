#include "XlsAnswer.h"

#include "XlsProtocol.h"

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

// Strict UTF-8: no invalid or overlong sequences, no surrogates, no NUL; keeps a leading U+FEFF.
bool decodeUtf8(QByteArrayView bytes, QString &text)
{
    if (bytes.contains('\0'))
        return false;
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom);
    text = decoder.decode(bytes);
    return !decoder.hasError();
}

} // namespace

const XlsSheet::Cell *XlsSheet::find(int row, int column) const
{
    if (row < 1 || column < 1 || row > rows || column > columns)
        return nullptr;
    const std::uint32_t key = std::uint32_t(row - 1) * std::uint32_t(columns) + std::uint32_t(column - 1);
    const auto it = std::lower_bound(cells.begin(), cells.end(), key,
                                     [](const Cell &c, std::uint32_t k) { return c.key < k; });
    return it != cells.end() && it->key == key ? &*it : nullptr;
}

bool XlsAnswerParser::fail(const char *problem)
{
    m_state = State::Malformed;
    m_problem = QString::fromLatin1(problem);
    m_pending.clear();
    m_sheet = XlsSheet();
    return false;
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
    m_pending.append(bytes);
    const QByteArrayView all(m_pending);
    qsizetype at = m_consumed;
    if (m_state == State::Magic) {
        const qsizetype have = std::min<qsizetype>(all.size(), sizeof XlsProtocol::Magic);
        if (all.first(have) != QByteArrayView(XlsProtocol::Magic, have))
            return fail("not an answer of the workbook reader");
        if (have < qsizetype(sizeof XlsProtocol::Magic))
            return true;
        at = sizeof XlsProtocol::Magic;
        m_state = State::First;
    }
    while (m_state != State::Complete && all.size() - at >= qsizetype(XlsProtocol::HeaderSize)) {
        const char type = all[at];
        const std::uint32_t length = number(all, at + 1);
        if (length > XlsProtocol::MaxPayload)
            return fail("record too long");
        if (all.size() - at - qsizetype(XlsProtocol::HeaderSize) < qsizetype(length))
            break;
        if (!take(type, all.sliced(at + XlsProtocol::HeaderSize, length)))
            return false;
        at += XlsProtocol::HeaderSize + length;
    }
    if (m_state == State::Complete && at != all.size())
        return fail("bytes after the end record");
    // Drop what was read once it is a good part of the buffer, so feeding stays linear.
    if (at > 65536 && at * 2 > m_pending.size()) {
        m_pending.remove(0, at);
        at = 0;
    }
    m_consumed = at;
    if (m_state == State::Complete)
        m_pending.clear();
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
            m_state = State::Cells;
            return true;
        }
        if (type == XlsProtocol::Failed) {
            if (!decodeUtf8(payload, m_failureReason) || m_failureReason.isEmpty())
                return fail("failure without a readable reason");
            m_failed = true;
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
            const std::uint32_t key = (row - 1) * std::uint32_t(m_sheet.columns) + (column - 1);
            if (!m_sheet.cells.empty() && key <= m_sheet.cells.back().key)
                return fail("cell out of order");
            XlsSheet::Cell cell{key, type == XlsProtocol::Unreadable, QString()};
            if (!decodeUtf8(payload.sliced(8), cell.text) || cell.text.size() > 32767)
                return fail("cell text is not a cell's UTF-8 text");
            m_sheet.cells.push_back(std::move(cell));
        }
        return true;
    case State::Magic:
    case State::Complete:
    case State::Malformed: break;
    }
    return fail("record in the wrong place");
}
