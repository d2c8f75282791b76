#include "MailTestSupport.h"
#include "TestEnvironment.h"
#include "TestSmtpServer.h"
#include "platform/UserTimers.h"
#include "send/ScheduledRuns.h"

#include <QFile>
#include <QTest>

#include <gtest/gtest.h>

namespace
{
class ScheduledRunsTest : public MailServerTest
{
  protected:
    void SetUp() override
    {
        if (qEnvironmentVariableIsSet("VELMORA_NO_USER_MANAGER"))
            GTEST_SKIP() << "no systemd user manager: " << qgetenv("VELMORA_NO_USER_MANAGER").constData();
        MailServerTest::SetUp();
        qputenv("XDG_STATE_HOME", QFile::encodeName(state.root()));
        ScheduledRuns::setSendProgram(QStringLiteral(VELMORA_SEND_PROGRAM));
    }
    void TearDown() override { qunsetenv("XDG_STATE_HOME"); }

    MailingJob job()
    {
        MailingJob j;
        j.source = dir.write("recipients.csv",
                             toCp932(QStringLiteral("メールアドレス,氏名\r\nr1@example.jp,宛先1\r\nr2@example.jp,宛先2\r\n")));
        j.inputs = {true, server->hostPort(), Sender, QStringLiteral("<%氏名%>様"), QStringLiteral("本文"), {}, false};
        return j;
    }
    ScheduledRun only()
    {
        const std::vector<ScheduledRun> runs = ScheduledRuns::list();
        EXPECT_EQ(runs.size(), 1u);
        return runs.empty() ? ScheduledRun() : runs.front();
    }

    ScratchDir dir;
    ScratchDir state;
};
} // namespace

// A run handed to the session's timer happens at its time with no window, and its outcome is kept
// for the list; one not yet due is cancelled, and nothing of it is left.
TEST_F(ScheduledRunsTest, AHandedOverRunSendsAtItsTimeAndAWaitingOneIsCancelled)
{
    QDateTime soon = QDateTime::currentDateTime().addSecs(3);
    soon.setTime(QTime(soon.time().hour(), soon.time().minute(), soon.time().second()));
    const Result<ScheduledRun> run = ScheduledRuns::add(job(), soon, {});
    ASSERT_TRUE(run) << str(run.failure().description);
    EXPECT_TRUE(QTest::qWaitFor([&] { return server->messages() == 2; }, 120000)) << "the timer never sent";
    EXPECT_TRUE(QTest::qWaitFor([&] { return only().state == ScheduledRun::State::Ended; }, 60000));
    const ScheduledRun ended = only();
    EXPECT_EQ(ended.exitCode, 0);
    EXPECT_TRUE(ended.stateText().contains(QStringLiteral("正常2件"))) << str(ended.stateText());
    ScheduledRuns::forget(ended);
    EXPECT_TRUE(ScheduledRuns::list().empty());

    const Result<ScheduledRun> later = ScheduledRuns::add(job(), QDateTime::currentDateTime().addSecs(3600), {});
    ASSERT_TRUE(later);
    EXPECT_EQ(only().state, ScheduledRun::State::Waiting);
    EXPECT_EQ(only().stateText(), QStringLiteral("予約中"));
    EXPECT_FALSE(ScheduledRuns::cancel(only()));
    EXPECT_TRUE(ScheduledRuns::list().empty());
    EXPECT_EQ(UserTimers::stateOf(later->unit), UserTimers::State::Gone);
    EXPECT_EQ(server->messages(), 2);
}
