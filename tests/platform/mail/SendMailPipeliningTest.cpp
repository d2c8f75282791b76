#include "MailTestSupport.h"

namespace
{

using Pipelining = MailServerTest;

// A refusal anywhere before the message leaves the session in step: the first refusal is reported
// (not the errors that follow it from the commands sent with it), the transaction is reset, and
// the next mail goes through the same connection with its own envelope.
TEST_F(Pipelining, RefusalBeforeTheMessageIsResetAndTheSessionGoesOn)
{
    struct Case {
        QString stage, reply;
    };
    const Case cases[] = {
        {"MAIL", "553 5.7.1 <info@example.com>: Sender address rejected: not owned by user"},
        {"RCPT", "550 5.1.1 <nobody@example.com>: Recipient address rejected: User unknown"},
        {"DATA", "554 5.5.1 Error: no valid recipients"},
    };
    ASSERT_EQ(str(send("first@example.com")), "");
    int messages = 1, resets = 0;
    for (const Case &c : cases) {
        server->rule(c.stage, "reply", c.reply);
        const QString result = send("nobody@example.com");
        EXPECT_TRUE(result.contains(c.reply)) << str(c.stage) << ": " << str(result);
        EXPECT_FALSE(result.contains("503")) << str(c.stage) << ": " << str(result);
        EXPECT_EQ(server->stats().value("resets").toInt(), ++resets) << str(c.stage);

        ASSERT_EQ(str(send("next@example.com")), "") << "after " << str(c.stage);
        ASSERT_EQ(server->messages(), ++messages);
        const QJsonObject envelope = server->envelope(messages);
        EXPECT_EQ(str(envelope.value("mail_from").toString()), "info@example.com");
        EXPECT_EQ(envelope.value("rcpt_tos").toArray(), QJsonArray{"next@example.com"}) << str(c.stage);
    }
    EXPECT_EQ(server->connections(), 1);
    EXPECT_GT(server->stats().value("early").toInt(), 0) << "commands were not pipelined";
}

TEST_F(Pipelining, MultiLineRefusalIsReportedWhole)
{
    server->rule("RCPT", "reply", "550-5.1.1 first line\r\n550 5.1.1 second line");
    const QString result = send("nobody@example.com");
    EXPECT_TRUE(result.contains("550 5.1.1 first line 5.1.1 second line")) << str(result);
    ASSERT_EQ(str(send("next@example.com")), "");
    EXPECT_EQ(server->connections(), 1);
}

// Lines of the message that begin with "." must arrive unchanged, and the end marker must not
// take any of them for the end of the message.
TEST_F(Pipelining, LinesBeginningWithADotArriveUnchanged)
{
    const QString body = QStringLiteral(".\r\n..\r\n.leading dot\r\nmiddle . and end .\r\n\r\n.\r\n"
                                        "QUIT\r\n.\r\n");
    ASSERT_EQ(str(send("taro@example.com", "dots", body)), "");
    ASSERT_EQ(str(send("hanako@example.com", "after", "plain")), "");
    ASSERT_EQ(server->messages(), 2);

    const QByteArray raw = server->rawMessage(1);
    EXPECT_TRUE(raw.contains("\r\n\r\n.\r\n..\r\n.leading dot\r\n")) << raw.toStdString();
    EXPECT_TRUE(raw.endsWith("\r\n.\r\nQUIT\r\n.\r\n")) << raw.toStdString();
    const QJsonObject d = decodeMessage(server->messagePath(1));
    EXPECT_EQ(str(d.value("parts").toArray().at(0).toObject().value("text").toString()), str(body));
    EXPECT_EQ(str(decodeMessage(server->messagePath(2)).value("subject").toString()), "after");
    EXPECT_EQ(server->connections(), 1);
    EXPECT_EQ(server->stats().value("quits").toInt(), 0);
}

TEST_F(Pipelining, InternationalDomainsGoInTheEnvelopeInAceForm)
{
    ASSERT_EQ(str(SendMail(server->hostPort(), recipientsFor(QStringLiteral("taro@例え.テスト")),
                           QStringLiteral("情報 <info@ベルモラ.jp>"), "idn", "b", {})),
              "");
    ASSERT_EQ(server->messages(), 1);
    const QJsonObject envelope = server->envelope(1);
    EXPECT_EQ(str(envelope.value("mail_from").toString()), "info@xn--wdksvg.jp");
    EXPECT_EQ(envelope.value("rcpt_tos").toArray(), QJsonArray{"taro@xn--r8jz45g.xn--zckzah"});
}

// A server that does not offer PIPELINING gets one command at a time.
TEST(WithoutPipelining, CommandsWaitForTheirRepliesAndRefusalsAreReset)
{
    TestSmtpServer server({"--no-pipelining"});
    ASSERT_TRUE(server.running());
    SendMailShutdown();
    setSendMailOptions(quickOptions());
    auto sendTo = [&](const QString &to) {
        return SendMail(server.hostPort(), recipientsFor(to), Sender, "s", QStringLiteral(".\r\n本文"), {});
    };
    ASSERT_EQ(str(sendTo("a@example.com")), "");
    server.rule("RCPT", "reply", "550 5.1.1 User unknown", "nobody@");
    const QString result = sendTo("nobody@example.com");
    EXPECT_TRUE(result.contains("550 5.1.1 User unknown")) << str(result);
    ASSERT_EQ(str(sendTo("b@example.com")), "");
    server.rule("MAIL", "drop");
    ASSERT_EQ(str(sendTo("c@example.com")), "") << "kept session not retried";
    SendMailShutdown();

    const QJsonObject stats = server.stats();
    EXPECT_EQ(stats.value("messages").toInt(), 3);
    EXPECT_EQ(stats.value("connections").toInt(), 2);
    EXPECT_EQ(stats.value("resets").toInt(), 1);
    EXPECT_EQ(stats.value("quits").toInt(), 1);
    EXPECT_EQ(stats.value("early").toInt(), 0) << "a command was sent before the previous reply";
    EXPECT_EQ(server.envelope(2).value("rcpt_tos").toArray(), QJsonArray{"b@example.com"});
}

} // namespace
