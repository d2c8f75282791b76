#include "XlsWorkbook.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcess>

#include <sys/resource.h>

namespace
{

constexpr const char *ReaderName = "velmora-xls-reader";

} // namespace

QString XlsWorkbook::readerProgram()
{
    if (QCoreApplication::instance()) {
        const QString beside = QCoreApplication::applicationDirPath() + u'/' + QLatin1String(ReaderName);
        if (QFileInfo(beside).isExecutable())
            return beside;
    }
    return QStringLiteral(VELMORA_XLS_READER_BUILD_PATH);
}

Result<std::unique_ptr<XlsWorkbook>> XlsWorkbook::open(const QString &path, const XlsReaderOptions &options)
{
    const QFileInfo info(path);
    if (!info.exists())
        return Failure::fileNotFound(path);
    if (!info.isFile())
        return Failure::readError(path, QStringLiteral("ファイルではありません"));
    if (!info.isReadable())
        return Failure::permissionDenied(path);

    QProcess reader;
    reader.setProgram(options.program.isEmpty() ? readerProgram() : options.program);
    reader.setArguments(options.arguments + QStringList{info.absoluteFilePath()});
    reader.setStandardInputFile(QProcess::nullDevice());
    reader.setStandardErrorFile(QProcess::nullDevice());
    rlim_t memory = rlim_t(options.memoryBytes);
#if defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer reserves terabytes of address space up front; its builds bound only time.
    memory = 0;
#endif
    const rlim_t cpu = rlim_t(options.cpuSeconds);
    // Runs in the child between fork and exec: only async-signal-safe calls.
    reader.setChildProcessModifier([memory, cpu] {
        const rlimit cpuLimit{cpu, cpu + 1};
        setrlimit(RLIMIT_CPU, &cpuLimit);
        if (memory > 0) {
            const rlimit memoryLimit{memory, memory};
            setrlimit(RLIMIT_AS, &memoryLimit);
        }
        // A crash on a damaged file leaves no core file of the operator's data behind.
        const rlimit noCore{0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
    });
    const QDeadlineTimer deadline(options.timeoutMs);
    reader.start(QIODevice::ReadOnly);
    if (!reader.waitForStarted(int(deadline.remainingTime())))
        return Failure::readError(
            path, QStringLiteral("読込用のプログラム %1 を起動できません").arg(QLatin1String(ReaderName)));

    XlsAnswerParser answer;
    bool timedOut = false;
    for (;;) {
        const QByteArray chunk = reader.readAllStandardOutput();
        if (!chunk.isEmpty()) {
            if (!answer.feed(chunk))
                break;
            continue;
        }
        if (reader.state() == QProcess::NotRunning)
            break;
        if (deadline.hasExpired()) {
            timedOut = true;
            break;
        }
        reader.waitForReadyRead(int(deadline.remainingTime()));
    }
    if (reader.state() != QProcess::NotRunning) {
        reader.kill();
        reader.waitForFinished(5000);
    }
    if (timedOut || !answer.complete() || reader.exitStatus() != QProcess::NormalExit ||
        reader.exitCode() != 0)
        return Failure::damagedWorkbook(path);
    if (answer.failed())
        return Failure::notAWorkbook(path, answer.failureReason());
    return std::unique_ptr<XlsWorkbook>(new XlsWorkbook(answer.takeSheet()));
}

Result<QString> XlsWorkbook::cellText(int row, int column) const
{
    const XlsSheet::Cell *cell = m_sheet.find(row, column);
    if (!cell)
        return QString();
    if (cell->unreadable)
        return Failure::unreadableCell(row, column, cell->text);
    return cell->text;
}
