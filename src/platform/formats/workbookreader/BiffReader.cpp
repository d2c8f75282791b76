#include "platform/formats/workbookreader/BiffReader.h"

#include "platform/formats/workbookreader/CompoundFile.h"
#include "platform/formats/workbookreader/NumberFormat.h"
#include "platform/formats/workbookreader/XlsCellText.h"

#include <iconv.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <map>
#include <new>
#include <optional>
#include <vector>

namespace
{

enum RecordType : std::uint16_t {
    Formula = 0x0006,
    Eof = 0x000A,
    DateMode = 0x0022,
    FilePass = 0x002F,
    Continue = 0x003C,
    CodePage = 0x0042,
    BoundSheet = 0x0085,
    MulRk = 0x00BD,
    RString = 0x00D6,
    Xf = 0x00E0,
    Sst = 0x00FC,
    LabelSst = 0x00FD,
    Number = 0x0203,
    Label = 0x0204,
    BoolErr = 0x0205,
    String = 0x0207,
    Array = 0x0221,
    Table = 0x0236,
    Rk = 0x027E,
    Format = 0x041E,
    SharedFormula = 0x04BC,
    Bof = 0x0809,
};

// Kinds of substream a BOF record opens.
constexpr std::uint32_t GlobalsStream = 0x0005, WorksheetStream = 0x0010;
// The columns of an .xls worksheet.
constexpr std::uint32_t Columns = 256;

std::uint32_t u16(std::string_view s, std::size_t at)
{
    return std::uint32_t(static_cast<unsigned char>(s[at])) |
           std::uint32_t(static_cast<unsigned char>(s[at + 1])) << 8;
}

std::uint32_t u32(std::string_view s, std::size_t at)
{
    return u16(s, at) | u16(s, at + 2) << 16;
}

double f64(std::string_view s, std::size_t at)
{
    return std::bit_cast<double>(std::uint64_t(u32(s, at)) | std::uint64_t(u32(s, at + 4)) << 32);
}

// An RK number: 30 bits of an integer or of a double's upper half, perhaps a hundredth of that.
double rkValue(std::uint32_t rk)
{
    const double v = (rk & 2) ? double(std::int32_t(rk) >> 2)
                              : std::bit_cast<double>(std::uint64_t(rk & 0xFFFFFFFCu) << 32);
    return (rk & 1) ? v / 100 : v;
}

// The bytes a cell record holds at least; 0 for a record that is no cell.
std::size_t cellRecordSize(std::uint16_t type)
{
    switch (type) {
    case Number: return 14;
    case Formula: return 20;
    case Rk:
    case LabelSst: return 10;
    case BoolErr:
    case Label:
    case RString: return 8;
    case MulRk: return 6;
    default: return 0;
    }
}

[[noreturn]] void damaged(const char *what)
{
    stopDamaged(QStringLiteral("ブックのデータが壊れています: %1").arg(QLatin1String(what)));
}

QString passwordReason()
{
    return QStringLiteral("パスワードで保護されています。パスワードを外して保存し直してください");
}

const char *errorText(unsigned code)
{
    switch (code) {
    case 0x00: return "#NULL!";
    case 0x07: return "#DIV/0!";
    case 0x0F: return "#VALUE!";
    case 0x17: return "#REF!";
    case 0x1D: return "#NAME?";
    case 0x24: return "#NUM!";
    case 0x2A: return "#N/A";
    case 0x2B: return "#GETTING_DATA";
    default: return nullptr;
    }
}

void appendUtf8(std::uint32_t c, std::string &out)
{
    if (c < 0x80) {
        out.push_back(char(c));
    } else if (c < 0x800) {
        out.push_back(char(0xC0 | (c >> 6)));
        out.push_back(char(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(char(0xE0 | (c >> 12)));
        out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(char(0x80 | (c & 0x3F)));
    } else {
        out.push_back(char(0xF0 | (c >> 18)));
        out.push_back(char(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(char(0x80 | (c & 0x3F)));
    }
}

// UTF-16 as UTF-8; a surrogate without its partner becomes U+FFFD, NUL is left out.
void utf16ToUtf8(const std::u16string &units, std::string &out)
{
    out.clear();
    for (std::size_t i = 0; i < units.size(); ++i) {
        const std::uint32_t c = units[i];
        if (c == 0)
            continue;
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            appendUtf8(0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00), out);
        } else {
            appendUtf8(c >= 0xD800 && c <= 0xDFFF ? 0xFFFD : c, out);
        }
    }
}

// One record.
struct Record {
    std::uint16_t type = 0;
    std::string_view data;
};

class Records
{
  public:
    Records(std::string_view stream, std::size_t at) : m_stream(stream), m_at(at) {}

    // The next record; false at the end of the stream. A record cut by the end is damaged.
    bool next(Record &r)
    {
        if (m_at >= m_stream.size())
            return false;
        if (m_stream.size() - m_at < 4)
            damaged("record cut short");
        const std::size_t length = u16(m_stream, m_at + 2);
        if (m_stream.size() - m_at - 4 < length)
            damaged("record cut short");
        r.type = std::uint16_t(u16(m_stream, m_at));
        r.data = m_stream.substr(m_at + 4, length);
        m_at += 4 + length;
        return true;
    }

    // The CONTINUE records right after the one just read: the rest of its data.
    void continuation(std::vector<std::string_view> &parts)
    {
        Record r;
        while (m_stream.size() - m_at >= 4 && u16(m_stream, m_at) == Continue && next(r))
            parts.push_back(r.data);
    }

  private:
    std::string_view m_stream;
    std::size_t m_at;
};

// The data of a record and its CONTINUE records, read as one. Only the characters of a text know
// where a record ends: the next one opens with a byte that says how wide the rest of them are.
class Pieces
{
  public:
    explicit Pieces(const std::vector<std::string_view> &parts) : m_parts(parts) {}

    bool atEnd()
    {
        while (m_at == m_parts[m_part].size() && m_part + 1 < m_parts.size()) {
            ++m_part;
            m_at = 0;
        }
        return m_at == m_parts[m_part].size();
    }
    std::uint32_t u8()
    {
        if (atEnd())
            damaged("text cut short");
        return static_cast<unsigned char>(m_parts[m_part][m_at++]);
    }
    std::uint32_t u16()
    {
        const std::uint32_t low = u8();
        return low | u8() << 8;
    }
    std::uint32_t u32()
    {
        const std::uint32_t low = u16();
        return low | u16() << 16;
    }
    void skip(std::uint64_t n)
    {
        while (n > 0) {
            if (atEnd())
                damaged("text cut short");
            const std::size_t step = std::size_t(std::min<std::uint64_t>(n, m_parts[m_part].size() - m_at));
            m_at += step;
            n -= step;
        }
    }
    void characters(std::size_t count, bool wide, std::u16string &out)
    {
        out.clear();
        while (count > 0) {
            if (m_at == m_parts[m_part].size()) {
                if (m_part + 1 == m_parts.size())
                    damaged("text cut short");
                ++m_part;
                m_at = 0;
                wide = (u8() & 1) != 0;
                continue;
            }
            const std::string_view piece = m_parts[m_part];
            const std::size_t width = wide ? 2 : 1, n = std::min(count, (piece.size() - m_at) / width);
            if (n == 0)
                damaged("character cut in two");
            for (std::size_t i = 0; i < n; ++i, m_at += width)
                out.push_back(wide ? char16_t(::u16(piece, m_at))
                                   : char16_t(static_cast<unsigned char>(piece[m_at])));
            count -= n;
        }
    }

  private:
    const std::vector<std::string_view> &m_parts;
    std::size_t m_part = 0, m_at = 0;
};

// The text of a BIFF5 workbook, in its code page (CODEPAGE record), as UTF-8.
class CodePageText
{
  public:
    CodePageText() { set(1252); }
    ~CodePageText() { close(); }
    CodePageText(const CodePageText &) = delete;
    CodePageText &operator=(const CodePageText &) = delete;

    void set(std::uint32_t codePage)
    {
        close();
        char name[16];
        if (codePage == 10000 || codePage == 32768)
            std::snprintf(name, sizeof name, "MACINTOSH");
        else if (codePage >= 437 && codePage <= 1361 && codePage != 1200)
            std::snprintf(name, sizeof name, "CP%u", codePage);
        else
            std::snprintf(name, sizeof name, "CP1252");
        m_cd = iconv_open("UTF-8", name);
        if (m_cd == reinterpret_cast<iconv_t>(-1))
            m_cd = iconv_open("UTF-8", "CP1252");
    }

    void convert(std::string_view bytes, std::string &out)
    {
        out.clear();
        if (std::all_of(bytes.begin(), bytes.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x80; }) ||
            m_cd == reinterpret_cast<iconv_t>(-1)) {
            for (char c : bytes)
                appendUtf8(static_cast<unsigned char>(c), out);
            return;
        }
        iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
        char *in = const_cast<char *>(bytes.data());
        std::size_t inLeft = bytes.size();
        char buffer[1024];
        while (inLeft > 0) {
            char *o = buffer;
            std::size_t outLeft = sizeof buffer;
            const std::size_t rc = iconv(m_cd, &in, &inLeft, &o, &outLeft);
            out.append(buffer, std::size_t(o - buffer));
            if (rc == std::size_t(-1) && errno != E2BIG) {
                // A byte that is no character of the code page.
                out.append("\xEF\xBF\xBD");
                ++in;
                --inLeft;
                iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
            }
        }
    }

  private:
    void close()
    {
        if (m_cd != reinterpret_cast<iconv_t>(-1))
            iconv_close(m_cd);
        m_cd = reinterpret_cast<iconv_t>(-1);
    }
    iconv_t m_cd = reinterpret_cast<iconv_t>(-1);
};

class BiffReader
{
  public:
    BiffReader(std::string_view stream, SheetCells &cells) : m_stream(stream), m_cells(cells) {}

    void read() { readSheet(readGlobals()); }

  private:
    // The workbook's globals: formats, shared strings, date system; returns where the first
    // worksheet starts.
    std::uint32_t readGlobals()
    {
        Records records(m_stream, 0);
        Record r;
        if (!records.next(r) || r.data.size() < 4 || (r.type & 0xFF) != 0x09)
            stopReading(QStringLiteral("Excel のブックではありません"));
        const std::uint32_t version = u16(r.data, 0);
        if (r.type != Bof || (version != 0x0600 && version != 0x0500))
            stopReading(QStringLiteral(
                "対応していない古い形式のブックです。Excel 97-2003 形式で保存し直してください"));
        if (u16(r.data, 2) != GlobalsStream)
            damaged("no workbook globals");
        m_biff8 = version == 0x0600;
        std::optional<std::uint32_t> firstSheet;
        std::map<std::uint32_t, std::optional<DateParts>> formats;
        std::vector<std::uint32_t> xfFormats;
        for (;;) {
            if (!records.next(r))
                damaged("workbook globals without their end");
            const std::string_view d = r.data;
            switch (r.type) {
            case Eof:
                m_xfParts.reserve(xfFormats.size());
                for (std::uint32_t id : xfFormats) {
                    const auto f = formats.find(id);
                    m_xfParts.push_back(f != formats.end() ? f->second : builtinDateParts(id));
                }
                if (!firstSheet)
                    stopReading(QStringLiteral("ワークシートがありません"));
                return *firstSheet;
            case FilePass: stopReading(passwordReason());
            case CodePage:
                if (!m_biff8 && d.size() >= 2)
                    m_codePage.set(u16(d, 0));
                break;
            case DateMode: m_date1904 = d.size() >= 2 && u16(d, 0) == 1; break;
            case Xf:
                if (d.size() >= 4)
                    xfFormats.push_back(u16(d, 2));
                break;
            case Format:
                if (d.size() >= 3) {
                    m_parts.assign({d.substr(2)});
                    Pieces p(m_parts);
                    formats[u16(d, 0)] = numberFormatDateParts(m_biff8 ? unicodeText(p) : byteText(p, 1));
                }
                break;
            case BoundSheet:
                // The first sheet that is a worksheet (not a chart, a macro sheet or a module).
                if (!firstSheet && d.size() >= 6 && d[5] == 0)
                    firstSheet = u32(d, 0);
                break;
            case Sst:
                if (m_biff8)
                    readSharedStrings(d, records);
                break;
            default: break;
            }
        }
    }

    void readSharedStrings(std::string_view first, Records &records)
    {
        m_parts.assign({first});
        records.continuation(m_parts);
        Pieces p(m_parts);
        p.u32(); // the number of cells that show a shared string
        const std::uint32_t count = p.u32();
        std::size_t bytes = 0;
        for (std::string_view part : m_parts)
            bytes += part.size();
        m_shared.clear();
        // Each entry takes three bytes at least, whatever the count says.
        m_shared.reserve(std::min<std::size_t>(count, bytes / 3));
        for (std::uint32_t i = 0; i < count && !p.atEnd(); ++i)
            m_shared.push_back(m_cells.intern(unicodeText(p)));
    }

    // A BIFF8 text: its length, its flags, and perhaps the runs of its formatting and its phonetic
    // reading, which are passed over.
    const std::string &unicodeText(Pieces &p)
    {
        const std::size_t length = p.u16();
        const std::uint32_t flags = p.u8();
        const std::uint32_t runs = (flags & 0x08) ? p.u16() : 0;
        const std::uint32_t reading = (flags & 0x04) ? p.u32() : 0;
        p.characters(length, (flags & 0x01) != 0, m_units);
        p.skip(std::uint64_t(runs) * 4 + reading);
        utf16ToUtf8(m_units, m_text);
        return m_text;
    }

    // A BIFF5 text: its length in lengthBytes bytes, then the bytes in the workbook's code page.
    const std::string &byteText(Pieces &p, int lengthBytes)
    {
        const std::size_t length = lengthBytes == 1 ? p.u8() : p.u16();
        m_bytes.clear();
        for (std::size_t i = 0; i < length; ++i)
            m_bytes.push_back(char(p.u8()));
        m_codePage.convert(m_bytes, m_text);
        return m_text;
    }

    // The text of a LABEL, RSTRING or STRING record from offset on, with its CONTINUE records.
    const std::string &recordText(std::string_view data, std::size_t offset, Records &records)
    {
        m_parts.assign({data.substr(std::min(offset, data.size()))});
        records.continuation(m_parts);
        Pieces p(m_parts);
        return m_biff8 ? unicodeText(p) : byteText(p, 2);
    }

    void number(std::uint32_t row, std::uint32_t column, std::uint32_t xf, double value)
    {
        const std::optional<DateParts> parts = xf < m_xfParts.size() ? m_xfParts[xf] : std::nullopt;
        m_cells.add(row, column, parts ? serialDateText(value, m_date1904, *parts) : numberText15Utf8(value));
    }

    void error(std::uint32_t row, std::uint32_t column, unsigned code)
    {
        if (const char *text = errorText(code))
            m_cells.add(row, column, std::string_view(text));
        else
            m_cells.addUnreadable(row, column, QStringLiteral("値の種類が不明です"));
    }

    void readSheet(std::uint32_t at)
    {
        Records records(m_stream, at);
        Record r;
        if (at >= m_stream.size() || !records.next(r) || r.type != Bof || r.data.size() < 4 ||
            u16(r.data, 2) != WorksheetStream)
            damaged("worksheet not where the workbook says");
        // A chart inside the sheet is a substream of its own, from its BOF to its EOF.
        int depth = 0;
        // A formula whose result is a text: the STRING record that follows holds it.
        std::optional<std::pair<std::uint32_t, std::uint32_t>> pendingText;
        for (;;) {
            if (!records.next(r))
                damaged("worksheet without its end");
            if (r.type == Bof) {
                ++depth;
                continue;
            }
            if (r.type == Eof) {
                if (depth-- == 0)
                    return;
                continue;
            }
            if (depth > 0)
                continue;
            const std::string_view d = r.data;
            if (pendingText && r.type != String && r.type != SharedFormula && r.type != Array &&
                r.type != Table)
                pendingText.reset();
            if (r.type == String) {
                if (pendingText)
                    m_cells.add(pendingText->first, pendingText->second, recordText(d, 0, records));
                pendingText.reset();
                continue;
            }
            const std::size_t least = cellRecordSize(r.type);
            if (least == 0)
                continue;
            if (d.size() < least)
                damaged("cell record too short");
            const std::uint32_t row = u16(d, 0), column = u16(d, 2), xf = u16(d, 4);
            if (column >= Columns)
                damaged("cell outside the worksheet");
            switch (r.type) {
            case Number: number(row, column, xf, f64(d, 6)); break;
            case Rk: number(row, column, xf, rkValue(u32(d, 6))); break;
            case MulRk: {
                const std::size_t n = (d.size() - 6) / 6;
                const std::uint32_t last = u16(d, d.size() - 2);
                if ((d.size() - 6) % 6 != 0 || last < column || last - column + 1 != n || last >= Columns)
                    damaged("MULRK record of the wrong size");
                for (std::size_t k = 0; k < n; ++k)
                    number(row, column + std::uint32_t(k), u16(d, 4 + 6 * k), rkValue(u32(d, 6 + 6 * k)));
                break;
            }
            case LabelSst: {
                const std::uint32_t index = u32(d, 6);
                if (index < m_shared.size())
                    m_cells.add(row, column, m_shared[index]);
                else
                    m_cells.addUnreadable(row, column,
                                          QStringLiteral("共有文字列 %1 がありません").arg(index));
                break;
            }
            case Label:
            case RString: m_cells.add(row, column, recordText(d, 6, records)); break;
            case BoolErr:
                if (d[7] != 0)
                    error(row, column, static_cast<unsigned char>(d[6]));
                else
                    m_cells.add(row, column, std::string_view(d[6] != 0 ? "1" : "0"));
                break;
            case Formula:
                // The saved result: a number, or after 0xFFFF its kind and value.
                if (u16(d, 12) != 0xFFFF) {
                    number(row, column, xf, f64(d, 6));
                } else if (d[6] == 0) {
                    pendingText.emplace(row, column);
                } else if (d[6] == 1) {
                    m_cells.add(row, column, std::string_view(d[8] != 0 ? "1" : "0"));
                } else if (d[6] == 2) {
                    error(row, column, static_cast<unsigned char>(d[8]));
                } else if (d[6] != 3) { // 3: the empty text
                    m_cells.addUnreadable(row, column, QStringLiteral("値の種類が不明です"));
                }
                break;
            default: break;
            }
        }
    }

    std::string_view m_stream;
    SheetCells &m_cells;
    bool m_biff8 = true;
    bool m_date1904 = false;
    std::vector<std::optional<DateParts>> m_xfParts; // what each cell format (XF) shows of a date
    std::vector<TextSpan> m_shared;
    CodePageText m_codePage;
    std::vector<std::string_view> m_parts;
    std::u16string m_units;
    std::string m_bytes, m_text;
};

} // namespace

void readBiffStream(std::string_view stream, SheetCells &cells)
{
    BiffReader(stream, cells).read();
}

std::string xlsWorkbookAnswer(std::string_view file)
{
    try {
        std::optional<std::string> stream;
        try {
            const CompoundFile container(file);
            // An .xlsx saved with a password is a compound file holding the encrypted package.
            if (container.contains("EncryptedPackage"))
                stopReading(passwordReason());
            stream = container.read("Workbook");
            if (!stream)
                stream = container.read("Book");
        } catch (const WorkbookStop &) {
            // Of a container that cannot be read, the name of that package alone tells.
            static const char name[] = "E\0n\0c\0r\0y\0p\0t\0e\0d\0P\0a\0c\0k\0a\0g\0e\0";
            if (looksLikeCompoundFile(file) &&
                file.find(std::string_view(name, sizeof name - 1)) != std::string_view::npos)
                stopReading(passwordReason());
            throw;
        }
        if (!stream)
            stopReading(QStringLiteral("ブックのデータがありません"));
        SheetCells cells;
        readBiffStream(*stream, cells);
        return cells.answer();
    } catch (const WorkbookStop &stop) {
        return failureAnswer(stop);
    } catch (const std::bad_alloc &) {
        return failureAnswer(WorkbookStop{true, memoryLimitReason()});
    }
}
