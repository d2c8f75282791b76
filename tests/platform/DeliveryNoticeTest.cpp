#include "platform/mail/DeliveryNotice.h"
#include "TestEnvironment.h"

#include <QElapsedTimer>
#include <QFile>

#include <gtest/gtest.h>

namespace
{

using Action = DeliveryNotice::Action;

QByteArray bounce(const char *name)
{
    QFile f(testDataPath(QStringLiteral("bounces/") + QLatin1String(name)));
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << name;
    return f.readAll();
}

struct Expected {
    const char *address, *original;
    Action action;
    const char *status, *diagnostic, *remoteMta;
    bool permanent;
};

void expectRecipient(const DeliveryNotice::Recipient &r, const Expected &e)
{
    EXPECT_EQ(r.address, QString::fromUtf8(e.address));
    EXPECT_EQ(r.originalAddress, QString::fromUtf8(e.original));
    EXPECT_EQ(r.action, e.action) << e.address;
    EXPECT_EQ(r.status, QLatin1String(e.status)) << e.address;
    EXPECT_EQ(r.diagnostic, QString::fromUtf8(e.diagnostic));
    EXPECT_EQ(r.remoteMta, QLatin1String(e.remoteMta)) << e.address;
    EXPECT_EQ(r.permanent(), e.permanent) << e.address;
}

} // namespace

TEST(DeliveryNoticeReports, PostfixReportInLfAndCrLfAlike)
{
    QByteArray crlf = bounce("postfix.eml");
    crlf.replace("\n", "\r\n");
    for (const QByteArray &message : {bounce("postfix.eml"), crlf}) {
        const std::optional<DeliveryNotice> n = readDeliveryNotice(message);
        ASSERT_TRUE(n);
        EXPECT_TRUE(n->standard);
        EXPECT_EQ(n->originalMessageId, "lxk2p3q0.1b.9s3kd0a1.2n4@example.jp");
        EXPECT_EQ(n->envelopeId, "vm-7f3a2c-41");
        EXPECT_EQ(n->reportingMta, QLatin1String("mail.example.jp"));
        EXPECT_EQ(n->arrival,
                  QDateTime::fromString(QStringLiteral("2024-07-02T10:15:02+09:00"), Qt::ISODate));
        ASSERT_EQ(n->recipients.size(), 2);
        // Field names in any case, comments and folded lines.
        expectRecipient(
            n->recipients[0],
            {"nobody@example.com", "nobody@example.com", Action::Failed, "5.1.1",
             "550 5.1.1 <nobody@Example.COM>: Recipient address rejected: User unknown in virtual "
             "mailbox table",
             "mx1.example.com", true});
        expectRecipient(n->recipients[1], {"hanako@example.net", "", Action::Failed, "5.2.2",
                                           "552 5.2.2 Mailbox full", "mx.example.net", true});
    }
}

TEST(DeliveryNoticeReports, ProviderReportsWithTheirOwnParts)
{
    // Exchange Online: CR LF, a quoted-printable text and HTML before the report, the returned mail whole.
    const std::optional<DeliveryNotice> exchange = readDeliveryNotice(bounce("exchange365.eml"));
    ASSERT_TRUE(exchange);
    EXPECT_EQ(exchange->originalMessageId, "lxk2p3t2.1c.9s3kd0a1.2n4@example.jp");
    EXPECT_EQ(exchange->reportingMta, QLatin1String("TYCPR01MB1234.jpnprd01.prod.outlook.com"));
    EXPECT_EQ(exchange->arrival, QDateTime::fromString(QStringLiteral("2024-07-02T01:15:04Z"), Qt::ISODate));
    ASSERT_EQ(exchange->recipients.size(), 1);
    expectRecipient(exchange->recipients[0],
                    {"Yamada.Taro@contoso.com", "", Action::Failed, "5.1.10",
                     "550 5.1.10 RESOLVER.ADR.RecipientNotFound; Recipient not found by SMTP address lookup",
                     "", true});

    // Gmail: HTML and an image first; a folded comment in Remote-MTA.
    const std::optional<DeliveryNotice> gmail = readDeliveryNotice(bounce("gmail.eml"));
    ASSERT_TRUE(gmail);
    EXPECT_TRUE(gmail->standard);
    EXPECT_EQ(gmail->originalMessageId, "lxk2pf10.4e.9s3kd0a1.2n4@example.jp");
    EXPECT_EQ(gmail->reportingMta, QLatin1String("googlemail.com"));
    ASSERT_EQ(gmail->recipients.size(), 1);
    const DeliveryNotice::Recipient &g = gmail->recipients[0];
    EXPECT_EQ(g.address, QLatin1String("nobody.here@gmail.com"));
    EXPECT_EQ(g.remoteMta, QLatin1String("gmail-smtp-in.l.google.com."));
    EXPECT_TRUE(
        g.diagnostic.startsWith(QLatin1String("550-5.1.1 The email account that you tried to reach")));
    EXPECT_TRUE(g.permanent());

    // RFC 6533: UTF-8 addresses, raw and in \x{...} escapes.
    const std::optional<DeliveryNotice> global = readDeliveryNotice(bounce("global.eml"));
    ASSERT_TRUE(global);
    EXPECT_EQ(global->originalMessageId, "lxk2pz00.6a.9s3kd0a1.2n4@example.jp");
    ASSERT_EQ(global->recipients.size(), 1);
    expectRecipient(global->recipients[0],
                    {"山田@例え.jp", "山田@例え.jp", Action::Failed, "5.1.1",
                     "550 5.1.1 <山田@例え.jp>: Recipient address rejected", "", true});
}

TEST(DeliveryNoticeReports, DelayedReportFindsTheMailThroughItsReferences)
{
    const std::optional<DeliveryNotice> n = readDeliveryNotice(bounce("delayed.eml"));
    ASSERT_TRUE(n);
    EXPECT_EQ(n->originalMessageId, "lxk2pq02.5f.9s3kd0a1.2n4@example.jp") << "the last of References";
    EXPECT_EQ(n->arrival, QDateTime::fromString(QStringLiteral("2024-07-02T09:31:20Z"), Qt::ISODate));
    ASSERT_EQ(n->recipients.size(), 1);
    expectRecipient(n->recipients[0],
                    {"mori@slow.example.com", "Mori@slow.example.com", Action::Delayed, "4.4.1",
                     "The recipient server did not accept our requests to connect. [mx.slow.example.com. "
                     "192.0.2.99: timed out]",
                     "mx.slow.example.com.", false});
}

TEST(DeliveryNoticeTextForms, QmailStyle)
{
    const std::optional<DeliveryNotice> n = readDeliveryNotice(bounce("qmail.eml"));
    ASSERT_TRUE(n);
    EXPECT_FALSE(n->standard);
    EXPECT_EQ(n->originalMessageId, "lxk2p9a1.2c.9s3kd0a1.2n4@example.jp");
    EXPECT_EQ(n->reportingMta, QLatin1String("mx3.example.net"));
    ASSERT_EQ(n->recipients.size(), 2);
    expectRecipient(n->recipients[0], {"ichiro@example.net", "", Action::Failed, "5.1.1",
                                       "Sorry, no mailbox here by that name. (#5.1.1)", "", true});
    expectRecipient(n->recipients[1],
                    {"Sato.Jiro@relay.example.org", "", Action::Failed, "5.7.1",
                     "550 5.7.1 <Sato.Jiro@relay.example.org>: Relay access denied", "203.0.113.44", true});

    // The webmail variant: no qmail-send line, no status code, a reply that is 5xx all the same.
    const std::optional<DeliveryNotice> webmail = readDeliveryNotice(
        "From: MAILER-DAEMON@yahoo.com\nTo: info@example.jp\nSubject: Failure Notice\n\n"
        "Sorry, we were unable to deliver your message to the following address.\n\n<nobody@yahoo.com>:\n"
        "554: delivery error: dd This user doesn't have a yahoo.com account (nobody@yahoo.com) [0]\n\n"
        "--- Below this line is a copy of the message.\n\nMessage-ID: <q1@example.jp>\n");
    ASSERT_TRUE(webmail);
    ASSERT_EQ(webmail->recipients.size(), 1);
    EXPECT_EQ(webmail->originalMessageId, "q1@example.jp");
    expectRecipient(
        webmail->recipients[0],
        {"nobody@yahoo.com", "", Action::Failed, "",
         "554: delivery error: dd This user doesn't have a yahoo.com account (nobody@yahoo.com) [0]", "",
         true});
}

TEST(DeliveryNoticeTextForms, MailSystemsPlainText)
{
    const std::optional<DeliveryNotice> n = readDeliveryNotice(bounce("provider-text.eml"));
    ASSERT_TRUE(n);
    EXPECT_FALSE(n->standard);
    EXPECT_EQ(n->originalMessageId, "lxk2pc77.3d.9s3kd0a1.2n4@example.jp") << "folded in the quoted headers";
    ASSERT_EQ(n->recipients.size(), 1) << "the notice's own addresses and the quoted mail's are left out";
    expectRecipient(n->recipients[0],
                    {"Kenta.Suzuki@example.org", "", Action::Failed, "5.1.1",
                     "550-5.1.1 The email account that you tried to reach does not exist. Please try "
                     "double-checking the recipient's email address for typos or unnecessary spaces. "
                     "https://support.google.com/mail/?p=NoSuchUser",
                     "", true});

    // An older Exchange's text: the reply quoted; a second address without a reply of its own.
    const std::optional<DeliveryNotice> exchange = readDeliveryNotice(
        "From: postmaster@example.com\r\nTo: info@example.jp\r\nSubject: Undeliverable: x\r\n\r\n"
        "Delivery has failed to these recipients or "
        "groups:\r\n\r\nkato@example.com\r\nito@example.com\r\n\r\n"
        "kato@example.com\r\nRemote Server returned '550 5.1.1 RESOLVER.ADR.RecipNotFound; not found'\r\n\r\n"
        "Original message headers:\r\n\r\nMessage-ID: <x2@example.jp>\r\nTo: kato@example.com\r\n");
    ASSERT_TRUE(exchange);
    EXPECT_EQ(exchange->originalMessageId, "x2@example.jp");
    ASSERT_EQ(exchange->recipients.size(), 2);
    EXPECT_EQ(exchange->recipients[1].address, QLatin1String("ito@example.com"));
    for (const DeliveryNotice::Recipient &r : exchange->recipients)
        EXPECT_EQ(r.diagnostic, QLatin1String("550 5.1.1 RESOLVER.ADR.RecipNotFound; not found"));

    // A warning that the mail system keeps trying.
    const std::optional<DeliveryNotice> delay = readDeliveryNotice(
        "From: Mail Delivery Subsystem <mailer-daemon@example.net>\nTo: info@example.jp\n\n"
        "Delivery to the following recipient has been delayed:\n\n   abe@example.org\n\n"
        "Message will be retried for 2 more day(s)\n\n450 4.2.1 The user is receiving mail too quickly\n");
    ASSERT_TRUE(delay);
    ASSERT_EQ(delay->recipients.size(), 1);
    EXPECT_EQ(delay->recipients[0].action, Action::Delayed);
    EXPECT_EQ(delay->recipients[0].status, QLatin1String("4.2.1"));
    EXPECT_FALSE(delay->recipients[0].permanent());
}

TEST(DeliveryNoticeOthers, RepliesReceiptsAndOtherReportsAreNoNotices)
{
    EXPECT_FALSE(readDeliveryNotice(bounce("autoreply.eml"))) << "an out-of-office reply";
    EXPECT_FALSE(readDeliveryNotice(bounce("read-receipt.eml"))) << "a read receipt";
    EXPECT_FALSE(readDeliveryNotice("From: abuse@isp.example\nContent-Type: multipart/report; "
                                    "report-type=feedback-report; boundary=b\n\n--b\nContent-Type: "
                                    "message/feedback-report\n\nFeedback-Type: abuse\n--b--\n"));
    EXPECT_FALSE(readDeliveryNotice(QByteArray()));
}

TEST(DeliveryNoticeHostile, DamagedReportGivesWhatItHolds)
{
    const std::optional<DeliveryNotice> n = readDeliveryNotice(bounce("damaged.eml"));
    ASSERT_TRUE(n);
    EXPECT_TRUE(n->originalMessageId.isEmpty()) << "\"not an id\" is none";
    EXPECT_TRUE(n->reportingMta.isEmpty());
    ASSERT_EQ(n->recipients.size(), 2);
    expectRecipient(n->recipients[0],
                    {"kimura@example.com", "", Action::Failed, "5.1.1", "550 5.1.1 unknown", "", true});
    EXPECT_EQ(n->recipients[1].action, Action::Unknown) << "cut off after its address";

    // Every cut of a report reads without a crash.
    const QByteArray whole = bounce("gmail.eml");
    for (qsizetype cut = 0; cut < whole.size(); cut += 7)
        readDeliveryNotice(whole.left(cut));
}

TEST(DeliveryNoticeHostile, DepthCountsAndSizesAreBounded)
{
    QElapsedTimer t;
    t.start();
    // Deep nesting, over which GMime's parser would take ever longer for each level.
    QByteArray nested;
    for (int i = 0; i < 300000; ++i)
        nested += "Content-Type: multipart/mixed; boundary=b" + QByteArray::number(i) + "\n\n--b" +
                  QByteArray::number(i) + '\n';
    readDeliveryNotice(nested);
    readDeliveryNotice(QByteArray("Content-Type: message/rfc822\n\n").repeated(100000));

    QByteArray many =
        "From: MAILER-DAEMON@x.example\nContent-Type: multipart/report; report-type=delivery-status; "
        "boundary=b\n\n--b\nContent-Type: message/delivery-status\n\nReporting-MTA: dns; x\n\n"
        "Final-Recipient: rfc822; long@example.com\nAction: failed\nDiagnostic-Code: smtp; 550" +
        QByteArray("\n more").repeated(400000) + "\n\n";
    for (int i = 0; i < 5000; ++i)
        many += "Final-Recipient: rfc822; u" + QByteArray::number(i) + "@example.com\nAction: failed\n\n";
    many += "--b--\n";
    const std::optional<DeliveryNotice> n = readDeliveryNotice(many);
    ASSERT_TRUE(n);
    ASSERT_EQ(n->recipients.size(), 1000);
    EXPECT_LE(n->recipients[0].diagnostic.size(), 4096);
    EXPECT_TRUE(n->recipients[0].diagnostic.startsWith(QLatin1String("550 more more")));

    // Texts that a quadratic scan would take minutes over.
    readDeliveryNotice("From: MAILER-DAEMON@x.example\n\n" + QByteArray("x 550 a@b.c@").repeated(100000));
    QByteArray lines = "From: MAILER-DAEMON@x.example\n\n";
    for (int i = 0; i < 40000; ++i)
        lines += "<<< 550 5.1.1 <u" + QByteArray::number(i) + "@example.com> not yet been delivered\n";
    const std::optional<DeliveryNotice> text = readDeliveryNotice(lines);
    ASSERT_TRUE(text);
    EXPECT_EQ(text->recipients.size(), 100);
    readDeliveryNotice("Content-Type: multipart/report; report-type=delivery-status; boundary=b\n\n--b\n"
                       "Content-Type: message/delivery-status\n\nFinal-Recipient: utf-8; " +
                       QByteArray("\\x{").repeated(2000000) + "\n--b--\n");
    EXPECT_LT(t.elapsed(), 5000);
}
