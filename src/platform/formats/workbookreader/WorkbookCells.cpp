#include "platform/formats/workbookreader/WorkbookCells.h"

#include "platform/formats/workbookreader/XlsProtocol.h"

#include <sys/resource.h>

#include <algorithm>

void stopReading(const QString &reason)
{
    throw WorkbookStop{false, reason};
}

void stopAtLimit(const QString &reason)
{
    throw WorkbookStop{true, reason};
}

void stopDamaged(const QString &reason)
{
    throw WorkbookStop{false, reason, true};
}

QString memoryLimitReason()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        return QStringLiteral("読み込みに使えるメモリの上限（%1 MB）を超えました。")
            .arg(limit.rlim_cur >> 20);
    return QStringLiteral("メモリが足りません。");
}

namespace
{

void put32(std::string &out, std::uint32_t n)
{
    const char bytes[4] = {char(n & 0xFF), char((n >> 8) & 0xFF), char((n >> 16) & 0xFF),
                           char((n >> 24) & 0xFF)};
    out.append(bytes, 4);
}

void putRecord(std::string &out, char type, std::initializer_list<std::uint32_t> numbers,
               std::string_view text = {})
{
    out.push_back(type);
    put32(out, std::uint32_t(numbers.size() * 4 + text.size()));
    for (std::uint32_t n : numbers)
        put32(out, n);
    out.append(text);
}

// Length of the well-formed UTF-8 sequence at the start of s (no NUL, no overlong form, no
// surrogate, nothing past U+10FFFF), 0 when there is none.
std::size_t sequenceLength(std::string_view s)
{
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char c = b(0);
    if (c != 0 && c < 0x80)
        return 1;
    const auto tail = [&](std::size_t n, unsigned char lo, unsigned char hi) -> std::size_t {
        if (s.size() < n || b(1) < lo || b(1) > hi)
            return 0;
        for (std::size_t i = 2; i < n; ++i)
            if (b(i) < 0x80 || b(i) > 0xBF)
                return 0;
        return n;
    };
    if (c >= 0xC2 && c <= 0xDF)
        return tail(2, 0x80, 0xBF);
    if (c == 0xE0)
        return tail(3, 0xA0, 0xBF);
    if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF)
        return tail(3, 0x80, 0xBF);
    if (c == 0xED)
        return tail(3, 0x80, 0x9F);
    if (c == 0xF0)
        return tail(4, 0x90, 0xBF);
    if (c >= 0xF1 && c <= 0xF3)
        return tail(4, 0x80, 0xBF);
    if (c == 0xF4)
        return tail(4, 0x80, 0x8F);
    return 0;
}

} // namespace

std::string cellUtf8(std::string_view bytes)
{
    std::string repaired;
    bool repairedOnce = false;
    std::size_t at = 0, units = 0;
    while (at < bytes.size()) {
        const std::size_t n = sequenceLength(bytes.substr(at));
        if (n == 0 && repairedOnce)
            break;
        if (n == 0) {
            repairedOnce = true;
            // Decoding replaces what is not UTF-8; a NUL cannot travel in the answer at all.
            QString text = QString::fromUtf8(bytes.data(), qsizetype(bytes.size()));
            text.remove(QChar(u'\0'));
            repaired = text.toUtf8().toStdString();
            bytes = repaired;
            at = units = 0;
            continue;
        }
        const std::size_t width = n == 4 ? 2 : 1;
        if (units + width > XlsProtocol::MaxCellCharacters)
            break;
        units += width;
        at += n;
    }
    return std::string(bytes.substr(0, at));
}

TextSpan SheetCells::intern(std::string_view utf8)
{
    if (utf8.empty())
        return {};
    const std::string text = cellUtf8(utf8);
    if (m_arena.size() + text.size() > XlsProtocol::MaxAnswer)
        stopAtLimit(
            QStringLiteral("セルの文字が合わせて %1 MB を超えています。").arg(XlsProtocol::MaxAnswer >> 20));
    const TextSpan span{std::uint32_t(m_arena.size()), std::uint32_t(text.size())};
    m_arena.append(text);
    return span;
}

void SheetCells::place(std::uint64_t row, std::uint64_t column)
{
    if (row >= XlsProtocol::MaxRows || column >= XlsProtocol::MaxColumns)
        stopReading(QStringLiteral("ワークシートの範囲（%1 行、%2 列）の外にセルがあります")
                        .arg(XlsProtocol::MaxRows)
                        .arg(XlsProtocol::MaxColumns));
    if (m_cells.size() >= WorkbookLimits::MaxCells)
        stopAtLimit(QStringLiteral("値のあるセルが上限の %1 万個を超えています。")
                        .arg(WorkbookLimits::MaxCells / 10000));
    if (!m_cells.empty()) {
        const Cell &last = m_cells.back();
        m_ordered = m_ordered && (row > last.row || (row == last.row && column > last.column));
    }
}

void SheetCells::add(std::uint64_t row, std::uint64_t column, TextSpan text)
{
    if (text.length == 0)
        return;
    place(row, column);
    m_cells.push_back({std::uint32_t(row), std::uint32_t(column), 0, text});
}

void SheetCells::addUnreadable(std::uint64_t row, std::uint64_t column, const QString &reason)
{
    const TextSpan text = intern(reason.toStdString());
    place(row, column);
    m_cells.push_back({std::uint32_t(row), std::uint32_t(column), 1, text});
}

std::string SheetCells::answer()
{
    const auto before = [](const Cell &a, const Cell &b) {
        return a.row < b.row || (a.row == b.row && a.column < b.column);
    };
    if (!m_ordered)
        std::stable_sort(m_cells.begin(), m_cells.end(), before);
    // Of a cell given twice the later value stands, as when a program writes over it.
    const auto sameAsNext = [&](std::size_t i) {
        return i + 1 < m_cells.size() && !before(m_cells[i], m_cells[i + 1]);
    };
    std::uint32_t rows = 0, columns = 0, count = 0;
    std::uint64_t size = sizeof XlsProtocol::Magic + 2 * XlsProtocol::HeaderSize + 12;
    for (std::size_t i = 0; i < m_cells.size(); ++i) {
        if (sameAsNext(i))
            continue;
        rows = std::max<std::uint32_t>(rows, m_cells[i].row + 1);
        columns = std::max<std::uint32_t>(columns, m_cells[i].column + 1);
        size += XlsProtocol::HeaderSize + 8 + m_cells[i].text.length;
        ++count;
    }
    if (size > XlsProtocol::MaxAnswer)
        stopAtLimit(
            QStringLiteral("セルの文字が合わせて %1 MB を超えています。").arg(XlsProtocol::MaxAnswer >> 20));

    std::string out;
    out.reserve(std::size_t(size));
    out.append(XlsProtocol::Magic, sizeof XlsProtocol::Magic);
    putRecord(out, XlsProtocol::Sheet, {rows, columns});
    for (std::size_t i = 0; i < m_cells.size(); ++i) {
        if (sameAsNext(i))
            continue;
        const Cell &c = m_cells[i];
        putRecord(out, c.unreadable ? XlsProtocol::Unreadable : XlsProtocol::Cell,
                  {c.row + 1, std::uint32_t(c.column) + 1}, text(c.text));
    }
    putRecord(out, XlsProtocol::End, {count});
    return out;
}

std::string failureAnswer(const WorkbookStop &stop)
{
    std::string out(XlsProtocol::Magic, sizeof XlsProtocol::Magic);
    const QByteArray reason = QString(stop.reason.isEmpty() ? QStringLiteral("理由は不明です") : stop.reason)
                                  .left(int(XlsProtocol::MaxCellCharacters))
                                  .toUtf8();
    putRecord(out,
              stop.limit     ? XlsProtocol::Limit
              : stop.damaged ? XlsProtocol::Damaged
                             : XlsProtocol::Failed,
              {}, std::string_view(reason.constData(), std::size_t(reason.size())));
    putRecord(out, XlsProtocol::End, {0});
    return out;
}

bool parseCellReference(std::string_view reference, std::uint64_t &row, std::uint64_t &column)
{
    std::size_t i = 0;
    if (i < reference.size() && reference[i] == '$')
        ++i;
    std::uint64_t c = 0, r = 0;
    const std::size_t lettersAt = i;
    for (; i < reference.size() && reference[i] >= 'A' && reference[i] <= 'Z' && i - lettersAt < 4; ++i)
        c = c * 26 + std::uint64_t(reference[i] - 'A' + 1);
    if (i == lettersAt)
        return false;
    if (i < reference.size() && reference[i] == '$')
        ++i;
    const std::size_t digitsAt = i;
    for (; i < reference.size() && reference[i] >= '0' && reference[i] <= '9' && i - digitsAt < 8; ++i)
        r = r * 10 + std::uint64_t(reference[i] - '0');
    if (i == digitsAt || i != reference.size() || r == 0)
        return false;
    row = r - 1;
    column = c - 1;
    return true;
}
