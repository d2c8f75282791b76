#include "recipients/Importers.h"

#include "platform/Text.h"
#include "platform/formats/TextFile.h"

#include <algorithm>
#include <bit>
#include <limits>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace
{

// The commas and line feeds of a text, in order, found eight units at a time.
class Separators
{
  public:
    Separators(const QChar *begin, const QChar *end) : m_next(begin), m_end(end) {}

    // The next comma or LF, or the end of the text when none is left.
    const QChar *next()
    {
        while (m_hits == 0) {
            if (m_next == m_end)
                return m_end;
            m_block = m_next;
#ifdef __SSE2__
            if (m_end - m_next >= 8) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(m_next));
                const __m128i hits = _mm_or_si128(_mm_cmpeq_epi16(v, _mm_set1_epi16(',')),
                                                  _mm_cmpeq_epi16(v, _mm_set1_epi16('\n')));
                m_hits = static_cast<unsigned>(_mm_movemask_epi8(hits));
                m_next += 8;
                continue;
            }
#endif
            // Two bits a unit, as the block compare gives them.
            for (int i = 0; i < 8 && m_next < m_end; ++i, ++m_next)
                if (*m_next == u',' || *m_next == u'\n')
                    m_hits |= 3u << (2 * i);
        }
        const QChar *at = m_block + std::countr_zero(m_hits) / 2;
        m_hits &= m_hits - 1;
        m_hits &= m_hits - 1;
        return at;
    }

  private:
    const QChar *m_next;
    const QChar *m_end;
    const QChar *m_block = nullptr;
    unsigned m_hits = 0;
};

// How many LF the text holds.
qsizetype countLineFeeds(const QChar *p, const QChar *end)
{
    qsizetype n = 0;
#ifdef __SSE2__
    const __m128i lf = _mm_set1_epi16('\n');
    while (end - p >= 8) {
        // 16-bit lane counters, emptied before they can overflow.
        __m128i counts = _mm_setzero_si128();
        for (int i = 0; i < 0xFFFF && end - p >= 8; ++i, p += 8)
            counts = _mm_sub_epi16(
                counts, _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), lf));
        alignas(16) quint16 lanes[8];
        _mm_store_si128(reinterpret_cast<__m128i *>(lanes), counts);
        for (const quint16 lane : lanes)
            n += lane;
    }
#endif
    for (; p < end; ++p)
        n += *p == u'\n';
    return n;
}

// Number of comma-separated pieces of a line; an empty line has none.
qsizetype pieceCount(QStringView line)
{
    return line.isEmpty() ? 0 : line.count(u',') + 1;
}

} // namespace

Result<RecipientTable> CSVDataGet(const QString &strFileName)
{
    // The table cuts the text into lines itself.
    Result<TextLines> read = readTextFile(strFileName, TextLines::Cut::None);
    if (!read)
        return read.failure();
    return csvTable(read.value(), strFileName);
}

Result<RecipientTable> csvTable(TextLines &lines, const QString &strFileName)
{
    const QString &text = lines.text;
    if (text.isEmpty())
        return Failure::emptyFile(strFileName);
    const QChar *base = text.constData();
    const QChar *limit = base + text.size();
    // Lines end at LF, a CR before it belonging to the line end; a final LF starts no other line.
    const qsizetype lineCount = countLineFeeds(base, limit) + (text.back() != u'\n');
    if (text.size() > std::numeric_limits<quint32>::max() || lineCount > std::numeric_limits<int>::max())
        return Failure::outOfMemory();
    const QChar *headerEnd = std::find(base, limit, u'\n');
    if (headerEnd < limit && headerEnd > base && headerEnd[-1] == u'\r')
        --headerEnd;
    const qsizetype fields = pieceCount(QStringView(base, headerEnd));
    if (fields > std::numeric_limits<int>::max() / 2)
        return Failure::outOfMemory();

    RecipientTable table;
    try {
        table = RecipientTable::sized(int(lineCount - 1), int(fields), text);
    } catch (const std::bad_alloc &) {
        return Failure::outOfMemory();
    }
    Separators separators(base, limit);
    int row = 0, column = 1;
    const QChar *line = base, *field = base;
    for (;;) {
        const QChar *at = separators.next();
        if (at == limit && line == limit)
            break; // a final LF starts no other line
        const bool lineEnds = at == limit || *at == u'\n';
        const QChar *end = lineEnds && at < limit && at > line && at[-1] == u'\r' ? at - 1 : at;
        if (lineEnds && fields > 0 && end == line)
            return Failure::extraEmptyLine(row + 1, fields);
        if (column <= fields) {
            const QStringView cell = trimSpaces(QStringView(field, end));
            table.setCellSpan(row, column++, cell.data() - base, cell.size());
        }
        if (!lineEnds) {
            field = at + 1;
            continue;
        }
        if (column <= fields)
            return Failure::tooFewFields(row + 1, fields, pieceCount(QStringView(line, end)));
        if (at == limit)
            break;
        ++row;
        column = 1;
        line = field = at + 1;
    }
    return table;
}
