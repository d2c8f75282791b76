#include "platform/formats/XlsWorkbook.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <mutex>

#include <sys/resource.h>

namespace
{

constexpr const char *ReaderName = "velmora-workbook-reader";

std::mutex readerMutex;
QString chosenReader;

Failure cannotStart(const QString &path)
{
    return Failure::readError(
        path, QStringLiteral("読込用のプログラム %1 を起動できません").arg(QLatin1String(ReaderName)));
}

// The format the operator chose, by the file's extension, for the message about a file that is not one.
QString formatName(const QString &path)
{
    if (path.endsWith(QStringLiteral(".xlsx"), Qt::CaseInsensitive))
        return QStringLiteral("Excel ブック (.xlsx)");
    if (path.endsWith(QStringLiteral(".ods"), Qt::CaseInsensitive))
        return QStringLiteral("OpenDocument 表計算ドキュメント (.ods)");
    return QString();
}

} // namespace

QString XlsWorkbook::findReader(const QString &executableFolder)
{
    if (executableFolder.isEmpty())
        return QString();
    for (const QString &candidate :
         {executableFolder + u'/' + QLatin1String(ReaderName),
          executableFolder + QStringLiteral("/../libexec/velmora/") + QLatin1String(ReaderName)}) {
        const QFileInfo info(candidate);
        if (info.isFile() && info.isExecutable())
            return QDir::cleanPath(info.absoluteFilePath());
    }
    return QString();
}

void XlsWorkbook::setReaderProgram(const QString &program)
{
    std::lock_guard lock(readerMutex);
    chosenReader = program;
}

QString XlsWorkbook::readerProgram()
{
    {
        std::lock_guard lock(readerMutex);
        if (!chosenReader.isEmpty())
            return chosenReader;
    }
    return QCoreApplication::instance() ? findReader(QCoreApplication::applicationDirPath()) : QString();
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

    const QString program = options.program.isEmpty() ? readerProgram() : options.program;
    if (program.isEmpty())
        return cannotStart(path);
    QProcess reader;
    reader.setProgram(program);
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
        return cannotStart(path);

    XlsAnswerParser answer;
    bool timedOut = false;
    bool cancelled = false;
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
        if (options.cancel && options.cancel->load()) {
            cancelled = true;
            break;
        }
        // A stop by the operator is noticed within a tenth of a second.
        const int wait = int(deadline.remainingTime());
        reader.waitForReadyRead(options.cancel ? qMin(wait, 100) : wait);
    }
    if (reader.state() != QProcess::NotRunning) {
        reader.kill();
        reader.waitForFinished(5000);
    }
    if (cancelled)
        return Failure::importCancelled();
    if (timedOut)
        return Failure::workbookTimedOut(path, (options.timeoutMs + 999) / 1000);
    if (!answer.complete() || reader.exitStatus() != QProcess::NormalExit || reader.exitCode() != 0 ||
        answer.damaged())
        return Failure::damagedWorkbook(path);
    if (answer.limitHit())
        return Failure::workbookLimit(path, answer.failureReason());
    if (answer.failed()) {
        const QString format = formatName(path);
        return format.isEmpty() ? Failure::notAWorkbook(path, answer.failureReason())
                                : Failure::notAWorkbookOf(path, format, answer.failureReason());
    }
    return std::unique_ptr<XlsWorkbook>(new XlsWorkbook(answer.takeSheet()));
}

Result<QString> XlsWorkbook::cellText(int row, int column) const
{
    const XlsSheet::Cell *cell = m_sheet.find(row, column);
    if (!cell)
        return QString();
    if (cell->unreadable)
        return Failure::unreadableCell(row, column, m_sheet.text(*cell).toString());
    return m_sheet.text(*cell).toString();
}
