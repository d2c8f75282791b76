#include "MailTestSupport.h"
#include "ScriptedView.h"
#include "TestEnvironment.h"
#include "TestSmtpServer.h"
#include "send/Mailing.h"
#include "send/MailingJob.h"
#include "send/SendCommandLine.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>

using Icon = UserDialogs::Icon;
using Buttons = UserDialogs::Buttons;
using Answer = UserDialogs::Answer;

namespace
{
struct Ran {
    int code = -1;
    QString out, err;
};

// velmora-send with `arguments`, waited for with a generous limit.
Ran runSend(const QStringList &arguments)
{
    QProcess p;
    p.start(QStringLiteral(VELMORA_SEND_PROGRAM), arguments);
    EXPECT_TRUE(p.waitForFinished(120000)) << "velmora-send never ended";
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8(p.readAllStandardError())};
}

class SendCommandTest : public MailServerTest
{
  protected:
    void SetUp() override
    {
        MailServerTest::SetUp();
        qputenv("XDG_STATE_HOME", QFile::encodeName(state.root()));
    }
    void TearDown() override { qunsetenv("XDG_STATE_HOME"); }

    // Three recipients in a CP932 table, and the job that mails them through the loopback server.
    QString writeJob(qint16 interval = 0)
    {
        const QString csv = dir.write(
            "recipients.csv",
            toCp932(QStringLiteral("メールアドレス,氏名\r\nr1@example.jp,宛先1\r\nr2@example.jp,宛先2\r\n"
                                   "r3@example.jp,宛先3\r\n")));
        job.source = csv;
        job.inputs = {true, server->hostPort(), Sender, QStringLiteral("<%氏名%>様へのご案内"),
                      QStringLiteral("<%氏名%>様\nいつもお世話になっております。"), QString(), false};
        job.sendInterval = interval;
        const QString path = dir.path("run.velmorajob");
        EXPECT_FALSE(writeMailingJob(path, job));
        return path;
    }
    QStringList recipients()
    {
        QStringList out;
        for (int n = 1; n <= server->messages(); ++n)
            out << server->envelope(n).value("rcpt_tos").toVariant().toStringList().join(u',');
        return out;
    }

    ScratchDir dir;
    ScratchDir state;
    MailingJob job;
};
} // namespace

// The job file keeps what the window had, never the password, and is read back only as itself;
// the command line a timer is given reads back as the options it was made of.
TEST(MailingJobFile, KeepsTheMailingWithoutItsSecretAndItsCommandLineReadsBack)
{
    ScratchDir dir;
    MailingJob job;
    job.source = QStringLiteral("/home/taro/顧客.csv");
    job.inputs = {true, QStringLiteral("taro:s3cret!@smtp.example.jp:587"), Sender, QStringLiteral("件名"),
                  QStringLiteral("本文"), QStringLiteral("/home/taro/請求書/<%番号%>.pdf"), true,
                  QStringLiteral("テキスト版"), QStringLiteral("/home/taro")};
    job.sendInterval = 5;
    job.bccSelf = true;
    const QString path = dir.path("a.velmorajob");
    ASSERT_FALSE(writeMailingJob(path, job));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_FALSE(file.readAll().contains("s3cret"));
    EXPECT_EQ(file.permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());
    const Result<MailingJob> read = readMailingJob(path);
    ASSERT_TRUE(read);
    MailingJob expected = job;
    expected.inputs.server = QStringLiteral("taro@smtp.example.jp:587");
    expected.inputs.haveAddresses = false;
    EXPECT_EQ(read.value().inputs.server, expected.inputs.server);
    EXPECT_EQ(read.value(), expected);
    for (const QByteArray &other : {QByteArray("not json"), QByteArray(R"({"format":"x","version":1})"),
                                    QByteArray(R"({"format":"velmora-mailing","version":99})")}) {
        const QString bad = dir.write("bad.velmorajob", other);
        EXPECT_FALSE(readMailingJob(bad)) << other.constData();
    }

    SendCommandOptions o;
    o.jobFile = QStringLiteral("/tmp/-a job.velmorajob");
    o.resume = o.resendUnknown = o.everyRow = o.ignoreCheck = o.skipIfLate = true;
    o.scheduledAt = QDateTime(QDate(2026, 12, 10), QTime(9, 0));
    o.outcomeFile = QStringLiteral("/tmp/outcome.json");
    const ParsedCommand back = parseSendCommand(sendCommandArguments(o));
    ASSERT_TRUE(back.options) << str(back.error);
    EXPECT_EQ(*back.options, o);
    for (const QStringList &wrong : {QStringList{}, QStringList{"--bogus", "a"}, QStringList{"a", "b"},
                                     QStringList{"--at", "明日", "a"}, QStringList{"--skip-if-late", "a"}}) {
        const ParsedCommand p = parseSendCommand(wrong);
        EXPECT_FALSE(p.options) << str(wrong.join(u' '));
        EXPECT_FALSE(p.error.isEmpty()) << str(wrong.join(u' '));
    }
}

// Exit codes that say what happened, the dry run, and the outcome file a timer leaves behind.
TEST_F(SendCommandTest, ExitCodesTellAllSentSomeFailedNothingSentAndBadInput)
{
    const QString path = writeJob();
    const QString outcome = dir.path("outcome.json");
    Ran r = runSend({QStringLiteral("--outcome"), outcome, path});
    EXPECT_EQ(r.code, 0) << str(r.err);
    EXPECT_EQ(recipients(), QStringList({"r1@example.jp", "r2@example.jp", "r3@example.jp"}));
    EXPECT_TRUE(r.out.contains(QStringLiteral("正常3件、エラー0件"))) << str(r.out);
    QFile o(outcome);
    ASSERT_TRUE(o.open(QIODevice::ReadOnly));
    EXPECT_EQ(QJsonDocument::fromJson(o.readAll()).object().value("exitCode").toInt(), 0);

    server->reset();
    server->rule("RCPT", "reply", "550 5.1.1 no such user", "r2@");
    r = runSend({path});
    EXPECT_EQ(r.code, 1) << str(r.out);
    EXPECT_EQ(server->messages(), 2);

    server->reset();
    const QString outbox = dir.path("outbox");
    r = runSend({QStringLiteral("--dry-run"), outbox, path});
    EXPECT_EQ(r.code, 0) << str(r.err);
    EXPECT_EQ(QDir(outbox).entryList({"*.eml"}).size(), 3);
    EXPECT_EQ(server->messages(), 0);

    EXPECT_EQ(runSend({QStringLiteral("--resume"), path}).code, 3); // nothing to continue
    EXPECT_EQ(runSend({QStringLiteral("--bogus"), path}).code, 64);
    EXPECT_EQ(runSend({dir.write("x.velmorajob", "{}")}).code, 66);
    EXPECT_EQ(server->messages(), 0);
}

// The command and the window share the journal and the table lock: it refuses the table the window
// is sending, continues the run the window stopped, and a stop by signal leaves a run to continue.
TEST_F(SendCommandTest, SharesTheJournalAndTheLockWithTheWindow)
{
    const QString path = writeJob();
    ScriptedView view;
    Mailing window(view);
    ASSERT_EQ(window.AddressRead(job.source), 0);
    view.inputs = job.inputs;
    window.setSendInterval(30);
    window.startRun();
    ASSERT_TRUE(QTest::qWaitFor([&] { return server->messages() == 1; }, 30000));
    Ran r = runSend({path});
    EXPECT_EQ(r.code, 3);
    EXPECT_TRUE((r.out + r.err).contains(QStringLiteral("別の Velmora が今送信しています"))) << str(r.err);
    view.dialogs.expectBox(QString(), QStringLiteral("送信中止"), Icon::Warning, Buttons::YesNo, Answer::Yes);
    window.stop();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !view.busy(); }, 30000));

    r = runSend({path}); // an unfinished run is only continued when asked to
    EXPECT_EQ(r.code, 3) << str(r.out);
    EXPECT_TRUE(r.err.contains(QStringLiteral("--resume"))) << str(r.err);
    r = runSend({QStringLiteral("--resume"), path});
    EXPECT_EQ(r.code, 0) << str(r.out) << str(r.err);
    EXPECT_EQ(recipients(), QStringList({"r1@example.jp", "r2@example.jp", "r3@example.jp"}));

    server->reset();
    const QString slow = writeJob(30);
    QProcess p;
    p.start(QStringLiteral(VELMORA_SEND_PROGRAM), {slow});
    ASSERT_TRUE(QTest::qWaitFor([&] { return server->messages() == 1; }, 30000));
    ::kill(pid_t(p.processId()), SIGTERM);
    ASSERT_TRUE(p.waitForFinished(60000));
    EXPECT_EQ(p.exitCode(), 2) << p.readAllStandardOutput().constData();
    writeJob(); // the rest without the interval
    r = runSend({QStringLiteral("--resume"), slow});
    EXPECT_EQ(r.code, 0) << str(r.out);
    EXPECT_EQ(server->messages(), 3);
}

// What the window saves is what the command sends; nothing is saved before a table is loaded.
TEST_F(SendCommandTest, TheWindowsSavedMailingIsSentAsItWas)
{
    writeJob();
    ScriptedView view;
    Mailing window(view);
    view.inputs = job.inputs;
    view.dialogs.expectBox(QStringLiteral("送信の設定を保存する前に、メールの宛先を読み込んでください。"),
                           QStringLiteral("送信の設定の保存"), Icon::Warning, Buttons::Ok, Answer::Ok);
    EXPECT_FALSE(window.saveJob(dir.path("saved")));
    ASSERT_EQ(window.AddressRead(job.source), 0);
    view.dialogs.expectBox(QString(), QStringLiteral("送信の設定の保存"), Icon::Information, Buttons::Ok, Answer::Ok);
    ASSERT_TRUE(window.saveJob(dir.path("saved")));
    const Ran r = runSend({dir.path("saved.velmorajob")});
    EXPECT_EQ(r.code, 0) << str(r.err);
    ASSERT_EQ(server->messages(), 3);
    EXPECT_EQ(decodeMessage(server->messagePath(2)).value("subject").toString(), QStringLiteral("宛先2様へのご案内"));
}
