// The send run of the main window, measured as the operator runs it.
//
//   send_run_bench --server TEXT --rows N       a whole run: N merged mails (Japanese subject, 3 KB
//                                              body with tags); prints rate, the longest gap
//                                              between two ticks of a 10 ms timer, peak RSS
//   send_run_bench --server TEXT --rows N --invoices BYTES
//                                              the same run, each row with a PDF of its own of
//                                              BYTES (the attachment box holds a merge tag) and a CC
//   send_run_bench --server TEXT --csv FILE      the same run over the rows of a CSV file with the
//                                              columns 氏名, 会社名 and 回 (bench/scale); also prints
//                                              the RSS once the table is loaded
//   send_run_bench --sample-size               size in bytes of one message of that run
//   send_run_bench --server TEXT --interval-cpu   CPU used during a 10 s interval wait
//   send_run_bench --timer-cpu                 CPU used during 10 s of a timer wait
//   send_run_bench --server TEXT --rows N --sent-copies
//                                              the window's run with Copy to Sent into a Dovecot of its
//                                              own; also prints when the last copy was appended
//   send_run_bench --server TEXT --rows N --core [--no-journal]
//                                              the run itself (no window), with its journal or
//                                              without: what the journal costs
#include "DovecotServer.h"
#include "app/Form1.h"
#include "platform/SecretStore.h"
#include "platform/SettingsStore.h"
#include "platform/UserDialogs.h"
#include "platform/mail/SendMail.h"
#include "recipients/Importers.h"
#include "send/SendRun.h"
#include "send/journal/JournalReport.h"
#include "send/journal/RunJournal.h"
#include "send/journal/SendJournal.h"
#include "send/limits/SendPacer.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <iconv.h>

namespace
{

// Answers every question with its first button and counts the boxes.
class Answering : public UserDialogs
{
  public:
    Answer messageBox(QWidget *, const Message &m) override
    {
        ++boxes;
        std::fprintf(stderr, "box: %s\n", qPrintable(m.text.left(80)));
        return m.buttons == Buttons::YesNo ? Answer::No : Answer::Ok;
    }
    QString openFileName(QWidget *, const FileRequest &) override { return {}; }
    QString saveFileName(QWidget *, const FileRequest &) override { return {}; }
    bool chooseFont(QWidget *, FontChoice &) override { return false; }
    int boxes = 0;
};

QByteArray cp932(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    iconv_t cd = iconv_open("CP932", "UTF-8");
    QByteArray out(utf8.size() * 2 + 16, '\0');
    char *in = const_cast<char *>(utf8.constData());
    char *o = out.data();
    size_t inLeft = size_t(utf8.size()), outLeft = size_t(out.size());
    iconv(cd, &in, &inLeft, &o, &outLeft);
    iconv_close(cd);
    out.truncate(out.size() - qsizetype(outLeft));
    return out;
}

// With invoiceBytes, every row also has a file of its own in dir/請求書 and a CC address.
QString writeRecipients(const QString &dir, int rows, qint64 invoiceBytes = 0)
{
    QString csv = QStringLiteral("メールアドレス,氏名,会社,回");
    csv += invoiceBytes > 0 ? QStringLiteral(",番号,CC\r\n") : QStringLiteral("\r\n");
    if (invoiceBytes > 0)
        QDir(dir).mkpath(QStringLiteral("請求書"));
    QByteArray pdf(invoiceBytes, '\0');
    for (int k = 1; k <= rows; ++k) {
        csv += QStringLiteral("user%1@example.com,山田 太郎%1,株式会社サンプル%2,%3")
                   .arg(k)
                   .arg(k % 97)
                   .arg(k % 12 + 1);
        if (invoiceBytes <= 0) {
            csv += QStringLiteral("\r\n");
            continue;
        }
        csv += QStringLiteral(",%1,rep%2@example.com\r\n").arg(k, 6, 10, QChar(u'0')).arg(k % 20);
        // Content that differs per row, as invoices do, and does not compress to nothing.
        quint32 x = quint32(k) * 2654435761u;
        for (qint64 i = 0; i < invoiceBytes; ++i) {
            x = x * 1664525u + 1013904223u;
            pdf[i] = char(x >> 24);
        }
        QFile f(dir + QStringLiteral("/請求書/%1.pdf").arg(k, 6, 10, QChar(u'0')));
        f.open(QIODevice::WriteOnly);
        f.write(pdf);
    }
    const QString path = dir + QStringLiteral("/recipients.csv");
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(cp932(csv));
    return path;
}

const QString Subject = QStringLiteral("【ご案内】<%氏名%>様 第<%回%>回 製品説明会のお知らせ");

QString body(const QString &company = QStringLiteral("会社"))
{
    QString b = QStringLiteral("<%") + company +
                QStringLiteral("%>\n<%氏名%> 様\n\nいつも格別のお引き立てを賜り、誠にありがとうございます。\n"
                               "第<%回%>回 製品説明会を下記のとおり開催いたします。\n\n");
    while (b.toUtf8().size() < 3000)
        b += QStringLiteral("新製品の特長と導入事例を担当者よりご説明いたします。"
                            "ご多忙中とは存じますが、ぜひご参加くださいますようお願い申し上げます。\n");
    return b + QStringLiteral("\n以上\n");
}

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long rssKb()
{
    long pages = 0, resident = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

long peakRssKb()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// Runs the event loop (sleeping when idle) until done() holds; false after timeoutMs.
bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    check.start(5);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    if (!done())
        loop.exec();
    return done();
}

void idle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

int main(int argc, char **argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path()));
    // Journals and sending counts go to a scratch folder on the same disk as the operator's.
    qputenv("XDG_STATE_HOME", QFile::encodeName(home.path()));
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    QString server;
    int rows = 2000;
    QString mode = QStringLiteral("run");
    bool journal = true;
    qint64 invoiceBytes = 0;
    bool sentCopies = false;
    QString csv;
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == u"--server" && i + 1 < args.size())
            server = args[++i];
        else if (args[i] == u"--rows" && i + 1 < args.size())
            rows = args[++i].toInt();
        else if (args[i] == u"--invoices" && i + 1 < args.size())
            invoiceBytes = args[++i].toLongLong();
        else if (args[i] == u"--csv" && i + 1 < args.size())
            csv = args[++i];
        else if (args[i] == u"--no-journal")
            journal = false;
        else if (args[i] == u"--sent-copies")
            sentCopies = true;
        else if (args[i].startsWith(u"--"))
            mode = args[i].mid(2);
    }

    QTemporaryDir work;
    if (mode == u"core") {
        // The same run as the window's, driven directly: journal on or off is the only difference.
        Result<RecipientTable> table = CSVDataGet(writeRecipients(work.path(), rows));
        if (!table)
            return 1;
        SendRunSetup setup;
        setup.target =
            mailTargetOf(server, QStringLiteral("株式会社ベルモラ商事 営業部 <sales@example.com>"), {});
        setup.subject = Subject;
        setup.body = body().replace(u'\n', QStringLiteral("\r\n"));
        std::unique_ptr<RunJournal> runJournal = std::make_unique<NoJournal>();
        if (journal) {
            RunIdentity identity;
            identity.source = QStringLiteral("bench.csv");
            identity.tableDigest = tableDigest(table.value());
            identity.subject = setup.subject;
            identity.body = setup.body;
            identity.sender = setup.target.senderText;
            identity.server = server;
            identity.rows = table->lastRow();
            identity.startedAt = QDateTime::currentDateTime();
            Result<std::unique_ptr<SendJournal>> created = SendJournal::create(std::move(identity));
            if (!created)
                return 1;
            runJournal = std::move(created.value());
        }
        UnlimitedPacer pacer;
        qint16 sendFlag = 0;
        bool done = false;
        SendRunHost host;
        host.status = [](const QString &) {};
        host.progress = [](int, int) {};
        host.askStop = [] { return true; };
        host.askGoOn = [](const QString &) { return false; };
        host.tellStopped = [](const QString &) {};
        host.askWaitDay = [](const QDateTime &) { return false; };
        host.finished = [&](const SendSummary &) { done = true; };
        host.sendFlag = [&] { return sendFlag; };
        host.setSendFlag = [&](qint16 flag) { sendFlag = flag; };
        SendRun sendRun(table.value(), setup, SystemClock::instance(), host, *runJournal, pacer);
        QElapsedTimer clock;
        clock.start();
        sendRun.start();
        waitUntil([&] { return done; }, 3600 * 1000);
        const double seconds = double(clock.elapsed()) / 1000;
        std::printf("rows=%d seconds=%.3f rate=%.1f journal=%d sent=%d\n", rows, seconds, rows / seconds,
                    journal ? 1 : 0, sendRun.summary().sent);
        SendMailShutdown();
        return sendRun.summary().sent == rows ? 0 : 1;
    }
    if (mode == u"sample-size") {
        // One row through the outbox: the file is the message as it goes to a server.
        server = QStringLiteral("file://") + work.path() + QStringLiteral("/out");
        rows = 1;
    }
    SettingsStore settings;
    Answering dialogs;
    const long rssBeforeKb = rssKb();
    Form1 form(settings, dialogs,
               !csv.isEmpty()
                   ? csv
                   : writeRecipients(work.path(), mode == u"run" || mode == u"sample-size" ? rows : 3,
                                     mode == u"run" ? invoiceBytes : 0));
    const long rssLoadedKb = rssKb();
    if (!csv.isEmpty())
        rows = form.mailing().table().lastRow();
    form.Text1->setText(server);
    form.Text2->setText(QStringLiteral("株式会社ベルモラ商事 営業部 <sales@example.com>"));
    form.Text3->setText(Subject);
    form.Text4->setPlainText(csv.isEmpty() ? body() : body(QStringLiteral("会社名")));
    form.Text5->setPlainText(invoiceBytes > 0 && mode == u"run"
                                 ? work.path() + QStringLiteral("/請求書/<%番号%>.pdf")
                                 : QString());
    form.show();
    QCoreApplication::processEvents();
    // Copy to Sent: the mailbox is a Dovecot of this run's own, its password given for the session.
    std::unique_ptr<DovecotServer> dovecot;
    if (sentCopies) {
        dovecot = std::make_unique<DovecotServer>(QStringList{QStringLiteral("sales")});
        if (!dovecot->unavailable().isEmpty()) {
            std::fprintf(stderr, "no Dovecot: %s\n", qPrintable(dovecot->unavailable()));
            return 1;
        }
        const MailboxServer box = dovecot->mailbox(QStringLiteral("sales"));
        form.mailing().mailbox().setSettings({mailboxServerText(box), true, false, 15});
        ImapSettings imap;
        imap.caFile = dovecot->caFile();
        form.mailing().mailbox().setImapSettings(imap);
        form.mailing().logins().keepSecret(secretKey(QStringLiteral("smtps"), box.user, box.host, box.port),
                                           DovecotServer::Password);
    }

    auto running = [&] { return !form.Command8->isHidden(); };

    if (mode == u"sample-size") {
        form.Command1_Click();
        waitUntil([&] { return !running(); }, 30000);
        const QFileInfoList files =
            QDir(work.path() + QStringLiteral("/out")).entryInfoList({QStringLiteral("*.eml")});
        std::printf("%lld\n", files.isEmpty() ? 0LL : (long long)files.first().size());
        return 0;
    }

    if (mode == u"interval-cpu" || mode == u"timer-cpu") {
        const bool timer = mode == u"timer-cpu";
        form.mailing().setSendInterval(10);
        form.mailing().setTimerHours(1);
        if (timer)
            form.mnuMailSendTimer_Click();
        else
            form.Command1_Click();
        // Into the wait: after row 1 (interval), or at once (timer).
        idle(500);
        const double cpu0 = cpuSeconds();
        QElapsedTimer wall;
        wall.start();
        idle(9000);
        const double cpu = cpuSeconds() - cpu0;
        const double seconds = double(wall.elapsed()) / 1000;
        std::printf("%s wait: %.3f s CPU over %.1f s = %.2f %% of one core\n", timer ? "timer" : "interval",
                    cpu, seconds, 100 * cpu / seconds);
        form.Command8_Click();
        waitUntil([&] { return !running(); }, 60000);
        SendMailShutdown();
        return 0;
    }

    // The event loop's answer: the longest gap between two ticks of a 10 ms timer during the run.
    QElapsedTimer ticks;
    qint64 last = 0, longest = 0, longestAt = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = ticks.elapsed();
        if (now - last > longest) {
            longest = now - last;
            longestAt = last;
        }
        last = now;
    });
    QElapsedTimer run;
    run.start();
    ticks.start();
    tick.start(10);
    form.Command1_Click();
    if (!waitUntil([&] { return !running(); }, 3600 * 1000)) {
        std::fprintf(stderr, "the run did not end\n");
        return 1;
    }
    const double seconds = double(run.elapsed()) / 1000;
    tick.stop();
    const QString status = form.statusText();
    std::printf("rows=%d seconds=%.3f rate=%.1f longest_gap_ms=%lld longest_gap_from_s=%.3f peak_rss_kb=%ld "
                "rss_start_kb=%ld rss_loaded_kb=%ld boxes=%d\n",
                rows, seconds, rows / seconds, longest, double(longestAt) / 1000, peakRssKb(), rssBeforeKb,
                rssLoadedKb, dialogs.boxes);
    std::fprintf(stderr, "status: %s\n", qPrintable(status));
    if (sentCopies) {
        if (!waitUntil([&] { return !form.mailing().mailbox().copying(); }, 3600 * 1000))
            return 1;
        const QString copied = form.statusText();
        std::printf("copies_done_s=%.3f %s\n", double(run.elapsed()) / 1000, qPrintable(copied));
        if (!copied.contains(QStringLiteral("%1 通コピーしました").arg(rows)))
            return 1;
    }
    SendMailShutdown();
    return status.startsWith(QStringLiteral("送信完了：")) ? 0 : 1;
}
