// Sends N merged mails and reports the rate of the send loop, with the process's CPU time and
// peak memory. Used by run.sh against Postfix's smtp-sink.
//
//   sendmail_throughput --server TEXT [--count N] [--fresh | --session | --session-next] [--sample-size]
//
// By default through SendMail; --fresh opens a new SMTP session for every mail; --session sends
// through one MailSession, --session-next also hands it each following mail, so that its envelope
// goes out behind the previous mail's end of data. --sample-size prints the size of one message
// as it goes over the wire, and sends nothing.
#include "platform/mail/MailSession.h"
#include "platform/mail/SendMail.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>

#include <sys/resource.h>

namespace
{

const QString SubjectTemplate = QStringLiteral("【ご案内】<%氏名%>様 第<%回%>回 製品説明会のお知らせ");

// About 2 KB of Japanese text once merged.
QString bodyTemplate()
{
    QString body = QStringLiteral("<%会社%>\r\n<%氏名%> 様\r\n\r\n"
                                  "いつも格別のお引き立てを賜り、誠にありがとうございます。\r\n"
                                  "第<%回%>回 製品説明会を下記のとおり開催いたします。\r\n\r\n");
    const QString paragraph =
        QStringLiteral("新製品の特長と導入事例を担当者よりご説明いたします。"
                       "ご多忙中とは存じますが、ぜひご参加くださいますようお願い申し上げます。\r\n");
    while (body.toUtf8().size() < 1900)
        body += paragraph;
    return body + QStringLiteral("\r\n以上\r\n");
}

QString merge(QString text, int row)
{
    text.replace(QStringLiteral("<%氏名%>"), QStringLiteral("山田 太郎%1").arg(row));
    text.replace(QStringLiteral("<%会社%>"), QStringLiteral("株式会社サンプル%1").arg(row % 97));
    text.replace(QStringLiteral("<%回%>"), QString::number(row % 12 + 1));
    return text;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    QString server;
    int count = 2000;
    bool fresh = false, sampleSize = false, session = false, pipelineNext = false;
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == u"--server" && i + 1 < args.size())
            server = args[++i];
        else if (args[i] == u"--count" && i + 1 < args.size())
            count = args[++i].toInt();
        else if (args[i] == u"--fresh")
            fresh = true;
        else if (args[i] == u"--sample-size")
            sampleSize = true;
        else if (args[i] == u"--session")
            session = true;
        else if (args[i] == u"--session-next")
            session = pipelineNext = true;
    }
    const QString sender = QStringLiteral("株式会社ベルモラ商事 営業部 <sales@example.com>");
    const QString body = bodyTemplate();

    if (sampleSize) {
        QTemporaryDir dir;
        const QString error = SendMail(QStringLiteral("file://") + dir.path(),
                                       QStringLiteral(">Content-Type: text/plain;\t<user1@example.com>"),
                                       sender, merge(SubjectTemplate, 1), merge(body, 1), {});
        if (!error.isEmpty()) {
            std::fprintf(stderr, "%s\n", error.toUtf8().constData());
            return 1;
        }
        std::printf("%lld\n", static_cast<long long>(QFile(dir.filePath("000001.eml")).size()));
        return 0;
    }
    if (server.isEmpty()) {
        std::fprintf(stderr, "usage: sendmail_throughput --server TEXT [--count N] [--fresh | --session | "
                             "--session-next] [--sample-size]\n");
        return 64;
    }

    SendMailOptions options = sendMailOptions();
    options.reuseConnection = !fresh;
    setSendMailOptions(options);

    int failures = 0;
    const auto report = [&](int row, const QString &error) {
        if (!error.isEmpty() && ++failures <= 3)
            std::fprintf(stderr, "row %d: %s\n", row, error.toUtf8().constData());
    };
    const auto start = std::chrono::steady_clock::now();
    if (session) {
        Result<std::unique_ptr<MailSession>> opened = MailSession::open(mailTargetOf(server, sender, {}));
        if (!opened) {
            std::fprintf(stderr, "%s\n", opened.failure().description.toUtf8().constData());
            return 1;
        }
        MailSession &s = *opened.value();
        const auto content = [&](int row) {
            return MailContent{QStringLiteral("user%1@example.com").arg(row), merge(SubjectTemplate, row),
                               merge(body, row), false};
        };
        MailContent mail = content(1);
        for (int row = 1; row <= count; ++row) {
            if (pipelineNext && row < count) {
                MailContent next = content(row + 1);
                report(row, s.send(mail, &next).description);
                mail = std::move(next);
            } else {
                report(row, s.send(mail).description);
                if (row < count)
                    mail = content(row + 1);
            }
        }
        opened.value().reset();
    } else {
        for (int row = 1; row <= count; ++row) {
            const QString recipients =
                QStringLiteral(">Content-Type: text/plain;\t<user%1@example.com>").arg(row);
            report(row,
                   SendMail(server, recipients, sender, merge(SubjectTemplate, row), merge(body, row), {}));
        }
        SendMailShutdown();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                       (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf("messages=%d failures=%d seconds=%.3f rate=%.1f cpu=%.3f maxrss_kb=%ld\n", count, failures,
                seconds, count / seconds, cpu, usage.ru_maxrss);
    return failures == 0 ? 0 : 1;
}
