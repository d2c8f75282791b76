// velmora-workbook-reader FILE: reads the first worksheet of a workbook (.xls, .xlsx or .ods, told
// apart by the file's content) and writes its cells to standard output in the form of
// XlsProtocol.h. Parsers of these formats are not safe against damaged or hostile files, so they
// run here, in a process of its own under limits, and never in the window's.
#include "WorkbookCells.h"
#include "XlsCellText.h"
#include "XlsProtocol.h"
#include "ZipWorkbook.h"

#include <QByteArray>
#include <QString>

#include <freexl.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace
{

// Set once the first byte of the answer is on its way; until then the processor-time limit can
// still be told as an answer of its own.
volatile std::sig_atomic_t answerStarted = 0;

// The bounds of a worksheet in the .xls format.
constexpr unsigned XlsMaxRows = 65536;
constexpr unsigned XlsMaxColumns = 256;
std::string timeLimitAnswer;

void writeAll(std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        bytes.remove_prefix(std::size_t(n));
    }
}

// SIGXCPU comes at the soft processor-time limit, a second before the hard one ends the process.
// Only async-signal-safe calls: write and _exit.
void onProcessorTimeLimit(int)
{
    if (!answerStarted)
        writeAll(timeLimitAnswer);
    ::_exit(answerStarted ? 4 : 0);
}

void watchProcessorTime()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_CPU, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return;
    timeLimitAnswer = failureAnswer(
        {true,
         QStringLiteral("読み込みの処理時間が上限の %1 秒を超えました。").arg(qulonglong(limit.rlim_cur))});
    struct sigaction action {
    };
    action.sa_handler = onProcessorTimeLimit;
    sigemptyset(&action.sa_mask);
    sigaction(SIGXCPU, &action, nullptr);
}

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
        answerStarted = 1;
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

// An Excel workbook saved with a password is a compound file holding an encrypted package.
bool isEncryptedPackage(std::string_view file)
{
    static const char name[] = "E\0n\0c\0r\0y\0p\0t\0e\0d\0P\0a\0c\0k\0a\0g\0e\0";
    return file.starts_with(std::string_view("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8)) &&
           file.find(std::string_view(name, sizeof name - 1)) != std::string_view::npos;
}

int readWorkbook(const char *path, std::string_view file, Writer &out)
{
    const void *handle = nullptr;
    int rc = freexl_open(path, &handle);
    if (rc != FREEXL_OK) {
        out.record(
            XlsProtocol::Failed, {},
            isEncryptedPackage(file)
                ? QStringLiteral("パスワードで保護されています。パスワードを外して保存し直してください")
                : freexlReason(rc));
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
    } else if (rows > XlsMaxRows || columns > XlsMaxColumns) {
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

// The whole file in memory (mapped, not copied); empty for an empty or unreadable file, which the
// .xls parser then refuses with its own reason.
std::string_view mapFile(const char *path)
{
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    struct stat st {
    };
    void *data = MAP_FAILED;
    if (::fstat(fd, &st) == 0 && st.st_size > 0)
        data = ::mmap(nullptr, std::size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    return data == MAP_FAILED ? std::string_view()
                              : std::string_view(static_cast<const char *>(data), std::size_t(st.st_size));
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: velmora-workbook-reader FILE\n");
        return 2;
    }
    // A pipe of a megabyte lets the answer of a large sheet go in a few writes, so a busy machine's
    // scheduler is met a few times rather than once per 64 KB. Not being able to grow it is harmless.
    fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 1 << 20);
    watchProcessorTime();
    const std::string_view file = mapFile(argv[1]);
    if (looksLikeZip(file)) {
        const std::string answer = zipWorkbookAnswer(file);
        answerStarted = 1;
        writeAll(answer);
        return 0;
    }
    Writer out;
    const int rc = readWorkbook(argv[1], file, out);
    out.flush();
    return std::fflush(stdout) == 0 ? rc : 3;
}
