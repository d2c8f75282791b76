#include "MailTestSupport.h"
#include "TestEnvironment.h"

#include <QFile>
#include <QJsonDocument>
#include <QSet>

#include <thread>
#include <vector>

namespace
{

using Delivery = MailServerTest;

QString partText(const QJsonObject &decoded, int part)
{
    return decoded.value("parts").toArray().at(part).toObject().value("text").toString();
}

QByteArray partBytes(const QJsonObject &decoded, int part)
{
    return QByteArray::fromBase64(
        decoded.value("parts").toArray().at(part).toObject().value("data_base64").toString().toLatin1());
}

void expectWellFormed(const QJsonObject &d)
{
    EXPECT_TRUE(d.value("defects").toArray().isEmpty())
        << QJsonDocument(d.value("defects").toArray()).toJson().toStdString();
    EXPECT_TRUE(d.value("seven_bit").toBool());
    EXPECT_TRUE(d.value("crlf_only").toBool());
    EXPECT_LE(d.value("longest_line").toInt(), 998);
}

TEST_F(Delivery, JapaneseMessageArrivesAsWritten)
{
    const QString subject = QStringLiteral("【ご案内】第２回 説明会のお知らせ（山田 太郎 様）");
    const QString body = QStringLiteral("山田 太郎 様\r\n\r\nいつもお世話になっております。\r\n.\r\n"
                                        "..点で始まる行\r\nFrom: 本文中の見出し\r\n\r\n以上");
    ASSERT_EQ(str(SendMail(server->hostPort(), recipientsFor("taro@example.com"), Sender, subject, body, {})),
              "");

    ASSERT_EQ(server->messages(), 1);
    const QJsonObject envelope = server->envelope(1);
    EXPECT_EQ(str(envelope.value("mail_from").toString()), "info@example.com");
    EXPECT_EQ(envelope.value("rcpt_tos").toArray(), QJsonArray{"taro@example.com"});

    const QJsonObject d = decodeMessage(server->messagePath(1));
    expectWellFormed(d);
    const QJsonObject from = d.value("from").toArray().at(0).toObject();
    EXPECT_EQ(str(from.value("name").toString()), "株式会社ベルモラ商事");
    EXPECT_EQ(str(from.value("address").toString()), "info@example.com");
    EXPECT_EQ(str(d.value("to").toString()), "taro@example.com");
    EXPECT_EQ(str(d.value("subject").toString()), str(subject));
    EXPECT_EQ(str(d.value("content_type").toString()), "text/plain");
    EXPECT_EQ(str(d.value("parts").toArray().at(0).toObject().value("charset").toString()), "utf-8");
    EXPECT_EQ(str(partText(d, 0)), str(body));
    EXPECT_EQ(headerValues(d, "MIME-Version"), QStringList{"1.0"});
    EXPECT_EQ(headerValues(d, "Date").size(), 1);
    EXPECT_EQ(headerValues(d, "Message-ID").size(), 1);
    EXPECT_TRUE(server->rawMessage(1).contains("Subject: =?UTF-8?")) << "subject not RFC 2047 UTF-8";
}

TEST_F(Delivery, AwkwardBodiesSurviveTheTransferEncoding)
{
    const QString longLine = QString(1500, u'a') + QStringLiteral("   ");
    const QString bodies[] = {
        longLine + QStringLiteral("\r\nshort line with trailing space \r\n"),   // too long for 7bit
        QStringLiteral("Grüße aus Köln, café\r\n=?utf-8?q?not-a-header?=\r\n"), // mostly ASCII
        QStringLiteral("ctrl \x01 and NUL ") + QChar(0) + QStringLiteral(" inside\r\n"),
    };
    int n = 0;
    for (const QString &body : bodies) {
        ASSERT_EQ(str(send("taro@example.com", QStringLiteral("件名"), body)), "");
        const QJsonObject d = decodeMessage(server->messagePath(++n));
        expectWellFormed(d);
        EXPECT_EQ(str(partText(d, 0)), str(body));
    }

    // Line breaks of any platform arrive as CR LF.
    ASSERT_EQ(
        str(send("taro@example.com", QStringLiteral("件名"), QStringLiteral("一行目\n二行目\r三行目\r\n"))),
        "");
    const QJsonObject d = decodeMessage(server->messagePath(++n));
    expectWellFormed(d);
    EXPECT_EQ(str(partText(d, 0)), "一行目\r\n二行目\r\n三行目\r\n");
}

TEST_F(Delivery, HtmlHeaderElementSendsAnHtmlBody)
{
    const QString body = QStringLiteral("<html><body><p>こんにちは、<b>山田</b>様</p></body></html>\r\n");
    ASSERT_EQ(
        str(SendMail(server->hostPort(), recipientsFor("taro@example.com", true), Sender, "HTML", body, {})),
        "");
    const QJsonObject d = decodeMessage(server->messagePath(1));
    expectWellFormed(d);
    // with a text version for readers of plain text
    EXPECT_EQ(str(d.value("content_type").toString()), "multipart/alternative");
    EXPECT_EQ(str(d.value("parts").toArray().at(1).toObject().value("content_type").toString()), "text/html");
    EXPECT_EQ(str(d.value("parts").toArray().at(1).toObject().value("charset").toString()), "utf-8");
    EXPECT_EQ(str(partText(d, 0)), "こんにちは、山田様");
    EXPECT_EQ(str(partText(d, 1)), str(body));
}

TEST_F(Delivery, AttachmentsArriveByteForByteWithTheirNamesAndTypes)
{
    ScratchDir dir;
    QByteArray binary;
    for (int i = 0; i < 5000; ++i)
        binary += char(i * 7 % 256);
    const QString pdf = dir.write(QStringLiteral("請求書 2024年度.pdf"), binary);
    const QString text = dir.write(QStringLiteral("readme.txt"), "line 1\nline 2\r\n.\nno newline");
    const QString unknown = dir.write(QStringLiteral("data.zzqx"), QByteArray("\0\1\2\3", 4));

    ASSERT_EQ(str(send("taro@example.com", QStringLiteral("添付"), QStringLiteral("添付を送ります。\r\n"),
                       pdf + u'\t' + text + u'\t' + unknown)),
              "");
    const QJsonObject d = decodeMessage(server->messagePath(1));
    expectWellFormed(d);
    EXPECT_EQ(str(d.value("content_type").toString()), "multipart/mixed");
    const QJsonArray parts = d.value("parts").toArray();
    ASSERT_EQ(parts.size(), 4);
    EXPECT_EQ(str(parts.at(0).toObject().value("content_type").toString()), "text/plain");
    EXPECT_EQ(str(partText(d, 0)), "添付を送ります。\r\n");

    struct Expected {
        QString name, type;
        QByteArray bytes;
    };
    const Expected expected[] = {
        {QStringLiteral("請求書 2024年度.pdf"), "application/pdf", binary},
        {"readme.txt", "text/plain", "line 1\nline 2\r\n.\nno newline"},
        {"data.zzqx", "application/octet-stream", QByteArray("\0\1\2\3", 4)},
    };
    for (int i = 0; i < 3; ++i) {
        const QJsonObject part = parts.at(i + 1).toObject();
        EXPECT_EQ(str(part.value("filename").toString()), str(expected[i].name));
        EXPECT_EQ(str(part.value("disposition").toString()), "attachment");
        EXPECT_EQ(str(part.value("content_type").toString()), str(expected[i].type));
        EXPECT_EQ(partBytes(d, i + 1), expected[i].bytes) << str(expected[i].name);
    }
    EXPECT_TRUE(server->rawMessage(1).contains("filename*=UTF-8''")) << "file name not RFC 2231 encoded";
}

TEST_F(Delivery, NothingCarriesOverFromThePreviousMessage)
{
    ScratchDir dir;
    const QString file = dir.write("a.pdf", "%PDF");
    ASSERT_EQ(str(SendMail(server->hostPort(), recipientsFor("taro@example.com", true), Sender,
                           QStringLiteral("一通目"), QStringLiteral("<p>本文</p>"), file)),
              "");
    ASSERT_EQ(str(SendMail(server->hostPort(), recipientsFor("hanako@example.org"),
                           "Other <other@example.org>", "second", "plain\r\n", {})),
              "");
    const QJsonObject d = decodeMessage(server->messagePath(2));
    expectWellFormed(d);
    EXPECT_EQ(str(d.value("content_type").toString()), "text/plain");
    EXPECT_EQ(d.value("parts").toArray().size(), 1);
    EXPECT_EQ(str(d.value("to").toString()), "hanako@example.org");
    EXPECT_EQ(str(d.value("subject").toString()), "second");
    EXPECT_EQ(str(d.value("from").toArray().at(0).toObject().value("address").toString()),
              "other@example.org");
    EXPECT_EQ(str(partText(d, 0)), "plain\r\n");
    EXPECT_EQ(headerValues(d, "From").size(), 1);
    EXPECT_EQ(headerValues(d, "To").size(), 1);
}

TEST_F(Delivery, MissingAttachmentSendsNothing)
{
    ScratchDir dir;
    const QString result = send("taro@example.com", "x", "y", dir.path("gone.pdf"));
    EXPECT_TRUE(result.contains("gone.pdf")) << str(result);
    EXPECT_EQ(server->connections(), 0);
}

TEST_F(Delivery, ConsecutiveCallsShareOneSession)
{
    QSet<QString> ids;
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(str(send(QStringLiteral("user%1@example.com").arg(i), QStringLiteral("第%1号").arg(i))),
                  "");
    EXPECT_EQ(server->connections(), 1);
    ASSERT_EQ(server->messages(), 5);
    for (int i = 1; i <= 5; ++i) {
        EXPECT_EQ(server->envelope(i).value("rcpt_tos").toArray(),
                  QJsonArray{QStringLiteral("user%1@example.com").arg(i - 1)});
        ids += headerValues(decodeMessage(server->messagePath(i)), "Message-ID").value(0);
    }
    EXPECT_EQ(ids.size(), 5) << "Message-IDs repeat";

    // Another server text means another session; the old one is ended with QUIT.
    ASSERT_EQ(str(SendMail(QStringLiteral("localhost:%1").arg(server->port()), recipientsFor("a@example.com"),
                           Sender, "s", "b", {})),
              "");
    EXPECT_EQ(server->connections(), 2);
    EXPECT_EQ(server->stats().value("quits").toInt(), 1);
    SendMailShutdown();
    EXPECT_EQ(server->stats().value("quits").toInt(), 2);
}

TEST_F(Delivery, SessionClosedByTheServerIsReopened)
{
    ASSERT_EQ(str(send("a@example.com")), "");
    server->closeConnections(); // as a server does after its idle time-out
    ASSERT_EQ(str(send("b@example.com")), "");
    EXPECT_EQ(server->connections(), 2);
    EXPECT_EQ(server->messages(), 2);
}

TEST_F(Delivery, KeptSessionThatFailsBeforeDataIsRetriedOnceOnANewConnection)
{
    struct Case {
        QString stage, action, reply;
    };
    const Case cases[] = {
        {"MAIL", "drop", ""},
        {"MAIL", "reply_close", "421 4.4.2 test.invalid Error: timeout exceeded"},
        {"RCPT", "drop", ""},
    };
    int connections = 0, messages = 0;
    for (const Case &c : cases) {
        SendMailShutdown();
        ASSERT_EQ(str(send("a@example.com")), "");
        server->rule(c.stage, c.action, c.reply);
        EXPECT_EQ(str(send("b@example.com")), "") << str(c.stage + u' ' + c.action);
        connections += 2;
        messages += 2;
        EXPECT_EQ(server->connections(), connections);
        EXPECT_EQ(server->messages(), messages) << "lost or duplicated mail";
    }

    // On a connection just opened the same failure is reported, not retried.
    SendMailShutdown();
    server->rule("MAIL", "drop");
    EXPECT_NE(str(send("c@example.com")), "");
    EXPECT_EQ(server->connections(), connections + 1);
    EXPECT_EQ(server->messages(), messages);
}

TEST_F(Delivery, WithoutReuseEveryMailHasItsOwnSession)
{
    SendMailOptions o = quickOptions();
    o.reuseConnection = false;
    setSendMailOptions(o);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(str(send("a@example.com")), "");
    EXPECT_EQ(server->connections(), 3);
    EXPECT_EQ(server->stats().value("quits").toInt(), 3);
    EXPECT_EQ(server->messages(), 3);
}

TEST_F(Delivery, WorkerThreadsSendThroughTheSharedSession)
{
    constexpr int Threads = 3, PerThread = 6;
    std::vector<QString> results(Threads * PerThread);
    std::vector<std::thread> workers;
    for (int t = 0; t < Threads; ++t)
        workers.emplace_back([&, t] {
            for (int i = 0; i < PerThread; ++i)
                results[t * PerThread + i] =
                    SendMail(server->hostPort(), recipientsFor(QStringLiteral("t%1@example.com").arg(t)),
                             Sender, QStringLiteral("%1-%2").arg(t).arg(i), QStringLiteral("本文"), {});
        });
    for (std::thread &w : workers)
        w.join();
    for (const QString &r : results)
        EXPECT_EQ(str(r), "");
    ASSERT_EQ(server->messages(), Threads * PerThread);
    EXPECT_EQ(server->connections(), 1);
    QSet<QByteArray> subjects;
    for (int i = 1; i <= Threads * PerThread; ++i) {
        const QByteArray raw = server->rawMessage(i);
        const qsizetype at = raw.indexOf("\r\nSubject: ");
        subjects += raw.mid(at, raw.indexOf("\r\n", at + 2) - at);
    }
    EXPECT_EQ(subjects.size(), Threads * PerThread);
}

} // namespace
