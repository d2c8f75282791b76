#include "MailTestSupport.h"
#include "TestEnvironment.h"

#include <QDir>
#include <QFileInfo>

#include <atomic>

namespace
{

using Sessions = MailServerTest;

std::atomic<qint64> fakeNow{1'000'000};

qint64 fakeClock()
{
    return fakeNow;
}

TEST_F(Sessions, IdleSessionIsEndedAndANewOneOpened)
{
    SendMailOptions o = quickOptions();
    o.clock = &fakeClock;
    setSendMailOptions(o);
    ASSERT_EQ(str(send("a@example.com")), "");
    fakeNow += (o.idleLimitSeconds - 1) * 1000;
    ASSERT_EQ(str(send("b@example.com")), "");
    EXPECT_EQ(server->connections(), 1) << "a short pause must keep the session";

    fakeNow += o.idleLimitSeconds * 1000;
    ASSERT_EQ(str(send("c@example.com")), "");
    EXPECT_EQ(server->connections(), 2);
    EXPECT_EQ(server->stats().value("quits").toInt(), 1) << "the idle session was not ended with QUIT";
    EXPECT_EQ(server->messages(), 3);
}

TEST_F(Sessions, KeptSessionThatStopsAnsweringBeforeTheMailIsRetriedOnce)
{
    for (const QString stage : {"MAIL", "RCPT", "DATA"}) {
        SendMailShutdown();
        server->reset();
        ASSERT_EQ(str(send("a@example.com")), "");
        server->rule(stage, "stall");
        EXPECT_EQ(str(send("b@example.com")), "") << str(stage);
        EXPECT_EQ(server->connections(), 2) << str(stage);
        EXPECT_EQ(server->messages(), 2) << str(stage);
        EXPECT_EQ(server->envelope(2).value("rcpt_tos").toArray(), QJsonArray{"b@example.com"});
    }
}

TEST_F(Sessions, NoRetryOnceTheMailMayHaveArrived)
{
    for (const QString stage : {"DATA_BODY", "DATA_END"}) {
        SendMailShutdown();
        server->reset();
        ASSERT_EQ(str(send("a@example.com")), "");
        server->rule(stage, "stall", {}, {}, 1, stage == u"DATA_END");
        EXPECT_NE(str(send("b@example.com")), "") << str(stage);
        EXPECT_EQ(server->connections(), 1) << str(stage) << ": the mail was sent again";
        EXPECT_EQ(server->messages(), stage == u"DATA_END" ? 2 : 1);
    }
}

TEST_F(Sessions, QuitDoesNotWaitTheReplyTimeOut)
{
    SendMailOptions o = quickOptions();
    o.responseTimeoutSeconds = 30;
    o.quitTimeoutMilliseconds = 200;
    setSendMailOptions(o);
    ASSERT_EQ(str(send("a@example.com")), "");
    server->rule("QUIT", "stall");
    QElapsedTimer clock;
    clock.start();
    SendMailShutdown();
    EXPECT_LT(clock.elapsed(), 15000) << "QUIT waited the reply time-out";
    EXPECT_EQ(server->stats().value("quits").toInt(), 1);
}

TEST_F(Sessions, AttachmentFilesAreClosedWhenSendMailReturns)
{
    ScratchDir dir;
    const QString a = dir.write("a.pdf", "%PDF-1.4");
    const QString b = dir.write("b.txt", "text");
    const auto openFiles = [&] {
        int n = 0;
        for (const QFileInfo &fd : QDir("/proc/self/fd").entryInfoList(QDir::System | QDir::Files))
            if (fd.symLinkTarget().startsWith(QFileInfo(dir.root()).canonicalFilePath()))
                ++n;
        return n;
    };
    ASSERT_EQ(str(send("a@example.com", "s", "b", a + u'\t' + b)), "");
    EXPECT_EQ(openFiles(), 0);
    EXPECT_NE(str(send("a@example.com", "s", "b", a + u'\t' + dir.path("missing"))), "");
    EXPECT_EQ(openFiles(), 0);
}

// The session keeps attachments read and encoded; a file written again between two calls is read again.
TEST_F(Sessions, AttachmentChangedBetweenCallsIsSentAsItIsNow)
{
    ScratchDir dir;
    const QString file = dir.write("price.txt", "version 1");
    ASSERT_EQ(str(send("a@example.com", "s", "b", file)), "");
    dir.write("price.txt", "version 2, longer");
    ASSERT_EQ(str(send("b@example.com", "s", "b", file)), "");
    EXPECT_TRUE(server->rawMessage(1).contains(QByteArray("version 1").toBase64()));
    EXPECT_TRUE(server->rawMessage(2).contains(QByteArray("version 2, longer").toBase64()));
    EXPECT_EQ(server->connections(), 1);
}

TEST(SessionsWithoutSmtpUtf8, NonAsciiLocalPartIsRefusedBeforeTheMail)
{
    TestSmtpServer plain({"--no-smtputf8"});
    ASSERT_TRUE(plain.running());
    SendMailShutdown();
    setSendMailOptions(quickOptions());
    const QString result =
        SendMail(plain.hostPort(), recipientsFor(QStringLiteral("たろう@example.jp")), Sender, "s", "b", {});
    EXPECT_TRUE(result.contains("SMTPUTF8")) << str(result);
    EXPECT_EQ(plain.messages(), 0);
    EXPECT_EQ(str(SendMail(plain.hostPort(), recipientsFor("taro@例え.jp"), Sender, "s", "b", {})), "");
    EXPECT_EQ(plain.envelope(1).value("rcpt_tos").toArray(), QJsonArray{"taro@xn--r8jz45g.jp"});
    SendMailShutdown();
}

TEST_F(Sessions, NonAsciiLocalPartGoesThroughAServerThatOffersSmtpUtf8)
{
    ASSERT_EQ(str(send(QStringLiteral("たろう@例え.jp"))), "");
    const QJsonObject envelope = server->envelope(1);
    EXPECT_EQ(envelope.value("rcpt_tos").toArray(), QJsonArray{QStringLiteral("たろう@xn--r8jz45g.jp")});
    EXPECT_TRUE(envelope.value("mail_options").toArray().contains("SMTPUTF8"));
}

} // namespace
