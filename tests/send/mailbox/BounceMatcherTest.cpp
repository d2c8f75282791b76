#include "send/mailbox/BounceMatcher.h"
#include "TestEnvironment.h"

#include <QFile>

#include <gtest/gtest.h>

namespace
{

using Action = DeliveryNotice::Action;
using By = BounceMatch::By;

// A run of rows 1..5; rows 2 and 4 went to one address.
BounceMatcher run()
{
    return BounceMatcher({{1, "id1@example.jp", QStringLiteral("ichiro@example.com")},
                          {2, "id2@example.jp", QStringLiteral("hanako@Example.NET")},
                          {3, "<id3@example.jp>", QStringLiteral("jiro@example.org")},
                          {4, "id4@example.jp", QStringLiteral("hanako@example.net")},
                          {5, "id5@example.jp", QStringLiteral("taro@例え.jp")}},
                         "vmR7-");
}

DeliveryNotice notice(QByteArray messageId, QByteArray envid, const QString &address,
                      Action action = Action::Failed, const char *status = "5.1.1")
{
    DeliveryNotice n;
    n.originalMessageId = std::move(messageId);
    n.envelopeId = std::move(envid);
    DeliveryNotice::Recipient r;
    r.address = address;
    r.action = action;
    r.status = QLatin1String(status);
    n.recipients += r;
    return n;
}

std::vector<int> rowsOf(const std::vector<BounceMatch> &matches)
{
    std::vector<int> rows;
    for (const BounceMatch &m : matches)
        rows.push_back(m.row);
    return rows;
}

} // namespace

TEST(BounceMatcher, ByMessageIdBeforeEnvelopeIdAndAddress)
{
    const BounceMatcher m = run();
    const std::vector<BounceMatch> found =
        m.match(notice("id3@example.jp", "vmR7-1", QStringLiteral("ichiro@example.com")));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].row, 3) << "a stored <id> matches the bare id";
    EXPECT_EQ(found[0].by, By::MessageId);
    EXPECT_TRUE(found[0].permanent);
    EXPECT_EQ(found[0].recipient.address, QLatin1String("ichiro@example.com"));

    // A notice read from a file, end to end.
    QFile file(testDataPath(QStringLiteral("bounces/postfix.eml")));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const BounceMatcher withPostfix(
        {{7, "lxk2p3q0.1b.9s3kd0a1.2n4@example.jp", QStringLiteral("nobody@example.com")}}, "vm-7f3a2c-");
    const std::vector<BounceMatch> postfix = withPostfix.match(readDeliveryNotice(file.readAll()).value());
    EXPECT_EQ(rowsOf(postfix), (std::vector<int>{7, 7})) << "both failed recipients of the one mail";
}

TEST(BounceMatcher, ByEnvelopeIdOfThisRunOnly)
{
    const BounceMatcher m = run();
    const std::vector<BounceMatch> found =
        m.match(notice("other@example.jp", BounceMatcher::envelopeIdOf("vmR7-", 4), QString()));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].row, 4);
    EXPECT_EQ(found[0].by, By::EnvelopeId);
    // Another run's prefix, a row that is not in the run, or a number written otherwise: nothing.
    for (const char *envid : {"vmR8-4", "vmR7-9", "vmR7-04", "vmR7-4x", "vmR7-", "vmR7-99999999999"})
        EXPECT_TRUE(m.match(notice({}, envid, QString())).empty()) << envid;
    EXPECT_TRUE(
        BounceMatcher({{1, "a@x", QStringLiteral("a@x.example")}}, {}).match(notice({}, "1", {})).empty())
        << "a run without ENVIDs";
}

TEST(BounceMatcher, ByAddressDomainInAnyCaseLocalPartAsWritten)
{
    const BounceMatcher m = run();
    std::vector<BounceMatch> found = m.match(notice({}, {}, QStringLiteral("hanako@EXAMPLE.net")));
    EXPECT_EQ(rowsOf(found), (std::vector<int>{2, 4})) << "every row sent to the address";
    EXPECT_EQ(found[0].by, By::Address);
    EXPECT_TRUE(m.match(notice({}, {}, QStringLiteral("Ichiro@example.com"))).empty());
    EXPECT_EQ(rowsOf(m.match(notice({}, {}, QStringLiteral("taro@xn--r8jz45g.jp")))), std::vector<int>{5})
        << "the domain in ACE form";

    // Final-Recipient rewritten by the remote side: the address sent to is Original-Recipient.
    DeliveryNotice aliased = notice({}, {}, QStringLiteral("mailbox17@store.example.org"));
    aliased.recipients[0].originalAddress = QStringLiteral("jiro@example.org");
    EXPECT_EQ(rowsOf(m.match(aliased)), std::vector<int>{3});
}

TEST(BounceMatcher, DelayedIsMatchedButNotPermanent)
{
    const BounceMatcher m = run();
    const std::vector<BounceMatch> found =
        m.match(notice("id1@example.jp", {}, QStringLiteral("ichiro@example.com"), Action::Delayed, "4.4.1"));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_FALSE(found[0].permanent);
    EXPECT_EQ(found[0].recipient.action, Action::Delayed);
    EXPECT_FALSE(m.match(notice("id1@example.jp", {}, {}, Action::Failed, "4.4.7"))[0].permanent);
}

TEST(BounceMatcher, UnknownMailsAndOtherActionsMatchNothing)
{
    const BounceMatcher m = run();
    EXPECT_TRUE(m.match(notice("nope@example.jp", "zz-1", QStringLiteral("nobody@example.com"))).empty());
    for (const Action a : {Action::Delivered, Action::Relayed, Action::Expanded, Action::Unknown})
        EXPECT_TRUE(m.match(notice("id1@example.jp", {}, QStringLiteral("ichiro@example.com"), a)).empty());
    EXPECT_TRUE(m.match(DeliveryNotice{}).empty()) << "no recipients";
}

TEST(BounceMatcher, CopiesAreFoundThroughTheirMailsIdOnly)
{
    const BounceMatcher m = run();
    const QString copy = QStringLiteral("boss@example.com");
    EXPECT_TRUE(m.match(notice({}, {}, copy)).empty()) << "not a main recipient of the run";
    DeliveryNotice n = notice("id2@example.jp", {}, copy);
    DeliveryNotice::Recipient delivered;
    delivered.address = QStringLiteral("hanako@example.net");
    delivered.action = Action::Delivered;
    n.recipients += delivered;
    const std::vector<BounceMatch> found = m.match(n);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].row, 2);
    EXPECT_EQ(found[0].recipient.address, copy) << "the copy failed, not the row's main recipient";
}
