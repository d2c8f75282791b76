#include "DovecotServer.h"
#include "MailTestSupport.h"
#include "ManualClock.h"
#include "PostfixServer.h"
#include "ScriptedView.h"
#include "TestEnvironment.h"
#include "TestSmtpServer.h"
#include "platform/mail/ImapMailbox.h"
#include "platform/mail/SendMail.h"
#include "results/CsvExport.h"
#include "results/RecipientGrid.h"
#include "send/Mailing.h"
#include "send/journal/JournalReport.h"
#include "send/journal/JournalStore.h"
#include "send/mailbox/MailboxSettings.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <gtest/gtest.h>

// Runs whose outcome the operator's mailbox settles afterwards: a real Postfix returns a mail to an
// unknown address with its own delivery-status notification into the sender's mailbox, which a
// real Dovecot serves; the provider's Sent folder settles the mails whose final reply was lost.
namespace
{

using Icon = UserDialogs::Icon;
using Buttons = UserDialogs::Buttons;
using Answer = UserDialogs::Answer;

const QString OK = QStringLiteral("送信OK"), NG = QStringLiteral("送信NG");
const QString ResumeTitle = QStringLiteral("送信の再開");
const QString SentMaildir = QStringLiteral("/.&kAFP4W4IMH8-"); // 送信済み in modified UTF-7

// Files of a Maildir folder, new and seen.
QStringList maildirFiles(const QString &folder)
{
    QStringList files;
    for (const char *sub : {"/new", "/cur"})
        for (const QString &name : QDir(folder + QLatin1String(sub)).entryList(QDir::Files))
            files += folder + QLatin1String(sub) + u'/' + name;
    return files;
}

class MailboxRun : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        SendMailOptions o;
        o.connectTimeoutSeconds = 5;
        o.responseTimeoutSeconds = 2;
        setSendMailOptions(o);
        qputenv("XDG_STATE_HOME", QFile::encodeName(state.root()));
    }
    void TearDown() override
    {
        SendMailShutdown();
        qunsetenv("XDG_STATE_HOME");
    }
    void load(const QStringList &addresses, const QString &server, const QString &sender)
    {
        QString csv = QStringLiteral("メールアドレス,氏名\r\n");
        for (qsizetype k = 0; k < addresses.size(); ++k)
            csv += addresses[k] + QStringLiteral(",宛先%1\r\n").arg(k + 1);
        ASSERT_EQ(mailing.AddressRead(dir.write("recipients.csv", toCp932(csv))), 0);
        view.inputs = {false,
                       server,
                       sender,
                       QStringLiteral("<%氏名%>様へのご案内"),
                       QStringLiteral("<%氏名%>様\nいつもお世話になっております。"),
                       QString(),
                       false};
    }
    void useMailbox(const DovecotServer &dovecot, bool copyToSent)
    {
        mailing.mailbox().setSettings(
            {mailboxServerText(dovecot.mailbox(QStringLiteral("sender"))), copyToSent, false, 15});
        ImapSettings imap;
        imap.caFile = dovecot.caFile();
        imap.responseTimeoutSeconds = 30;
        mailing.mailbox().setImapSettings(imap);
    }
    QStringList statuses() const
    {
        QStringList out;
        for (int k = 1; k <= mailing.table().lastRow(); ++k)
            out << mailing.table().cell(k, 0);
        return out;
    }
    bool waitIdle(int ms = 60000)
    {
        return QTest::qWaitFor([this] { return !view.busy() && !mailing.mailbox().looking(); }, ms);
    }
    JournalReport lastRun()
    {
        std::optional<JournalStore::Entry> e = JournalStore().latestOfTable(tableDigest(mailing.table()));
        EXPECT_TRUE(e && e->report);
        return e && e->report ? e->report.value() : JournalReport{};
    }

    ManualClock clock{QDateTime::currentDateTime()};
    ScratchDir dir, state;
    ScriptedView view;
    Mailing mailing{view};
};

} // namespace

// Postfix accepts both rows, then returns the one to an unknown address; 不達を確認 marks exactly
// that row with Postfix's reason, the journal keeps it, the exports treat it as a failure, and each
// accepted mail has one copy in Sent. Nothing in the inbox is marked read.
TEST_F(MailboxRun, PostfixsBounceMarksItsRowAndEachSentMailIsCopiedOnce)
{
    PostfixServer postfix({QStringLiteral("sender"), QStringLiteral("taro")}, true);
    if (!postfix.unavailable().isEmpty())
        GTEST_SKIP() << str(postfix.unavailable());
    DovecotServer dovecot({QStringLiteral("sender")}, postfix.maildirRoot());
    if (!dovecot.unavailable().isEmpty())
        GTEST_SKIP() << str(dovecot.unavailable());
    useMailbox(dovecot, true);
    load({PostfixServer::address(QStringLiteral("taro")), PostfixServer::address(QStringLiteral("nobody"))},
         postfix.hostPort(), QStringLiteral("営業部 <sender@example.test>"));
    // The relay takes mail without signing in: the mailbox asks for its own password, once.
    view.passwordAnswers = {PasswordAnswer{DovecotServer::Password, false}};

    mailing.startRun();
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(statuses(), QStringList({OK, OK})); // accepted both: the second bounces later
    const QString sent = dovecot.maildir(QStringLiteral("sender")) + SentMaildir;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !mailing.mailbox().copying(); }, 60000));
    EXPECT_EQ(maildirFiles(sent).size(), 2) << str(view.status);
    const QStringList bounce = postfix.waitForMail(QStringLiteral("sender"), 1);
    ASSERT_EQ(bounce.size(), 1) << str(postfix.log());
    QFile report(bounce[0]);
    ASSERT_TRUE(report.open(QIODevice::ReadOnly));
    const QByteArray reportBytes = report.readAll();
    // The run asked for failure notices with its own ENVID and the headers only.
    EXPECT_TRUE(reportBytes.contains("Original-Envelope-Id: vm")) << reportBytes.left(2000).toStdString();
    EXPECT_TRUE(reportBytes.contains("text/rfc822-headers"));

    mailing.checkMailbox();
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(statuses(), QStringList({OK, StatusBounced}));
    EXPECT_TRUE(mailing.table().reason(2).contains(QStringLiteral("5.1.1")))
        << str(mailing.table().reason(2));
    ASSERT_FALSE(view.texts.isEmpty());
    EXPECT_TRUE(view.texts.last().second.contains(QStringLiteral("2行目 [nobody@example.test]")))
        << str(view.texts.last().second);
    const JournalReport after = lastRun();
    EXPECT_EQ(after.rows[2].state, JournalReport::Row::Bounced);
    EXPECT_EQ(after.ending, JournalReport::Ending::Finished);
    const RecipientGrid grid(mailing.table());
    EXPECT_EQ(buildCsv(grid, StatusFailed).bytes,
              toCp932("メールアドレス,氏名\r\nnobody@example.test,宛先2\r\n"));
    EXPECT_EQ(buildCsv(grid, StatusSent).bytes,
              toCp932("メールアドレス,氏名\r\ntaro@example.test,宛先1\r\n"));
    for (const QString &file : maildirFiles(dovecot.maildir(QStringLiteral("sender"))))
        EXPECT_FALSE(QFileInfo(file).fileName().section(QStringLiteral(":2,"), 1).contains(u'S'))
            << str(file);

    // A second look finds the same notice and adds nothing to the journal.
    const qint64 size = QFileInfo(after.path).size();
    mailing.checkMailbox();
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(QFileInfo(after.path).size(), size);
    EXPECT_EQ(statuses(), QStringList({OK, StatusBounced}));
}

// Two mails went out whole and their final replies were lost; the provider filed one of them as
// sent. Continuing the stopped run settles that one as 送信OK, says so in its question, and sends
// neither again; the other is still asked about.
TEST_F(MailboxRun, AMailFoundInSentIsSettledAndTheContinuationSaysSo)
{
    DovecotServer dovecot({QStringLiteral("sender")});
    if (!dovecot.unavailable().isEmpty())
        GTEST_SKIP() << str(dovecot.unavailable());
    TestSmtpServer server;
    ASSERT_TRUE(server.running());
    mailing.setClock(clock);
    useMailbox(dovecot, false);
    load({QStringLiteral("r1@example.jp"), QStringLiteral("r2@example.jp"), QStringLiteral("r3@example.jp"),
          QStringLiteral("r4@example.jp")},
         server.hostPort(), QStringLiteral("営業部 <sender@example.jp>"));
    server.rule("DATA_END", "reply", "250 2.0.0 Ok", {}, 1, true);
    server.rule("DATA_END", "stall", {}, {}, 2, true); // rows 2 and 3: stored, no reply
    mailing.setSendInterval(10);
    mailing.startRun();
    for (int row = 2; row <= 3; ++row) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return mailing.table().cell(row - 1, 0) != QString(); }, 30000));
        clock.advance(10 * 1000);
        ASSERT_TRUE(QTest::qWaitFor([&] { return mailing.table().cell(row, 0) == NG; }, 30000)) << row;
    }
    view.dialogs.expectBox(QString(), QStringLiteral("送信中止"), Icon::Warning, Buttons::YesNo, Answer::Yes);
    view.dialogs.expectBox(QString(), QStringLiteral("送信エラー"), Icon::Warning, Buttons::YesNo,
                           Answer::No);
    mailing.stop();
    ASSERT_TRUE(waitIdle());
    ASSERT_EQ(server.messages(), 3);

    // The provider's copy of row 2's mail, as its submission server files it.
    ImapMailbox provider(dovecot.mailbox(QStringLiteral("sender")), {5, 30, dovecot.caFile()},
                         MailLogin{DovecotServer::Password, {}});
    ASSERT_FALSE(provider.open());
    ASSERT_FALSE(
        provider.append(DovecotServer::SentFolder, server.rawMessage(2), QDateTime::currentDateTime()));
    provider.close();

    mailing.setSendInterval(0);
    view.passwordAnswers = {PasswordAnswer{DovecotServer::Password, false}};
    view.dialogs.expectBox(QString(), ResumeTitle, Icon::Question, Buttons::YesNoCancel, Answer::Yes);
    view.dialogs.expectBox(QString(), ResumeTitle, Icon::Warning, Buttons::YesNo, Answer::No);
    mailing.startRun();
    ASSERT_TRUE(waitIdle());
    const QString asked = view.dialogs.shown.last().text;
    EXPECT_TRUE(asked.contains(QStringLiteral("（2行目）は送信済みフォルダーにあった")) &&
                asked.contains(QStringLiteral("3行目 [r3@example.jp]")) && !asked.contains(u"2行目 ["))
        << str(asked);
    EXPECT_EQ(statuses(), QStringList({OK, OK, NG, OK}));
    EXPECT_EQ(server.messages(), 4); // row 4 only: neither row 2 nor row 3 again
    const JournalReport after = lastRun();
    EXPECT_EQ(after.rows[2].state, JournalReport::Row::Accepted);
    EXPECT_EQ(after.rows[3].state, JournalReport::Row::MayHaveArrived);
}
