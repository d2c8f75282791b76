// velmora-xls-reader FILE.xls: reads the first worksheet of an .xls workbook and writes its cells
// to standard output in the form of XlsProtocol.h. The parser of the format is not safe against
// damaged files, so it runs here, in a process of its own under limits, and never in the window's.
#include "XlsCellText.h"
#include "XlsProtocol.h"

#include <QByteArray>
#include <QString>

#include <freexl.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace
{

QString freexlReason(int code)
{
    switch (code) {
    case FREEXL_INVALID_CFBF_HEADER:
    case FREEXL_CFBF_INVALID_SIGNATURE: return QStringLiteral("Excel のブックではありません");
    case FREEXL_BIFF_WORKBOOK_NOT_FOUND: return QStringLiteral("ブックのデータがありません");
    case FREEXL_INSUFFICIENT_MEMORY: return QStringLiteral("メモリが不足しています");
    case FREEXL_CRAFTED_FILE: return QStringLiteral("ファイルが壊れています");
    case FREEXL_INVALID_CHARACTER:
    case FREEXL_UNSUPPORTED_CHARSET: return QStringLiteral("文字コードを変換できません");
    default: return QStringLiteral("ファイルが壊れているか、対応していない形式です: コード %1").arg(code);
    }
}

class Writer
{
  public:
    Writer() { m_out.append(XlsProtocol::Magic, sizeof XlsProtocol::Magic); }

    void record(char type, std::initializer_list<std::uint32_t> numbers, const QString &text = QString())
    {
        const QByteArray utf8 = text.toUtf8();
        m_out.push_back(type);
        put(std::uint32_t(numbers.size() * 4 + std::size_t(utf8.size())));
        for (std::uint32_t n : numbers)
            put(n);
        m_out.append(utf8.constData(), std::size_t(utf8.size()));
        if (m_out.size() >= (1u << 20))
            flush();
    }

    void flush()
    {
        if (!m_out.empty() && std::fwrite(m_out.data(), 1, m_out.size(), stdout) != m_out.size())
            std::exit(3);
        m_out.clear();
    }

  private:
    void put(std::uint32_t n)
    {
        for (int i = 0; i < 4; ++i)
            m_out.push_back(char((n >> (8 * i)) & 0xFF));
    }
    std::string m_out;
};

// FreeXL gives UTF-8; decoding and encoding again makes sure the answer holds nothing else.
QString utf8Text(const char *text)
{
    return QString::fromUtf8(text);
}

int readWorkbook(const char *path, Writer &out)
{
    const void *handle = nullptr;
    int rc = freexl_open(path, &handle);
    if (rc != FREEXL_OK) {
        out.record(XlsProtocol::Failed, {}, freexlReason(rc));
        out.record(XlsProtocol::End, {0});
        if (handle)
            freexl_close(handle);
        return 0;
    }
    unsigned int sheets = 0;
    unsigned int rows = 0;
    unsigned short columns = 0;
    rc = freexl_get_info(handle, FREEXL_BIFF_SHEET_COUNT, &sheets);
    if (rc != FREEXL_OK || sheets == 0) {
        out.record(XlsProtocol::Failed, {}, QStringLiteral("ワークシートがありません"));
    } else if ((rc = freexl_select_active_worksheet(handle, 0)) != FREEXL_OK ||
               (rc = freexl_worksheet_dimensions(handle, &rows, &columns)) != FREEXL_OK) {
        out.record(XlsProtocol::Failed, {}, freexlReason(rc));
    } else if (rows > XlsProtocol::MaxRows || columns > XlsProtocol::MaxColumns) {
        out.record(XlsProtocol::Failed, {}, QStringLiteral("ワークシートの大きさが正しくありません"));
    } else {
        out.record(XlsProtocol::Sheet, {rows, columns});
        std::uint32_t cells = 0;
        for (unsigned int r = 0; r < rows; ++r) {
            for (unsigned short c = 0; c < columns; ++c) {
                FreeXL_CellValue cell;
                rc = freexl_get_cell_value(handle, r, c, &cell);
                QString text;
                char type = XlsProtocol::Cell;
                if (rc != FREEXL_OK) {
                    type = XlsProtocol::Unreadable;
                    text = freexlReason(rc);
                } else {
                    switch (cell.type) {
                    case FREEXL_CELL_NULL: break;
                    case FREEXL_CELL_INT: text = QString::number(cell.value.int_value); break;
                    case FREEXL_CELL_DOUBLE: text = numberText15(cell.value.double_value); break;
                    case FREEXL_CELL_TEXT:
                    case FREEXL_CELL_SST_TEXT:
                    case FREEXL_CELL_TIME: text = utf8Text(cell.value.text_value); break;
                    case FREEXL_CELL_DATE:
                    case FREEXL_CELL_DATETIME: text = japaneseDate(utf8Text(cell.value.text_value)); break;
                    default: type = XlsProtocol::Unreadable; text = QStringLiteral("値の種類が不明です");
                    }
                }
                if (text.isEmpty())
                    continue;
                // A longer text than a cell can hold is not from a sound workbook.
                if (text.size() > 32767)
                    text.truncate(32767);
                out.record(type, {r + 1, std::uint32_t(c) + 1}, text);
                ++cells;
            }
        }
        out.record(XlsProtocol::End, {cells});
        freexl_close(handle);
        out.flush();
        return 0;
    }
    freexl_close(handle);
    out.record(XlsProtocol::End, {0});
    out.flush();
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: velmora-xls-reader FILE.xls\n");
        return 2;
    }
    // A pipe of a megabyte lets the answer of a large sheet go in a few writes, so a busy machine's
    // scheduler is met a few times rather than once per 64 KB. Not being able to grow it is harmless.
    fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 1 << 20);
    Writer out;
    const int rc = readWorkbook(argv[1], out);
    out.flush();
    return std::fflush(stdout) == 0 ? rc : 3;
}
