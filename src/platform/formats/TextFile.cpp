#include "platform/formats/TextFile.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <iconv.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

bool fileExists(const QString &path)
{
    return !path.isEmpty() && QFileInfo(path).isFile();
}

namespace
{

// A file is read through one buffer of this size, so its bytes and its text are never held whole
// side by side.
constexpr qsizetype FileChunk = 128 * 1024;
// Room for a byte-order mark and for any character cut by the end of a chunk.
constexpr qsizetype MinChunk = 16;

// CP932 as glibc's iconv reads it, asked of iconv once: what each byte is alone, which bytes lead
// a pair, and what every pair is. Each CP932 character is one byte or a pair and one UTF-16 unit.
struct Cp932Table {
    bool usable = false;
    std::array<char16_t, 256> single{}; // 0: no character by itself
    std::array<bool, 256> lead{};
    std::array<char16_t, 65536> pairs{}; // [lead << 8 | trail]; 0: no character
};

std::unique_ptr<Cp932Table> buildCp932Table()
{
    auto t = std::make_unique<Cp932Table>();
    const iconv_t cd = iconv_open("UTF-16LE", "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return t;
    // The one UTF-16 unit that bytes [0, n) make, or 0; cutShort tells a lead byte without its trail.
    const auto convert = [cd](const unsigned char *bytes, size_t n, bool *cutShort) -> char16_t {
        char *in = reinterpret_cast<char *>(const_cast<unsigned char *>(bytes));
        size_t inLeft = n;
        unsigned char out[8];
        char *outp = reinterpret_cast<char *>(out);
        size_t outLeft = sizeof out;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        const size_t r = iconv(cd, &in, &inLeft, &outp, &outLeft);
        *cutShort = r == static_cast<size_t>(-1) && errno == EINVAL;
        if (r == static_cast<size_t>(-1) || inLeft != 0 || sizeof out - outLeft != 2)
            return 0;
        return char16_t(out[0] | out[1] << 8);
    };
    bool cutShort = false;
    for (unsigned b = 0; b < 256; ++b) {
        const unsigned char one[1] = {static_cast<unsigned char>(b)};
        t->single[b] = convert(one, 1, &cutShort);
        t->lead[b] = cutShort;
        if (!cutShort)
            continue;
        for (unsigned trail = 0; trail < 256; ++trail) {
            const unsigned char pair[2] = {static_cast<unsigned char>(b), static_cast<unsigned char>(trail)};
            t->pairs[b << 8 | trail] = convert(pair, 2, &cutShort);
        }
    }
    iconv_close(cd);
    t->usable = true;
    return t;
}

const Cp932Table &cp932Table()
{
    static const std::unique_ptr<const Cp932Table> table = buildCp932Table();
    return *table;
}

// Widens the ASCII bytes from p on (NUL excluded) to UTF-16 at o and returns how many there were.
// It may write up to 16 units past them: the caller's output has room for one unit per input byte.
inline qsizetype copyAscii(const uchar *p, const uchar *end, char16_t *o)
{
    qsizetype n = 0;
#ifdef __SSE2__
    const __m128i zero = _mm_setzero_si128();
    while (end - p - n >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + n));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(o + n), _mm_unpacklo_epi8(v, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(o + n + 8), _mm_unpackhi_epi8(v, zero));
        const auto stop = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(v, _mm_cmpeq_epi8(v, zero))));
        if (stop != 0)
            return n + std::countr_zero(stop);
        n += 16;
    }
#endif
    while (p + n < end && unsigned(p[n]) - 1u < 0x7Fu) {
        o[n] = p[n];
        ++n;
    }
    return n;
}

// The decoders turn [p, end) into UTF-16 at o. They return false at the first byte that is no
// character (NUL included), with p on it. Otherwise they take everything but a character cut by the
// end of a window that is not the last, which the next window brings whole.

bool decodeCp932(const uchar *&p, const uchar *end, bool last, char16_t *&o, const Cp932Table &t)
{
    for (;;) {
        const qsizetype n = copyAscii(p, end, o);
        p += n;
        o += n;
        if (p == end)
            return true;
        if (*p == 0)
            return false;
        do {
            const uchar c = *p;
            if (t.lead[c]) {
                if (end - p < 2)
                    return !last;
                const char16_t u = t.pairs[c << 8 | p[1]];
                if (u == 0)
                    return false;
                *o++ = u;
                p += 2;
            } else {
                const char16_t u = t.single[c];
                if (u == 0)
                    return false;
                *o++ = u;
                ++p;
            }
        } while (p < end && *p >= 0x80);
    }
}

// What the UTF-8 reading saw: whether any byte was not ASCII, how many units came before the first
// such byte, and whether any lay outside 0xA1-0xDF (the bytes of CP932 half-width katakana).
struct Utf8Seen {
    bool nonAscii = false;
    bool beyondKana = false;
    qsizetype asciiPrefix = 0;
};

bool decodeUtf8(const uchar *&p, const uchar *end, bool last, char16_t *&o, const char16_t *text,
                Utf8Seen &seen)
{
    for (;;) {
        const qsizetype n = copyAscii(p, end, o);
        p += n;
        o += n;
        if (p == end)
            return true;
        if (*p == 0)
            return false;
        if (!seen.nonAscii) {
            seen.nonAscii = true;
            seen.asciiPrefix = o - text;
        }
        do {
            const uchar c = *p;
            if (c >= 0xE0 && c <= 0xEF) {
                if (end - p < 3)
                    return !last;
                const uchar b1 = p[1], b2 = p[2];
                if (b1 < (c == 0xE0 ? 0xA0 : 0x80) || b1 > (c == 0xED ? 0x9F : 0xBF) || (b2 & 0xC0) != 0x80)
                    return false;
                *o++ = char16_t((c & 0x0F) << 12 | (b1 & 0x3F) << 6 | (b2 & 0x3F));
                p += 3;
                seen.beyondKana = true;
            } else if (c >= 0xC2 && c <= 0xDF) {
                if (end - p < 2)
                    return !last;
                const uchar b1 = p[1];
                if ((b1 & 0xC0) != 0x80)
                    return false;
                *o++ = char16_t((c & 0x1F) << 6 | (b1 & 0x3F));
                p += 2;
                seen.beyondKana |= b1 < 0xA1;
            } else if (c >= 0xF0 && c <= 0xF4) {
                if (end - p < 4)
                    return !last;
                const uchar b1 = p[1], b2 = p[2], b3 = p[3];
                if (b1 < (c == 0xF0 ? 0x90 : 0x80) || b1 > (c == 0xF4 ? 0x8F : 0xBF) || (b2 & 0xC0) != 0x80 ||
                    (b3 & 0xC0) != 0x80)
                    return false;
                const char32_t cp = char32_t(c & 0x07) << 18 | char32_t(b1 & 0x3F) << 12 |
                                    char32_t(b2 & 0x3F) << 6 | char32_t(b3 & 0x3F);
                *o++ = char16_t(0xD800 + ((cp - 0x10000) >> 10));
                *o++ = char16_t(0xDC00 + (cp & 0x3FF));
                p += 4;
                seen.beyondKana = true;
            } else {
                return false;
            }
        } while (p < end && *p >= 0x80);
    }
}

bool isAsciiAlnum(char16_t c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

// The half-width katakana rule on the UTF-8 reading: every non-ASCII character a Latin letter
// beside an ASCII letter or digit.
bool latinWordsOnly(QStringView text)
{
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = text[i];
        if (c.unicode() < 0x80)
            continue;
        if (c.unicode() < 0xC0 || c.unicode() > 0x24F || !c.isLetter())
            return false;
        const bool before = i > 0 && isAsciiAlnum(text[i - 1].unicode());
        const bool after = i + 1 < n && isAsciiAlnum(text[i + 1].unicode());
        if (!before && !after)
            return false;
    }
    return true;
}

// How bytes that decoded whole as UTF-8 are read: ASCII without other characters, UTF-8 when those
// are plausible text, else CP932 (`decoded` gives their UTF-8 reading, made only when wanted).
template <class Decoded> TextLines::Encoding wholeUtf8Reading(const Utf8Seen &seen, Decoded &&decoded)
{
    if (!seen.nonAscii)
        return TextLines::Encoding::Ascii;
    return seen.beyondKana || latinWordsOnly(decoded()) ? TextLines::Encoding::Utf8
                                                        : TextLines::Encoding::Cp932;
}

// The input a window at a time: bytes in memory are looked at in place, a file is read through one
// reused buffer. A window starts where the decoder stopped, so a character cut by the end of one
// window is whole in the next.
class ByteWindows
{
  public:
    ByteWindows(QByteArrayView bytes, qsizetype chunk)
        : m_buf(reinterpret_cast<const uchar *>(bytes.data())), m_size(bytes.size()), m_chunk(chunk),
          m_begin(m_buf), m_end(m_buf)
    {
    }
    ByteWindows(QFile &file, qsizetype chunk)
        : m_file(&file), m_storage(new uchar[size_t(chunk)]), m_buf(m_storage.get()), m_chunk(chunk),
          m_begin(m_buf), m_end(m_buf)
    {
    }

    const uchar *begin() const { return m_begin; }
    const uchar *end() const { return m_end; }
    qsizetype size() const { return m_end - m_begin; }
    // No bytes follow the window.
    bool last() const { return m_last; }
    QString errorText() const { return m_file ? m_file->errorString() : QString(); }
    void advanceTo(const uchar *p) { m_begin = p; }

    // Makes the window hold the bytes from the read position on, the chunk's size of them or all that
    // are left. False when the file cannot be read.
    bool fill()
    {
        if (!m_file) {
            m_end = m_begin + std::min(m_chunk, qsizetype(m_buf + m_size - m_begin));
            m_last = m_end == m_buf + m_size;
            return true;
        }
        const qsizetype kept = m_end - m_begin;
        std::memmove(m_storage.get(), m_begin, size_t(kept));
        m_bufOffset += m_begin - m_buf;
        m_begin = m_buf;
        m_end = m_buf + kept;
        while (!m_last && m_end - m_buf < m_chunk) {
            const qint64 n = m_file->read(reinterpret_cast<char *>(m_storage.get()) + (m_end - m_buf),
                                          m_chunk - (m_end - m_buf));
            if (n < 0)
                return false;
            m_last = n == 0;
            m_end += n;
        }
        return true;
    }

    // Moves the read position back to offset; fill() then makes the window there.
    bool seek(qint64 offset)
    {
        if (offset >= m_bufOffset && offset <= m_bufOffset + (m_end - m_buf)) {
            m_begin = m_buf + (offset - m_bufOffset);
            return true;
        }
        if (!m_file->seek(offset))
            return false;
        m_bufOffset = offset;
        m_begin = m_end = m_buf;
        m_last = false;
        return true;
    }

  private:
    QFile *m_file = nullptr;
    std::unique_ptr<uchar[]> m_storage;
    const uchar *m_buf;
    qsizetype m_size = 0;
    qsizetype m_chunk;
    qint64 m_bufOffset = 0;
    const uchar *m_begin;
    const uchar *m_end;
    bool m_last = false;
};

// The decoded text, written in place. A byte never makes more than one UTF-16 unit, so room for a
// window's bytes is room for its text.
class TextOut
{
  public:
    explicit TextOut(qsizetype expected)
    {
        if (expected > 0)
            makeRoom(expected);
    }
    void makeRoom(qsizetype units)
    {
        if (m_len + units <= m_text.size())
            return;
        m_text.resize(std::max(m_len + units, m_text.size() + m_text.size() / 2));
        m_base = reinterpret_cast<char16_t *>(m_text.data());
    }
    const char16_t *data() const { return m_base; }
    char16_t *end() { return m_base + m_len; }
    qsizetype size() const { return m_len; }
    void setEnd(const char16_t *o) { m_len = o - m_base; }
    void truncate(qsizetype n) { m_len = n; }
    // The number of the line that the next character goes to.
    qsizetype lineAtEnd() const { return std::count(m_base, m_base + m_len, u'\n') + 1; }
    QString take()
    {
        m_text.resize(m_len);
        return std::move(m_text);
    }

  private:
    QString m_text;
    char16_t *m_base = nullptr;
    qsizetype m_len = 0;
};

// Cuts the text into lines while it is decoded: a line ends at LF, and a CR right before the LF
// belongs to the line end.
class LineCutter
{
  public:
    explicit LineCutter(std::vector<TextLines::Span> &lines) : m_lines(lines) {}
    void cut(const char16_t *text, qsizetype size)
    {
        const QStringView v(text, size);
        for (qsizetype i = v.indexOf(u'\n', m_scanned); i >= 0; i = v.indexOf(u'\n', i + 1)) {
            const qsizetype end = (i > m_start && text[i - 1] == u'\r') ? i - 1 : i;
            m_lines.push_back({m_start, end - m_start});
            m_start = i + 1;
        }
        m_scanned = size;
    }
    void restart()
    {
        m_lines.clear();
        m_start = m_scanned = 0;
    }
    void finish(qsizetype size)
    {
        if (m_start < size)
            m_lines.push_back({m_start, size - m_start});
    }

  private:
    std::vector<TextLines::Span> &m_lines;
    qsizetype m_start = 0;
    qsizetype m_scanned = 0;
};

// The line of the first NUL from the window on, counted on from line, or 0 when there is none. -1
// when the file cannot be read.
qsizetype lineOfNul(ByteWindows &in, qsizetype line)
{
    for (;;) {
        const uchar *nul = static_cast<const uchar *>(std::memchr(in.begin(), 0, size_t(in.size())));
        const uchar *stop = nul ? nul : in.end();
        line += std::count(in.begin(), stop, uchar('\n'));
        if (nul)
            return line;
        in.advanceTo(stop);
        if (in.last())
            return 0;
        if (!in.fill())
            return -1;
    }
}

enum class Reading { Guess, Utf8, Cp932 };

// The decoding: a byte-order mark means UTF-8; otherwise the bytes are read as UTF-8 while they
// are, and kept so when the file is plausible UTF-8 text (validUtf8IsUtf8); else they are read
// again as CP932 from their first non-ASCII byte, the ASCII before it being the same text in both.
Result<TextLines> decodeWindows(ByteWindows &in, qsizetype expected, TextLines::Cut cut, const QString &path)
{
    const auto unreadable = [&] { return Failure::readError(path, in.errorText()); };
    TextLines t;
    TextOut out(expected);
    if (cut == TextLines::Cut::Lines)
        t.lines.reserve(size_t(expected / 64 + 1));
    LineCutter cutter(t.lines);
    Utf8Seen seen;
    const Cp932Table *cp932 = nullptr;
    Reading reading = Reading::Guess;

    if (!in.fill())
        return unreadable();
    const uchar *b = in.begin();
    if (in.size() >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
        in.advanceTo(b + 3);
        reading = Reading::Utf8;
    }
    for (;;) {
        out.makeRoom(in.size());
        const uchar *p = in.begin();
        char16_t *o = out.end();
        const bool whole = reading == Reading::Cp932
                               ? decodeCp932(p, in.end(), in.last(), o, *cp932)
                               : decodeUtf8(p, in.end(), in.last(), o, out.data(), seen);
        out.setEnd(o);
        in.advanceTo(p);
        if (cut == TextLines::Cut::Lines)
            cutter.cut(out.data(), out.size());
        if (whole && !in.last()) {
            if (!in.fill())
                return unreadable();
            continue;
        }
        if (reading == Reading::Utf8) {
            if (!whole)
                return Failure::undecodableBytes(path, out.lineAtEnd());
            t.encoding = TextLines::Encoding::Utf8;
            break;
        }
        if (reading == Reading::Cp932) {
            if (whole) {
                t.encoding = TextLines::Encoding::Cp932;
                break;
            }
            // A NUL anywhere in the file is named before any other byte.
            const qsizetype line = out.lineAtEnd();
            const qsizetype nul = lineOfNul(in, line);
            if (nul < 0)
                return unreadable();
            return Failure::undecodableBytes(path, nul > 0 ? nul : line);
        }
        if (whole) {
            t.encoding = wholeUtf8Reading(seen, [&] { return QStringView(out.data(), out.size()); });
            if (t.encoding != TextLines::Encoding::Cp932)
                break;
        }
        cp932 = &cp932Table();
        if (!cp932->usable)
            return Failure::readError(path, QStringLiteral("CP932 の変換表が使えません"));
        const qsizetype restart = seen.nonAscii ? seen.asciiPrefix : out.size();
        out.truncate(restart);
        cutter.restart();
        if (!in.seek(restart) || !in.fill())
            return unreadable();
        reading = Reading::Cp932;
    }
    if (cut == TextLines::Cut::Lines)
        cutter.finish(out.size());
    t.text = out.take();
    return t;
}

} // namespace

bool validUtf8IsUtf8(QByteArrayView bytes)
{
    for (const char b : bytes) {
        const auto c = static_cast<unsigned char>(b);
        if (c >= 0x80 && (c < 0xA1 || c > 0xDF))
            return true;
    }
    return latinWordsOnly(QString::fromUtf8(bytes));
}

TextLines::Encoding readingOf(QByteArrayView bytes)
{
    const auto *p = reinterpret_cast<const uchar *>(bytes.data());
    const uchar *const end = p + bytes.size();
    if (bytes.size() >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF)
        return TextLines::Encoding::Utf8;
    // The choice decodeWindows makes, on the UTF-8 reading taken a window at a time into one small
    // buffer: a window ends before a character it cuts, which the next one starts with.
    constexpr qsizetype Window = 4096;
    char16_t units[Window];
    Utf8Seen seen;
    while (p < end) {
        const uchar *const stop = p + std::min(Window, qsizetype(end - p));
        char16_t *o = units;
        if (!decodeUtf8(p, stop, stop == end, o, units, seen))
            return TextLines::Encoding::Cp932;
    }
    return wholeUtf8Reading(seen, [bytes] { return QString::fromUtf8(bytes); });
}

Result<TextLines> decodeText(const QByteArray &bytes, const QString &path, TextLines::Cut cut,
                             qsizetype chunkBytes)
{
    ByteWindows in(bytes, chunkBytes > 0 ? std::max(chunkBytes, MinChunk) : bytes.size());
    try {
        return decodeWindows(in, bytes.size(), cut, path);
    } catch (const std::bad_alloc &) {
        return Failure::outOfMemory();
    }
}

namespace
{

// Opens a file for reading, with the failures the operator is told about (missing, not a file, no
// permission).
Result<bool> openForReading(const QString &path, QFile &file, QIODevice::OpenMode mode)
{
    const QFileInfo info(path);
    if (!info.exists())
        return Failure::fileNotFound(path);
    if (!info.isFile())
        return Failure::readError(path, QStringLiteral("ファイルではありません"));
    if (!file.open(mode)) {
        if (file.error() == QFileDevice::PermissionsError || !info.isReadable())
            return Failure::permissionDenied(path);
        return Failure::readError(path, file.errorString());
    }
    return true;
}

} // namespace

Result<QByteArray> readFileBytes(const QString &path)
{
    QFile file(path);
    if (Result<bool> opened = openForReading(path, file, QIODevice::ReadOnly); !opened)
        return opened.failure();
    QByteArray bytes;
    try {
        bytes = file.readAll();
    } catch (const std::bad_alloc &) {
        return Failure::outOfMemory();
    }
    if (file.error() != QFileDevice::NoError)
        return Failure::readError(path, file.errorString());
    return bytes;
}

Result<TextLines> readTextFile(const QString &path, TextLines::Cut cut, qsizetype chunkBytes)
{
    QFile file(path);
    if (Result<bool> opened = openForReading(path, file, QIODevice::ReadOnly | QIODevice::Unbuffered);
        !opened)
        return opened.failure();
    const qint64 size = file.size();
    const qsizetype chunk = chunkBytes > 0 ? std::max(chunkBytes, MinChunk) : FileChunk;
    try {
        ByteWindows in(file, std::clamp(qsizetype(size) + 1, MinChunk, chunk));
        return decodeWindows(in, qsizetype(size), cut, path);
    } catch (const std::bad_alloc &) {
        return Failure::outOfMemory();
    }
}
