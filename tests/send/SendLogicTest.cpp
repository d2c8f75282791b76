#include "ManualClock.h"
#include "TestEnvironment.h"
#include "TestSmtpServer.h"
#include "platform/mail/MailSession.h"
#include "platform/mail/SendMail.h"
#include "send/SendChecks.h"
#include "send/SendOptions.h"
#include "send/SendTimer.h"

#include <QCoreApplication>
#include <QFile>

#include <gtest/gtest.h>

using Icon = UserDialogs::Icon;

namespace
{

std::string str(const QString &s)
{
    return s.toStdString();
}

bool existsIn(const QString &path)
{
    return QFile::exists(path) && !path.isEmpty();
}

SendInputs goodInputs()
{
    return {true,
            QStringLiteral("mail.example.jp"),
            QStringLiteral("見本 <a@example.jp>"),
            QStringLiteral("件名"),
            QStringLiteral("本文"),
            QString(),
            false};
}

TEST(SendChecks, RefusalsComeInTheirOrderAndOnlyTheAttachmentBoxIsEmptied)
{
    SendInputs in = goodInputs();
    in.haveAddresses = false;
    in.server.clear();
    SendCheck c = checkSendInputs(in, &existsIn);
    ASSERT_TRUE(c.refusal);
    EXPECT_EQ(c.refusal->text,
              QStringLiteral("宛先読込ボタンをクリックして、メールアドレスを読み込んでください。"));
    EXPECT_EQ(int(c.refusal->icon), int(Icon::Warning));

    in.haveAddresses = true;
    c = checkSendInputs(in, &existsIn);
    ASSERT_TRUE(c.refusal);
    EXPECT_TRUE(c.refusal->text.startsWith(QStringLiteral("メールサーバーを指定してください。例）")));
    EXPECT_FALSE(c.clearAttachments);

    in.server = QStringLiteral("   "); // passes as typed; the run sends to the empty name
    in.sender.clear();
    c = checkSendInputs(in, &existsIn);
    ASSERT_TRUE(c.refusal);
    EXPECT_TRUE(c.refusal->text.startsWith(QStringLiteral("送信者を指定してください。例）")));
}

TEST(SendChecks, AttachmentsAreTestedPieceByPieceUntrimmed)
{
    ScratchDir dir;
    const QString a = dir.write("a.txt", "a"), b = dir.write("b.pdf", "b");
    SendInputs in = goodInputs();

    in.attachments = QStringLiteral("   ");
    SendCheck c = checkSendInputs(in, &existsIn);
    EXPECT_FALSE(c.refusal);
    EXPECT_EQ(c.attachmentList, QString());

    in.attachments = a + u',' + b;
    c = checkSendInputs(in, &existsIn);
    EXPECT_FALSE(c.refusal);
    EXPECT_EQ(c.attachmentList, a + u'\t' + b);

    for (const QString &bad : {a + u',', a + QStringLiteral(", ") + b, a + u',' + dir.path("missing.txt")}) {
        in.attachments = bad;
        c = checkSendInputs(in, &existsIn);
        ASSERT_TRUE(c.refusal) << str(bad);
        EXPECT_EQ(c.refusal->text, QStringLiteral("指定した添付ファイルが正しくありません"));
        EXPECT_EQ(int(c.refusal->icon), int(Icon::Critical));
        EXPECT_TRUE(c.clearAttachments);
    }
}

TEST(SendChecks, AddressElementWrapsOnlyWhatIsNotWrapped)
{
    EXPECT_EQ(addressElement(QStringLiteral("a@b.jp")), QStringLiteral("<a@b.jp>"));
    EXPECT_EQ(addressElement(QStringLiteral("<a@b.jp>")), QStringLiteral("<a@b.jp>"));
    EXPECT_EQ(addressElement(QString()), QStringLiteral("<>"));
    EXPECT_EQ(addressElement(QStringLiteral("<>")), QStringLiteral("<>"));
    EXPECT_EQ(addressElement(QStringLiteral("<a@b.jp")), QStringLiteral("<<a@b.jp>"));
}

// The run acts on the kind of each outcome, never on its text: these real failures go through the
// library and a real server, so a change that would change the run's behaviour shows here.
TEST(MailOutcomeKinds, RealFailuresOfTheLibraryComeWithTheKindTheRunActsOn)
{
    SendMailOptions o;
    o.connectTimeoutSeconds = 1;
    o.responseTimeoutSeconds = 1;
    setSendMailOptions(o);
    TestSmtpServer server;
    ASSERT_TRUE(server.running());
    const QString sender = QStringLiteral("見本 <a@example.jp>");
    using Kind = MailOutcome::Kind;
    auto kindOf = [&](const QString &host, const QString &to, const QString &subject) {
        Result<std::unique_ptr<MailSession>> session = MailSession::open(mailTargetOf(host, sender, {}));
        if (!session)
            return Kind::Unreachable;
        const MailOutcome outcome = session.value()->send({to, subject, QStringLiteral("本文"), false});
        EXPECT_FALSE(outcome.description.isEmpty() && !outcome.accepted()) << str(to);
        return outcome.kind;
    };
    const QString host = server.hostPort();

    server.rule("RCPT", "reply", "550 5.1.1 <x@example.jp>: Recipient address rejected: User unknown", "x@",
                -1);
    EXPECT_EQ(kindOf(host, "<x@example.jp>", "s"), Kind::Refused);
    EXPECT_EQ(kindOf(host, "<>", "s"), Kind::Refused);
    EXPECT_EQ(kindOf(host, "<y@example.jp>", "一行目\r\n二行目"), Kind::Refused);
    server.reset();
    server.rule("DATA_END", "reply", "554 5.7.1 Message rejected as spam");
    EXPECT_EQ(kindOf(host, "<y@example.jp>", "s"), Kind::Refused);

    server.reset();
    server.rule("RCPT", "reply", "421 4.3.2 Service shutting down");
    EXPECT_EQ(kindOf(host, "<y@example.jp>", "s"), Kind::Temporary);
    server.reset();
    server.rule("MAIL", "reply", "553 5.7.1 Sender address rejected");
    EXPECT_EQ(kindOf(host, "<y@example.jp>", "s"), Kind::QuotaOrPolicy);
    server.reset();
    server.rule("DATA_BODY", "drop"); // cut after the whole mail went out: no final reply
    EXPECT_EQ(kindOf(host, "<y@example.jp>", "s"), Kind::MayHaveArrived);
    EXPECT_EQ(kindOf(QStringLiteral("127.0.0.1:%1").arg(freePort()), "<y@example.jp>", "s"),
              Kind::Unreachable);
    // Neither an acceptance nor a refusal after the end of data: the mail may have been taken, and
    // the session, out of step, is not used again.
    server.reset();
    server.rule("DATA_END", "reply", "354 End data with <CR><LF>.<CR><LF>");
    {
        std::unique_ptr<MailSession> session =
            std::move(MailSession::open(mailTargetOf(host, sender, {})).value());
        EXPECT_EQ(session->send({"<y@example.jp>", "s", QStringLiteral("本文"), false}).kind,
                  Kind::MayHaveArrived);
        EXPECT_TRUE(session->send({"<z@example.jp>", "s", QStringLiteral("本文"), false}).accepted());
        EXPECT_EQ(server.connections(), 2);
    }
    server.reset();
    EXPECT_EQ(kindOf(host, "<y@example.jp>", "s"), Kind::Accepted);
    EXPECT_FALSE(MailSession::open(mailTargetOf(host, QStringLiteral("見本"), {})).ok());
    EXPECT_FALSE(MailSession::open(mailTargetOf(QString(), sender, {})).ok());
}

TEST(SendOptionsChecks, WholeNumbersRoundHalvesToEvenAndRangesHold)
{
    EXPECT_EQ(checkedInterval(QStringLiteral("2.5")), 2);
    EXPECT_EQ(checkedInterval(QStringLiteral("3.5")), 4);
    EXPECT_EQ(checkedInterval(QStringLiteral(" 60 ")), 60);
    EXPECT_EQ(checkedInterval(QStringLiteral("60.5")), 60); // rounds to the even 60
    EXPECT_EQ(checkedInterval(QStringLiteral("-0.4")), 0);
    for (const char *bad : {"61", "60.6", "-1", "abc", "", "１０", "1,000", "10秒", "nan", "inf", "1e9"})
        EXPECT_FALSE(checkedInterval(QString::fromUtf8(bad))) << bad;
    EXPECT_EQ(checkedHours(QStringLiteral("24")), 24);
    EXPECT_EQ(checkedHours(QStringLiteral("1.5")), 2);
    for (const char *bad : {"0", "0.5", "25", "24.6", "x"})
        EXPECT_FALSE(checkedHours(QString::fromUtf8(bad))) << bad;
}

class SendTimerTest : public ::testing::Test
{
  protected:
    // 2026-12-08 10:00:50 local time.
    ManualClock clock{QDateTime(QDate(2026, 12, 8), QTime(10, 0, 50))};
    qint16 timerFlag = 0;
    int doneCalls = 0;
    bool dueResult = false;
    std::unique_ptr<SendTimer> make(int hours)
    {
        return std::make_unique<SendTimer>(
            hours, [this] { return timerFlag; }, [this](qint16 flag) { timerFlag = flag; }, clock,
            [this](bool due) {
                ++doneCalls;
                dueResult = due;
            });
    }
    static void settle() { QCoreApplication::processEvents(); }
};

TEST_F(SendTimerTest, StartsAtTheMinuteInWhichTheScheduledTimeFalls)
{
    auto timer = make(1);
    timer->start();
    EXPECT_EQ(timerFlag, -1);
    EXPECT_EQ(timer->scheduledText(), QStringLiteral("開始予定時刻：2026/12/08 11:00:50"));
    settle();
    clock.advance((59 * 60 + 9) * 1000 + 999); // 10:59:59.999
    EXPECT_EQ(doneCalls, 0);
    clock.advance(1); // 11:00:00
    EXPECT_EQ(doneCalls, 1);
    EXPECT_TRUE(dueResult);
    // The wall clock is read again at least once a minute.
    EXPECT_LE(clock.longestAlarm, 60 * 1000);
}

TEST_F(SendTimerTest, ClockChangesAndSuspendMoveTheStartByAtMostAMinute)
{
    auto timer = make(3);
    timer->start();
    settle();
    clock.advance(30 * 1000);
    // The machine sleeps for five hours: the monotonic clock stood still, the wall clock did not.
    clock.jumpWallClock(5 * 3600 * 1000);
    EXPECT_EQ(doneCalls, 0);
    clock.advance(60 * 1000);
    EXPECT_EQ(doneCalls, 1);
    EXPECT_TRUE(dueResult);

    // The clock set back an hour: the start follows the wall clock, not an hour early.
    auto later = make(1);
    later->start();
    settle();
    clock.jumpWallClock(-3600 * 1000);
    clock.advance(3600 * 1000);
    EXPECT_EQ(doneCalls, 1);
    clock.advance(3600 * 1000);
    EXPECT_EQ(doneCalls, 2);
}

TEST_F(SendTimerTest, StopEndsTheWaitWithoutTheRunAndZeroHoursStartsAtOnce)
{
    auto timer = make(2);
    timer->start();
    settle();
    clock.advance(10 * 60 * 1000);
    timerFlag = 0;
    timer->stopRequested();
    settle();
    EXPECT_EQ(doneCalls, 1);
    EXPECT_FALSE(dueResult);
    EXPECT_EQ(clock.pendingAlarms(), 0);

    auto now = make(0);
    now->start();
    EXPECT_EQ(doneCalls, 1); // never from inside start()
    settle();
    EXPECT_EQ(doneCalls, 2);
    EXPECT_TRUE(dueResult);
}

} // namespace
