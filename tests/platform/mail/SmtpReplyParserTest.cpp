#include "platform/mail/SmtpReplyParser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

struct Parsed {
    std::vector<std::pair<int, std::string>> replies;
    bool malformed = false;
};

// Feeds `bytes` in pieces of the given sizes (the rest in one piece) and collects the replies.
Parsed parse(const QByteArray &bytes, const std::vector<qsizetype> &pieces)
{
    SmtpReplyParser parser;
    Parsed p;
    qsizetype at = 0;
    auto drain = [&] {
        for (;;) {
            SmtpReply r;
            const SmtpReplyParser::Result result = parser.next(&r);
            if (result == SmtpReplyParser::Result::Malformed)
                p.malformed = true;
            if (result != SmtpReplyParser::Result::Reply)
                return;
            p.replies.emplace_back(r.code, r.text.toStdString());
        }
    };
    for (const qsizetype size : pieces) {
        parser.append(bytes.constData() + at, size);
        at += size;
        drain();
    }
    parser.append(bytes.constData() + at, bytes.size() - at);
    drain();
    return p;
}

// The replies to a pipelined MAIL, RCPT and DATA, one of them multi-line.
const QByteArray Pipelined = "250 2.1.0 Ok\r\n"
                             "550-5.1.1 <nobody@example.com>: Recipient address rejected:\r\n"
                             "550 5.1.1 User unknown\r\n"
                             "554 5.5.1 Error: no valid recipients\r\n";
const std::vector<std::pair<int, std::string>> PipelinedReplies = {
    {250, "250 2.1.0 Ok"},
    {550, "550 5.1.1 <nobody@example.com>: Recipient address rejected: 5.1.1 User unknown"},
    {554, "554 5.5.1 Error: no valid recipients"},
};

TEST(SmtpReplies, RepliesAreTheSameHoweverTheBytesArrive)
{
    EXPECT_EQ(parse(Pipelined, {}).replies, PipelinedReplies) << "all in one read";
    for (qsizetype cut = 1; cut < Pipelined.size(); ++cut) {
        const Parsed p = parse(Pipelined, {cut});
        EXPECT_FALSE(p.malformed) << "split at " << cut;
        EXPECT_EQ(p.replies, PipelinedReplies) << "split at " << cut;
    }
    std::vector<qsizetype> bytewise(Pipelined.size(), 1);
    EXPECT_EQ(parse(Pipelined, bytewise).replies, PipelinedReplies) << "one byte at a time";
}

void append(SmtpReplyParser &parser, QByteArrayView bytes)
{
    parser.append(bytes.data(), bytes.size());
}

TEST(SmtpReplies, IncompleteReplyWaitsForItsLastLine)
{
    SmtpReplyParser parser;
    SmtpReply r;
    append(parser, "250-first\r\n250-second\r\n250 la");
    EXPECT_EQ(parser.next(&r), SmtpReplyParser::Result::Incomplete);
    append(parser, "st\r\n354 go");
    ASSERT_EQ(parser.next(&r), SmtpReplyParser::Result::Reply);
    EXPECT_EQ(r.code, 250);
    EXPECT_EQ(r.text, "250 first second last");
    EXPECT_EQ(parser.next(&r), SmtpReplyParser::Result::Incomplete);
    EXPECT_TRUE(parser.hasPending());
    append(parser, "\n"); // a bare LF ends a line too
    ASSERT_EQ(parser.next(&r), SmtpReplyParser::Result::Reply);
    EXPECT_EQ(r.code, 354);
    EXPECT_EQ(r.text, "354 go");
    EXPECT_FALSE(parser.hasPending());

    append(parser, "221\r\n250 \r\n"); // a code without text, with or without the space
    for (const int code : {221, 250}) {
        ASSERT_EQ(parser.next(&r), SmtpReplyParser::Result::Reply);
        EXPECT_EQ(r.code, code);
        EXPECT_EQ(r.text, QByteArray::number(code));
    }
}

TEST(SmtpReplies, WhatIsNoReplyIsRecognised)
{
    const QByteArray bad[] = {
        "hello\r\n",                   // no code
        "25 short\r\n",                // two digits
        "250x Ok\r\n",                 // neither space nor hyphen after the code
        "250-first\r\n550 second\r\n", // code changes within one reply
        "000-x\r\n250 ok\r\n",         // 000 is a code as well
    };
    for (const QByteArray &b : bad)
        EXPECT_TRUE(parse(b, {}).malformed) << b.toStdString();
    EXPECT_TRUE(parse(QByteArray(70 * 1024, '2'), {}).malformed) << "endless line";
}

} // namespace
