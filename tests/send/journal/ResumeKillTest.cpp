#include "MailTestSupport.h"
#include "TestEnvironment.h"
#include "platform/Failure.h"
#include "send/journal/JournalRecord.h"

#include <QDir>
#include <QProcess>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>

namespace
{

// A run in a process of its own, killed with SIGKILL at a chosen point (by its process id), then
// continued by a new process from its journal, as the operator does after a crash.
class ResumeKillTest : public MailServerTest
{
  protected:
    void SetUp() override
    {
        MailServerTest::SetUp();
        writeList(QStringLiteral("宛先"));
    }
    // Eight rows r1@…r8@, or the rows' numbers given (r1, r1, r3: row 2 repeats row 1's address).
    void writeList(const QString &name, const std::vector<int> &numbers = {1, 2, 3, 4, 5, 6, 7, 8})
    {
        QString text = QStringLiteral("メールアドレス,氏名\r\n");
        for (const int k : numbers)
            text += QStringLiteral("r%1@example.jp,%2%1\r\n").arg(k).arg(name);
        csv = dir.write("list.csv", toCp932(text));
    }
    // The journal as the machine left it after a restart: written under another boot's id.
    void restartMachine()
    {
        QByteArray bytes = journal();
        const qsizetype at = bytes.indexOf("\nboot\t") + 1, end = bytes.indexOf('\n', at) + 1;
        QByteArray boot = "boot\tanother-boot";
        JournalRecord::seal(boot, 0);
        bytes.replace(at, end - at, boot);
        QFile f(journalPath());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size());
    }
    // With `killAt`, a new run killed once it holds; without, a continuation of the run left, and
    // the boxes it showed.
    QString probe(const QStringList &args, const std::function<bool()> &killAt = {})
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_STATE_HOME", state.root());
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(VELMORA_SEND_PROBE), QStringList{"--server", server->hostPort()} + args);
        if (killAt) {
            EXPECT_TRUE(QTest::qWaitFor(killAt, 30000)) << "the run never reached the point";
            p.kill();
        }
        EXPECT_TRUE(p.waitForFinished(60000));
        return QString::fromUtf8(p.readAllStandardOutput());
    }
    void runAndKill(const std::function<bool()> &killAt, int interval = 0)
    {
        probe({"--csv", csv, "--interval", QString::number(interval)}, killAt);
    }
    QString journalPath() const
    {
        const QStringList names = QDir(state.path("velmora")).entryList({"run-*.journal"});
        return names.size() == 1 ? state.path("velmora/" + names[0]) : QString();
    }
    QByteArray journal() const
    {
        QFile f(journalPath());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    void forgetLastRun()
    {
        server->reset();
        QFile::remove(journalPath());
    }
    // How many mails each row's recipient got, rows 1 to 8.
    std::vector<int> received()
    {
        std::vector<int> counts(8);
        for (int n = 1; n <= server->messages(); ++n)
            ++counts[server->envelope(n).value("rcpt_tos")[0].toString().section(u'@', 0, 0).mid(1).toInt() -
                     1];
        return counts;
    }
    int stalled() { return server->stats().value("stalled").toInt(); }

    ScratchDir dir, state;
    QString csv;
};

TEST_F(ResumeKillTest, KilledBeforeARowsDataOrWhileWaitingEveryRowArrivesOnce)
{
    // Row 4's envelope is never answered: none of its data went out.
    server->rule("RCPT", "stall", {}, "r4@");
    runAndKill([&] { return stalled() == 1; });
    QString told = probe({});
    EXPECT_TRUE(told.contains(QStringLiteral("送信済み：3件")) &&
                told.contains(QStringLiteral("まだ送信していない宛先：5件")) &&
                !told.contains(u"送り直しますか"))
        << str(told);
    EXPECT_EQ(received(), std::vector<int>(8, 1));
    EXPECT_TRUE(journal().contains("closed\tfinished"));

    // Killed during the interval after row 1: row 2 was not even declared.
    forgetLastRun();
    runAndKill([&] { return journal().contains("outcome\t1\taccepted"); }, 60);
    told = probe({});
    EXPECT_TRUE(told.contains(QStringLiteral("まだ送信していない宛先：7件"))) << str(told);
    EXPECT_EQ(received(), std::vector<int>(8, 1));
}

// Killed after row 5's end of data, before the reply: its mail may have arrived, so it is listed
// and sent again only when the operator says so.
TEST_F(ResumeKillTest, KilledAfterTheEndOfDataTheRowIsSentAgainOnlyWhenTheOperatorSaysSo)
{
    for (const bool resend : {false, true}) {
        forgetLastRun();
        server->rule("DATA_END", "reply", "250 2.0.0 Ok", {}, 4, true);
        server->rule("DATA_END", "stall", {}, {}, 1, true);
        runAndKill([&] { return stalled() == 1 && server->messages() == 5; });
        const QString told = probe({"--resend", resend ? "yes" : "no"});
        EXPECT_TRUE(told.contains(QStringLiteral("届いた可能性がある宛先：1件")) &&
                    told.contains(QStringLiteral("5行目 [r5@example.jp]")))
            << str(told);
        std::vector<int> expected(8, 1);
        expected[4] = resend ? 2 : 1;
        EXPECT_EQ(received(), expected) << resend;
    }
}

// A journal of a table changed since, or with a damaged head, is refused with its message and
// kept; nothing is sent.
TEST_F(ResumeKillTest, AnotherTableOrADamagedJournalIsRefusedAndKept)
{
    server->rule("RCPT", "stall", {}, "r4@");
    runAndKill([&] { return stalled() == 1; });
    const QString path = journalPath();
    writeList(QStringLiteral("別の宛先"));
    EXPECT_TRUE(probe({}).contains(Failure::journalOtherTable(path, csv).description.replace(u'\n', u' ')));

    QByteArray bytes = journal();
    bytes[bytes.indexOf("subject") + 2] = 'X';
    QFile damaged(path);
    ASSERT_TRUE(damaged.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                damaged.write(bytes) == bytes.size());
    damaged.close();
    EXPECT_TRUE(probe({}).contains(Failure::journalHeadDamaged(path).description.replace(u'\n', u' ')));
    EXPECT_EQ(server->messages(), 3);
    EXPECT_EQ(journalPath(), path);
}

// The rows the operator chose (one mail per address) are the only ones a continuation sends, also
// after the process was killed.
TEST_F(ResumeKillTest, AContinuationSendsOnlyTheRowsChosenWhenTheRunBegan)
{
    writeList(QStringLiteral("宛先"), {1, 1, 3, 4});
    probe({"--csv", csv, "--interval", "60", "--one-per-address", "yes"},
          [&] { return journal().contains("outcome\t1\taccepted"); });
    const QString told = probe({});
    EXPECT_TRUE(told.contains(QStringLiteral("まだ送信していない宛先：2件")) &&
                told.contains(QStringLiteral("送らないことにした宛先（同じアドレスの2行目以降など）：1件")))
        << str(told);
    EXPECT_EQ(received(), (std::vector<int>{1, 0, 1, 1, 0, 0, 0, 0}));
    EXPECT_EQ(server->messages(), 3);
}

// A run that stopped by itself (a quota) and closed its journal is continued after a restart of
// the machine: the rows declared but never started were not sent, so they go out now, without the
// question about mails that may have arrived.
TEST_F(ResumeKillTest, RowsDeclaredBeforeACleanStopAreNotTriedAfterARestart)
{
    server->rule("DATA_END", "reply", "250 2.0.0 Ok", {}, 1, true);
    server->rule("DATA_END", "reply",
                 "554 5.2.0 STOREDRV.Submission.Exception:SubmissionQuotaExceededException", {}, -1);
    const QString stopped = probe({"--csv", csv, "--interval", "0"});
    EXPECT_TRUE(stopped.contains(QStringLiteral("送信数の上限に達したため"))) << str(stopped);
    EXPECT_TRUE(journal().contains("closed\tstopped"));
    restartMachine();
    server->reset();
    const QString told = probe({});
    EXPECT_TRUE(told.contains(QStringLiteral("届いた可能性がある宛先：0件")) &&
                told.contains(QStringLiteral("まだ送信していない宛先：7件")) &&
                !told.contains(u"送り直しますか"))
        << str(told);
    EXPECT_EQ(received(), (std::vector<int>{0, 1, 1, 1, 1, 1, 1, 1}));
}

// While one Velmora sends a table, another that loads the same table is told so and sends nothing.
TEST_F(ResumeKillTest, ASecondVelmoraDoesNotSendATableTheFirstIsSending)
{
    server->rule("RCPT", "stall", {}, "r4@");
    QProcess first;
    first.setProcessEnvironment([&] {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_STATE_HOME", state.root());
        return env;
    }());
    first.start(QStringLiteral(VELMORA_SEND_PROBE), {"--server", server->hostPort(), "--csv", csv});
    ASSERT_TRUE(QTest::qWaitFor([&] { return stalled() == 1; }, 30000));
    const QString told = probe({"--csv", csv});
    EXPECT_TRUE(told.contains(QStringLiteral("別の Velmora が今送信しています"))) << str(told);
    EXPECT_EQ(server->messages(), 3);
    first.kill();
    first.waitForFinished(60000);
    EXPECT_EQ(received(), (std::vector<int>{1, 1, 1, 0, 0, 0, 0, 0}));
}

} // namespace
