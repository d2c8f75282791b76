#include "MailTestSupport.h"
#include "TestEnvironment.h"

#include <QFile>

namespace
{

using Failures = MailServerTest;

// A failure must come back as text within the time-outs, and must not spoil the next call.
void expectRecovery(TestSmtpServer *server, const QString &context)
{
    const int before = server->messages();
    EXPECT_EQ(
        str(SendMail(server->hostPort(), recipientsFor("next@example.com"), Sender, "next", "next", {})), "")
        << "after: " << str(context);
    EXPECT_EQ(server->messages(), before + 1) << "after: " << str(context);
}

TEST_F(Failures, RejectedRecipientReportsTheServersReply)
{
    const QString reply = QStringLiteral(
        "550 5.1.1 <nobody@example.com>: Recipient address rejected: User unknown in local recipient table");
    server->rule("RCPT", "reply", reply, "nobody@");
    const QString result = send("nobody@example.com");
    EXPECT_TRUE(result.contains(reply)) << str(result);
    EXPECT_EQ(server->messages(), 0);
    expectRecovery(server, "rejected recipient");
}

TEST_F(Failures, ErrorRepliesAtEveryStageAreReported)
{
    struct Case {
        QString stage, reply;
    };
    const Case cases[] = {
        {"CONNECT", "554 5.3.2 test.invalid Service currently unavailable"},
        {"MAIL", "451 4.3.0 <info@example.com>: Temporary lookup failure"},
        {"MAIL", "553 5.7.1 <info@example.com>: Sender address rejected: not owned by user"},
        {"RCPT", "452 4.5.3 Error: too many recipients"},
        {"DATA", "554 5.5.1 Error: no valid recipients"},
        {"DATA_END", "552 5.3.4 Error: message file too big"},
        {"DATA_END", "451 4.3.0 Error: queue file write error"},
    };
    for (const Case &c : cases) {
        SendMailShutdown();
        server->reset();
        server->rule(c.stage, "reply", c.reply);
        const QString result = send("taro@example.com");
        EXPECT_TRUE(result.contains(c.reply)) << str(c.stage) << ": " << str(result);
        EXPECT_EQ(server->messages(), 0) << str(c.stage);
        expectRecovery(server, c.stage);
    }
}

TEST_F(Failures, ServerThatIsDownIsReportedAtOnce)
{
    QElapsedTimer clock;
    clock.start();
    const QString result = SendMail(QStringLiteral("127.0.0.1:%1").arg(freePort()),
                                    recipientsFor("a@example.com"), Sender, "s", "b", {});
    EXPECT_TRUE(result.contains(QStringLiteral("接続できません"))) << str(result);
    EXPECT_LT(clock.elapsed(), 5000);
    expectRecovery(server, "server down");
}

TEST_F(Failures, DroppedConnectionDuringDataIsAFailureAndNotRetried)
{
    // Dropped while the message is still arriving: nothing was accepted.
    ASSERT_EQ(str(send("first@example.com")), "");
    server->rule("DATA_BODY", "drop");
    QString result = send("taro@example.com");
    EXPECT_FALSE(result.isEmpty());
    EXPECT_EQ(server->messages(), 1);
    expectRecovery(server, "drop during DATA");

    // Dropped after the server took the whole message but before it answered: it may have been
    // delivered, so the library must neither claim success nor send it a second time.
    server->rule("DATA_END", "drop", {}, {}, 1, true);
    result = send("taro@example.com");
    EXPECT_TRUE(result.contains(QStringLiteral("届いている可能性"))) << str(result);
    EXPECT_EQ(server->messages(), 3) << "the message was sent twice or lost";
    expectRecovery(server, "drop after DATA");
}

TEST_F(Failures, SilentServerCostsNoMoreThanTheTimeOut)
{
    const QString stages[] = {"CONNECT", "MAIL", "RCPT", "DATA_END"};
    for (const QString &stage : stages) {
        SendMailShutdown();
        server->rule(stage, "stall");
        QElapsedTimer clock;
        clock.start();
        const QString result = send("taro@example.com");
        EXPECT_FALSE(result.isEmpty()) << str(stage);
        EXPECT_LT(clock.elapsed(), 8000) << str(stage) << " took too long";
        expectRecovery(server, stage);
    }
}

TEST_F(Failures, ServerThatStopsReadingDuringDataIsGivenUp)
{
    ScratchDir dir;
    const QString big = dir.write("big.bin", QByteArray(6 * 1024 * 1024, 'x'));
    ASSERT_EQ(str(send("first@example.com")), "");
    server->rule("DATA_BODY", "stall");
    QElapsedTimer clock;
    clock.start();
    const QString result = send("taro@example.com", "big", "big", big);
    EXPECT_TRUE(result.contains(QStringLiteral("応答しません"))) << str(result);
    EXPECT_FALSE(result.contains(QStringLiteral("届いている可能性"))) << str(result);
    EXPECT_LT(clock.elapsed(), 10000);
    EXPECT_EQ(server->messages(), 1);
    expectRecovery(server, "stalled DATA");
}

} // namespace
