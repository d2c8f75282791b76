#include "cli/SendCommand.h"

#include "cli/TerminalView.h"
#include "platform/Clock.h"
#include "platform/KeychainSecretStore.h"
#include "platform/ReplaceFile.h"
#include "platform/SettingsStore.h"
#include "send/Mailing.h"
#include "send/MailingJob.h"
#include "send/SendRun.h"
#include "send/SendTimer.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QUrl>

#include <csignal>
#include <cstdio>

#include <sys/socket.h>
#include <unistd.h>

namespace
{
// SIGINT and SIGTERM (a stop of the systemd unit) stop the run as the stop button does: the mail in
// flight is finished and the journal closed, so --resume continues where it stopped.
int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(signalPipe[1], &byte, 1);
}

class StopOnSignal
{
  public:
    explicit StopOnSignal(Mailing &mailing)
    {
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
            return;
        m_notifier = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [&mailing] {
            char byte = 0;
            [[maybe_unused]] const ssize_t n = read(signalPipe[0], &byte, 1);
            mailing.stop();
        });
        struct sigaction action {
        };
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
    }
    ~StopOnSignal()
    {
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        m_notifier.reset();
        for (int &fd : signalPipe)
            if (fd >= 0) {
                close(fd);
                fd = -1;
            }
    }
    StopOnSignal(const StopOnSignal &) = delete;
    StopOnSignal &operator=(const StopOnSignal &) = delete;

  private:
    std::unique_ptr<QSocketNotifier> m_notifier;
};

void writeOutcome(const QString &path, int code, const QString &text)
{
    if (path.isEmpty())
        return;
    const QJsonObject o{{QStringLiteral("exitCode"), code},
                        {QStringLiteral("text"), text},
                        {QStringLiteral("endedAt"), QDateTime::currentDateTime().toString(Qt::ISODate)}};
    if (const Result<bool> written = replaceFile(path, QJsonDocument(o).toJson()); !written)
        std::fprintf(stderr, "%s\n", written.failure().description.toUtf8().constData());
}
} // namespace

int runSendCommand(const SendCommandOptions &options)
{
    std::FILE *err = stderr;
    const auto finish = [&options](int code, const QString &text) {
        writeOutcome(options.outcomeFile, code, text);
        return code;
    };
    const Result<MailingJob> read = readMailingJob(options.jobFile);
    if (!read) {
        std::fprintf(err, "%s\n", read.failure().description.toUtf8().constData());
        return finish(int(SendExit::NoJob), read.failure().description);
    }
    MailingJob job = read.value();
    if (!options.dryRunFolder.isEmpty()) {
        const QString folder = QDir(options.dryRunFolder).absolutePath();
        QDir().mkpath(folder);
        job.inputs.server = QUrl::fromLocalFile(folder).toString(QUrl::FullyEncoded);
    }

    TerminalView view(job.inputs, options, err);
    QString late;
    if (options.scheduledAt) {
        const QDateTime now = SystemClock::instance().now();
        if (startsLate(*options.scheduledAt, now)) {
            if (options.skipIfLate) {
                const QString text = QStringLiteral("予定時刻（%1）を過ぎていたため、送信しませんでした")
                                         .arg(generalDateTime(*options.scheduledAt));
                view.print(text);
                return finish(int(SendExit::NothingSent), text);
            }
            late = lateStartText(now);
            view.print(late);
        }
    }

    SettingsStore settings;
    KeychainSecretStore keyring;
    Mailing mailing(view);
    mailing.logins().setSecretStore(keyring);
    mailing.useSettings(settings);
    mailing.useJob(job);
    StopOnSignal stopOnSignal(mailing);

    QEventLoop loop;
    const auto settled = [&] {
        if (!mailing.busy())
            loop.quit();
    };
    view.setIdle(settled);

    if (mailing.AddressRead(job.source) != 0)
        return finish(int(SendExit::NothingSent), QStringLiteral("宛先を読み込めませんでした"));
    // Busy now: the table's unfinished run, continued (--resume).
    if (!mailing.busy() && options.resume) {
        const QString text = QStringLiteral("この宛先の表に、続きから送信できる送信はありません。");
        view.print(text);
        return finish(int(SendExit::NothingSent), text);
    }
    if (!mailing.busy())
        mailing.startRun();
    if (mailing.busy())
        loop.exec();

    view.endProgress();
    const std::optional<SendSummary> &summary = view.summary();
    const int code = int(exitOf(summary ? &*summary : nullptr));
    QString text = summary ? summary->statusText() : QStringLiteral("メールは送信していません。");
    if (summary && !late.isEmpty())
        text = late + QStringLiteral("。") + text;
    const QByteArray line = (text + u'\n').toUtf8();
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fflush(stdout);
    return finish(code, text);
}
