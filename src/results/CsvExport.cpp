#include "CsvExport.h"

#include "ReplaceFile.h"

#include <iconv.h>

#include <cstring>

namespace
{

bool selected(const RecipientGrid &grid, int line, const QString &strStatus)
{
    return line == 0 || grid.status(line) == strStatus;
}

void appendField(QString &out, QStringView cell)
{
    qsizetype from = 0;
    for (;;) {
        const qsizetype crlf = cell.indexOf(u"\r\n", from);
        if (crlf < 0) {
            out.append(cell.mid(from));
            return;
        }
        out.append(cell.mid(from, crlf - from));
        out.append(u'\n');
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

bool encodeCp932Exactly(const QString &text, QByteArray *out)
{
    Iconv encode("CP932", "UTF-16LE");
    Iconv decode("UTF-16LE", "CP932");
    if (!encode.ok() || !decode.ok())
        return false;
    const auto *utf16 = reinterpret_cast<const char *>(text.utf16());
    const size_t utf16Size = size_t(text.size()) * 2;
    // A UTF-16 unit never needs more than two CP932 bytes.
    if (!encode.convert(utf16, utf16Size, out, utf16Size + 1))
        return false;
    // Some characters are taken in but come back as another (a wave dash as a full-width tilde);
    // those files would merge different text, so only an exact round trip counts.
    QByteArray back;
    if (!decode.convert(out->constData(), size_t(out->size()), &back, size_t(out->size()) * 2 + 2))
        return false;
    return back.size() == qsizetype(utf16Size) && std::memcmp(back.constData(), utf16, utf16Size) == 0;
}

CsvShiftCheck checkCsvShift(const RecipientGrid &grid, const QString &strStatus)
{
    CsvShiftCheck check;
    const int columns = grid.columnCount();
    for (int i = 0; i < grid.lineCount(); ++i) {
        if (!selected(grid, i, strStatus))
            continue;
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

CsvBytes buildCsv(const RecipientGrid &grid, const QString &strStatus)
{
    CsvBytes result;
    QString text;
    const int columns = grid.columnCount();
    int n = 0;
    for (int i = 0; i < grid.lineCount(); ++i) {
        if (!selected(grid, i, strStatus))
            continue;
        for (int j = 2; j < columns; ++j) {
            if (j > 2)
                text.append(u',');
            appendField(text, grid.dataCell(i, j));
        }
        text.append(u"\r\n");
        ++n;
    }
    result.count = n - 1;
    if (!encodeCp932Exactly(text, &result.bytes)) {
        result.utf8 = true;
        result.bytes = QByteArrayLiteral("\xEF\xBB\xBF") + text.toUtf8();
    }
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
    return written;
}
