#include "results/CsvExport.h"

#include "platform/ReplaceFile.h"
#include "platform/formats/TextFile.h"

#include <iconv.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace
{

bool selected(const RecipientGrid &grid, int line, const QString &strStatus)
{
    // The failed rows are the ones to correct and send again: those returned as undeliverable too.
    return line == 0 || grid.status(line) == strStatus ||
           (strStatus == StatusFailed && grid.status(line) == StatusBounced);
}

// Calls piece() with the parts of a cell as the file holds it: every CR LF turned into LF.
template <class Piece> void forEachPiece(QStringView cell, Piece piece)
{
    qsizetype from = 0;
    for (;;) {
        const qsizetype crlf = cell.indexOf(u"\r\n", from);
        if (crlf < 0) {
            piece(cell.mid(from));
            return;
        }
        piece(cell.mid(from, crlf - from));
        piece(QStringView(u"\n"));
        from = crlf + 2;
    }
}

class Iconv
{
  public:
    Iconv(const char *to, const char *from) : m_cd(iconv_open(to, from)) {}
    ~Iconv()
    {
        if (ok())
            iconv_close(m_cd);
    }
    Iconv(const Iconv &) = delete;
    Iconv &operator=(const Iconv &) = delete;
    bool ok() const { return m_cd != reinterpret_cast<iconv_t>(-1); }
    // Converts all of in; false on any character without a place in the target.
    bool convert(const char *in, size_t inSize, QByteArray *out, size_t outBound)
    {
        out->resize(qsizetype(outBound));
        char *src = const_cast<char *>(in);
        char *dst = out->data();
        size_t dstLeft = outBound;
        if (iconv(m_cd, &src, &inSize, &dst, &dstLeft) == size_t(-1) || inSize != 0)
            return false;
        out->resize(qsizetype(outBound - dstLeft));
        return true;
    }

  private:
    iconv_t m_cd;
};

} // namespace

namespace
{

// For every UTF-16 unit the CP932 code that reads back as exactly that unit (one byte in the low
// half, two bytes as lead << 8 | trail), or 0 when there is none. Built once from the decoder the
// import uses, so a file encoded through it always reads back unchanged. Where several codes read
// as the same character (the NEC and IBM duplicates) the one the encoder picks is kept.
class Cp932Table
{
  public:
    Cp932Table() : m_codes(0x10000, 0)
    {
        Iconv decode("UTF-16LE", "CP932");
        Iconv encode("CP932", "UTF-16LE");
        if (!decode.ok() || !encode.ok())
            return;
        auto learn = [&](const char *bytes, size_t size, quint16 code) {
            QByteArray unit;
            if (!decode.convert(bytes, size, &unit, 8) || unit.size() != 2)
                return;
            const quint16 u = quint16(quint8(unit[0]) | quint8(unit[1]) << 8);
            if (m_codes[u] == 0)
                m_codes[u] = code;
        };
        for (int b = 1; b < 0x100; ++b) {
            const char c = char(b);
            learn(&c, 1, quint16(b));
        }
        for (int lead = 0x81; lead <= 0xFC; ++lead)
            for (int trail = 0x40; trail <= 0xFC; ++trail) {
                const char pair[2] = {char(lead), char(trail)};
                learn(pair, 2, quint16(lead << 8 | trail));
            }
        for (int u = 0x80; u < 0x10000; ++u) {
            if (m_codes[u] == 0)
                continue;
            const char16_t unit = char16_t(u);
            QByteArray code;
            if (!encode.convert(reinterpret_cast<const char *>(&unit), 2, &code, 4))
                continue;
            const quint16 c =
                code.size() == 1 ? quint16(quint8(code[0])) : quint16(quint8(code[0]) << 8 | quint8(code[1]));
            QByteArray back;
            if (decode.convert(code.constData(), size_t(code.size()), &back, 8) && back.size() == 2 &&
                std::memcmp(back.constData(), &unit, 2) == 0)
                m_codes[u] = c;
        }
    }
    quint16 code(char16_t u) const { return m_codes[u]; }

  private:
    std::vector<quint16> m_codes;
};

} // namespace

CsvShiftCheck checkCsvShift(const RecipientGrid &grid, const QString &strStatus)
{
    CsvShiftCheck check;
    const int columns = grid.columnCount();
    for (int i = 0; i < grid.lineCount(); ++i) {
        if (!selected(grid, i, strStatus))
            continue;
        if (columns == 3 && grid.dataCell(i, 2).isEmpty() && check.emptyLines++ == 0)
            check.firstEmptyLine = i;
        for (int j = 2; j < columns; ++j) {
            const QStringView cell = grid.dataCell(i, j);
            if (cell.contains(u',') || cell.contains(u'\n')) {
                if (check.lines++ == 0) {
                    check.firstLine = i;
                    check.firstColumn = grid.dataCell(0, j).toString();
                }
                break;
            }
        }
    }
    return check;
}

CsvArrivalCheck checkMayHaveArrived(const RecipientGrid &grid, const QString &strStatus)
{
    CsvArrivalCheck check;
    for (int i = 1; i < grid.lineCount(); ++i) {
        if (selected(grid, i, strStatus) && grid.table().mayHaveArrived(i) && check.lines++ == 0)
            check.firstLine = i;
    }
    return check;
}

namespace
{

// Calls field(line, column) for every field of the file and endLine() after each line; returns
// the number of lines.
template <class Field, class EndLine>
int forEachField(const RecipientGrid &grid, const QString &strStatus, Field field, EndLine endLine)
{
    const int columns = grid.columnCount();
    int n = 0;
    for (int i = 0; i < grid.lineCount(); ++i) {
        if (!selected(grid, i, strStatus))
            continue;
        for (int j = 2; j < columns; ++j)
            field(grid.dataCell(i, j), j > 2);
        endLine();
        ++n;
    }
    return n;
}

// What writeCp932 met on its way.
struct Cp932Written {
    int lines = 0;
    bool encoded = true; // false: stopped at a character without an exact CP932 code
    bool nul = false;    // a NUL went out, which the import refuses
};

#ifdef __SSE2__
// Copies the ASCII units from s on as bytes to o, 8 at a time while 8 are left, stopping before a
// NUL or CR (which the caller looks at itself); returns how many. It may write up to 8 bytes past
// them, into room the caller keeps for 2 bytes a unit.
inline qsizetype copyAsciiRun(const char16_t *s, const char16_t *end, char *o)
{
    const __m128i notAscii = _mm_set1_epi16(qint16(0xFF80));
    const __m128i zero = _mm_setzero_si128();
    const __m128i cr = _mm_set1_epi16(u'\r');
    qsizetype n = 0;
    while (end - s - n >= 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + n));
        _mm_storel_epi64(reinterpret_cast<__m128i *>(o + n), _mm_packus_epi16(v, v));
        const __m128i stop = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi16(v, zero), _mm_cmpeq_epi16(v, cr)),
            _mm_xor_si128(_mm_cmpeq_epi16(_mm_and_si128(v, notAscii), zero), _mm_set1_epi16(-1)));
        const auto mask = unsigned(_mm_movemask_epi8(stop));
        if (mask != 0)
            return n + std::countr_zero(mask) / 2;
        n += 8;
    }
    return n;
}
#endif

// Straight from the cells into CP932 bytes, without an intermediate text: the common case, and the
// one a long list must be quick for. Stops at the first character without an exact CP932 code.
Cp932Written writeCp932(const RecipientGrid &grid, const QString &strStatus, QByteArray *out)
{
    static const Cp932Table table;
    Cp932Written w;
    // Grown as it fills; the allocator remaps a large block rather than copying its bytes.
    out->resize(qsizetype(1) << 20);
    char *o = out->data();
    char *limit = o + out->size();
    const auto makeRoom = [&](qsizetype bytes) {
        if (limit - o >= bytes)
            return;
        const qsizetype used = o - out->constData();
        out->resize(std::max(used + bytes, out->size() * 2));
        o = out->data() + used;
        limit = out->data() + out->size();
    };
    const int columns = grid.columnCount();
    for (int i = 0; i < grid.lineCount(); ++i) {
        if (!selected(grid, i, strStatus))
            continue;
        for (int j = 2; j < columns; ++j) {
            const QStringView cell = grid.dataCell(i, j);
            makeRoom(2 * cell.size() + 1);
            if (j > 2)
                *o++ = ',';
            const char16_t *s = cell.utf16();
            const char16_t *const e = s + cell.size();
            while (s < e) {
                const char16_t u = *s;
                if (u >= 0x80) {
                    const quint16 code = table.code(u);
                    if (code == 0) {
                        w.encoded = false;
                        out->clear();
                        return w;
                    }
                    if (code > 0xFF)
                        *o++ = char(code >> 8);
                    *o++ = char(code & 0xFF);
                    ++s;
                    continue;
                }
                if (u == 0 || u == u'\r') {
                    w.nul = w.nul || u == 0;
                    // CR LF inside a cell becomes LF.
                    if (!(u == u'\r' && s + 1 < e && s[1] == u'\n'))
                        *o++ = char(u);
                    ++s;
                    continue;
                }
#ifdef __SSE2__
                if (e - s >= 8) {
                    const qsizetype n = copyAsciiRun(s, e, o);
                    if (n > 0) {
                        s += n;
                        o += n;
                        continue;
                    }
                }
#endif
                *o++ = char(u);
                ++s;
            }
        }
        makeRoom(2);
        *o++ = '\r';
        *o++ = '\n';
        ++w.lines;
    }
    out->resize(o - out->constData());
    return w;
}

// Whether text is the file's text (as the UTF-8 form would hold it), compared piece by piece so
// that the common case builds no second copy of a long list.
bool isFileText(const RecipientGrid &grid, const QString &strStatus, QStringView text)
{
    qsizetype at = 0;
    bool same = true;
    const auto next = [&](QStringView piece) {
        same = same && at + piece.size() <= text.size() && text.sliced(at, piece.size()) == piece;
        at += piece.size();
    };
    forEachField(
        grid, strStatus,
        [&](QStringView cell, bool comma) {
            if (comma)
                next(u",");
            forEachPiece(cell, next);
        },
        [&] { next(u"\r\n"); });
    return same && at == text.size();
}

} // namespace

CsvBytes buildCsv(const RecipientGrid &grid, const QString &strStatus)
{
    CsvBytes result;
    const Cp932Written cp932 = writeCp932(grid, strStatus, &result.bytes);
    if (cp932.encoded) {
        result.count = cp932.lines - 1;
        // Every code of the table reads back as its own character, so bytes that the import reads
        // as CP932 (or as ASCII) load as they were written. Otherwise the import's own decoding
        // decides, so that what is written is what loads again.
        if (!cp932.nul && readingOf(result.bytes) != TextLines::Encoding::Utf8)
            return result;
        const Result<TextLines> back = decodeText(result.bytes, QString());
        if (back && isFileText(grid, strStatus, back->text))
            return result;
        result.cp932Misread = true;
    }

    // UTF-16 units of the file before CR LF inside cells shrinks to LF: an upper bound.
    qsizetype units = 0;
    const int lines = forEachField(
        grid, strStatus, [&](QStringView cell, bool) { units += cell.size() + 1; }, [&] { units += 2; });
    result.count = lines - 1;
    QString text;
    text.reserve(units);
    forEachField(
        grid, strStatus,
        [&](QStringView cell, bool comma) {
            if (comma)
                text.append(u',');
            forEachPiece(cell, [&](QStringView piece) { text.append(piece); });
        },
        [&] { text.append(u"\r\n"); });
    result.utf8 = true;
    result.bytes = QByteArrayLiteral("\xEF\xBB\xBF") + text.toUtf8();
    return result;
}

Result<CsvWritten> CSVDataPut(const RecipientGrid &grid, const QString &strFileName, const QString &strStatus)
{
    CsvWritten written;
    if (grid.lineCount() <= 1)
        return written;
    CsvBytes csv;
    try {
        csv = buildCsv(grid, strStatus);
    } catch (const std::bad_alloc &) {
        return Failure::outOfMemory();
    }
    const Result<bool> replaced = replaceFile(strFileName, csv.bytes);
    if (!replaced)
        return replaced.failure();
    written.count = csv.count;
    written.written = true;
    written.utf8 = csv.utf8;
    written.cp932Misread = csv.cp932Misread;
    return written;
}
