#include "send/mailbox/MailboxCheck.h"
#include "TestEnvironment.h"
#include "TestTables.h"
#include "send/journal/JournalReport.h"
#include "send/journal/SendJournal.h"

#include <gtest/gtest.h>

namespace
{

// A delivery-status notification as a receiving server writes it; no Message-ID: none returned.
QByteArray notice(const QByteArray &messageId, const QByteArray &recipient, const QByteArray &action,
                  const QByteArray &status)
{
    QByteArray m =
        "From: MAILER-DAEMON@mx.example.net\r\nTo: sales@example.jp\r\nSubject: Undelivered Mail\r\n"
        "MIME-Version: 1.0\r\nContent-Type: multipart/report; report-type=delivery-status; boundary=\"b\"\r\n"
        "\r\n--b\r\nContent-Type: text/plain\r\n\r\nThe mail could not be delivered.\r\n"
        "--b\r\nContent-Type: message/delivery-status\r\n\r\nReporting-MTA: dns; mx.example.net\r\n\r\n"
        "Final-Recipient: rfc822; " +
        recipient + "\r\nAction: " + action + "\r\nStatus: " + status + "\r\nDiagnostic-Code: smtp; " +
        status.left(1) + "50 " + status +
        " mailbox unavailable\r\n\r\n--b\r\nContent-Type: text/rfc822-headers\r\n\r\n"
        "From: sales@example.jp\r\nSubject: x\r\n";
    if (!messageId.isEmpty())
        m += "Message-ID: <" + messageId + ">\r\n";
    return m + "\r\n--b--\r\n";
}

} // namespace

// Notices matched to the run's rows: by the run's Message-ID, or by address when a notice names no
// mail; another run's notice, a delay and a copy's failure change no row.
TEST(MailboxCheck, OnlyThisRunsReturnedMainRecipientsAreMarkedUndeliverable)
{
    ScratchDir dir;
    RunIdentity id;
    id.source = QStringLiteral("/tmp/list.csv");
    id.tableDigest = QByteArray(32, 'x');
    id.sender = QStringLiteral("営業部 <sales@example.jp>");
    id.server = QStringLiteral("smtps://sales@mail.example.jp");
    id.rows = 4;
    id.startedAt = QDateTime::currentDateTimeUtc();
    id.mailToken = newMailToken();
    Result<std::unique_ptr<SendJournal>> j = SendJournal::create(id, dir.root(), QStringLiteral("boot"));
    ASSERT_TRUE(j.ok());
    SendJournal *journal = j.value().get();
    journal->declare({1, 2, 3, 4});
    for (int row = 1; row <= 4; ++row) {
        journal->started(row);
        journal->outcome(row, RunJournal::RowState::Accepted, {});
    }
    journal->closed(true);
    Result<JournalReport> report = readJournal(journal->path(), QStringLiteral("boot"));
    ASSERT_TRUE(report.ok());
    const RecipientTable table = tableOf({{"メール", "CC"},
                                          {"a@example.com", ""},
                                          {"<b@example.com>", ""},
                                          {"c@example.com", "boss@example.com"},
                                          {"d@例え.jp", ""}});
    const auto ours = [&](int row) {
        return messageIdOf(id.mailToken, row, QStringLiteral("sales@example.jp"));
    };

    RunNotices notices(report.value(), table);
    MailboxFindings found;
    EXPECT_TRUE(notices.read(notice(ours(2), "b@example.com", "failed", "5.1.1"), found));
    EXPECT_TRUE(notices.read(notice(ours(2), "b@example.com", "failed", "5.1.1"), found)); // the same again
    EXPECT_TRUE(notices.read(notice(ours(3), "boss@example.com", "failed", "5.2.2"), found));
    EXPECT_TRUE(notices.read(notice("vmanotherrun.1@example.jp", "a@example.com", "failed", "5.1.1"), found));
    EXPECT_TRUE(notices.read(notice(ours(1), "a@example.com", "delayed", "4.4.1"), found));
    EXPECT_TRUE(notices.read(notice({}, "d@xn--r8jz45g.jp", "failed", "5.1.2"), found));
    EXPECT_FALSE(notices.read("From: a@example.com\r\nSubject: 不在のお知らせ\r\n\r\n不在です。\r\n", found));
    notices.finish(found);

    EXPECT_EQ(found.messagesRead, 7);
    EXPECT_EQ(found.notices, 6);
    EXPECT_EQ(found.otherRuns, 1);
    ASSERT_EQ(found.bounced.size(), 2u);
    EXPECT_EQ(found.bounced[0].row, 2);
    EXPECT_EQ(found.bounced[1].row, 4);
    EXPECT_TRUE(found.bounced[0].reason.contains(QStringLiteral("5.1.1")))
        << found.bounced[0].reason.toStdString();
    ASSERT_EQ(found.copies.size(), 1u);
    EXPECT_EQ(found.copies[0].row, 3);
    ASSERT_EQ(found.delayed.size(), 1u);
    EXPECT_EQ(found.delayed[0].row, 1);
    ASSERT_EQ(found.findings.size(), 2u);
    EXPECT_EQ(found.findings[0].kind, SendJournal::Finding::Kind::Bounced);
    EXPECT_TRUE(found.summary(table).contains(QStringLiteral("2行目 [b@example.com]")));
}
