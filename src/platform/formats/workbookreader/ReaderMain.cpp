// velmora-workbook-reader FILE: reads the first worksheet of a workbook (.xls, .xlsx or .ods, told
// apart by the file's content) and writes its cells to standard output in the form of
// XlsProtocol.h. Parsers of these formats are not safe against damaged or hostile files, so they
// run here, in a process of its own under limits, and never in the window's.
#include "platform/formats/workbookreader/BiffReader.h"
#include "platform/formats/workbookreader/WorkbookCells.h"
#include "platform/formats/workbookreader/ZipWorkbook.h"

#include <QString>

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

// The whole file in memory (mapped, not copied); empty for an empty or unreadable file, which the
// .xls reader then refuses as no workbook.
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
    const std::string answer = looksLikeZip(file) ? zipWorkbookAnswer(file) : xlsWorkbookAnswer(file);
    answerStarted = 1;
    writeAll(answer);
    return 0;
}
