// The notices that come back from a run of 100 000 mails: 10 000 messages as fetched from the
// inbox (about 3 KB each; the standard report of Postfix, Exchange Online and Gmail, delay
// warnings, the qmail text and a mail system's plain text), each read and matched to its rows.
// Some are found by Message-ID, some by ENVID, some by address only.
#include "send/mailbox/BounceMatcher.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

namespace
{

constexpr int Mails = 100000;
constexpr int Notices = 10000;
const QByteArray Prefix = "vmB1-";

QByteArray idOf(int row)
{
    return "lxk2p" + QByteArray::number(row, 36) + ".1b.9s3kd0a1.2n4@example.jp";
}

QByteArray addressOf(int row)
{
    return "user" + QByteArray::number(row) + "@example" + QByteArray::number(row % 97) + ".com";
}

// The returned mail's headers, long as real ones are (Received chains, a DKIM signature).
QByteArray returnedHeaders(int row, bool withId)
{
    QByteArray h = "Return-Path: <info@example.jp>\n";
    for (int hop = 0; hop < 6; ++hop)
        h += "Received: from relay" + QByteArray::number(hop) + ".example.jp (relay" +
             QByteArray::number(hop) + ".example.jp [192.0.2." + QByteArray::number(10 + hop) +
             "])\n\tby mx.example.net (Postfix) with ESMTPS id 4WCz1x3Qk9z9sW" + QByteArray::number(hop) +
             "\n\tfor <" + addressOf(row) + ">; Tue,  2 Jul 2024 10:15:02 +0900 (JST)\n";
    h += "DKIM-Signature: v=1; a=rsa-sha256; c=relaxed/relaxed; d=example.jp; s=sel1;\n"
         "\th=from:to:subject:date:message-id:mime-version;\n\tbh=47DEQpj8HBSa+/"
         "TImW+5JCeuQeRkm5NMpJWZG3hSuFU=;\n"
         "\tb=" +
         QByteArray(300, 'A') + "\n";
    h += "From: =?UTF-8?B?5bqD5aCx6YOo?= <info@example.jp>\nTo: " + addressOf(row) +
         "\nSubject: =?UTF-8?B?44GU5qGI5YaF?=\nDate: Tue, 02 Jul 2024 10:15:01 +0900\n";
    if (withId)
        h += "Message-ID: <" + idOf(row) + ">\n";
    return h + "MIME-Version: 1.0\nContent-Type: text/plain; charset=UTF-8\n";
}

QByteArray report(int row, int kind)
{
    const bool delayed = kind == 3;
    const bool withId = kind != 2; // kind 2: found by its ENVID
    const QByteArray b = "b" + QByteArray::number(row);
    QByteArray m = "From: MAILER-DAEMON@mail.example.jp (Mail Delivery System)\nTo: info@example.jp\n"
                   "Subject: Undelivered Mail Returned to Sender\nMIME-Version: 1.0\n"
                   "Content-Type: multipart/report; report-type=delivery-status;\n\tboundary=\"" +
                   b + "\"\n\n--" + b + "\nContent-Type: ";
    m += kind == 1 ? "multipart/alternative; boundary=\"a" + b + "\"\n\n--a" + b +
                         "\nContent-Type: text/plain\n\nYour message couldn't be delivered.\n--a" + b +
                         "\nContent-Type: text/html\n\n<html><body><p>Your message couldn't be "
                         "delivered.</p></body></html>\n--a" +
                         b + "--\n"
                   : "text/plain; charset=us-ascii\n\nThis is the mail system at host mail.example.jp.\n\n"
                     "I'm sorry to have to inform you that your message could not\nbe delivered to one or "
                     "more recipients.\n";
    m += "\n--" + b +
         "\nContent-Type: message/delivery-status\n\nReporting-MTA: dns; mail.example.jp\n"
         "Original-Envelope-Id: " +
         BounceMatcher::envelopeIdOf(Prefix, row) +
         "\nArrival-Date: Tue,  2 Jul 2024 10:15:02 +0900 (JST)\n\nFinal-Recipient: rfc822; " +
         addressOf(row) + "\nOriginal-Recipient: rfc822;" + addressOf(row) +
         "\nAction: " + (delayed ? "delayed" : "failed") + "\nStatus: " + (delayed ? "4.4.1" : "5.1.1") +
         "\nRemote-MTA: dns; mx.example.net\nDiagnostic-Code: smtp; " +
         (delayed ? "451 4.4.1 try again later"
                  : "550 5.1.1 <" + addressOf(row) +
                        ">: Recipient address\n    "
                        "rejected: User unknown in virtual mailbox table") +
         "\n\n--" + b + "\nContent-Type: text/rfc822-headers\n\n" + returnedHeaders(row, withId) + "\n--" +
         b + "--\n";
    return m;
}

QByteArray qmailText(int row)
{
    return "From: MAILER-DAEMON@mx3.example.net\nTo: info@example.jp\nSubject: failure notice\n\n"
           "Hi. This is the qmail-send program at mx3.example.net.\nI'm afraid I wasn't able to deliver your "
           "message to the following addresses.\nThis is a permanent error; I've given up. Sorry it didn't "
           "work "
           "out.\n\n<" +
           addressOf(row) + ">:\n203.0.113.44 does not like recipient.\nRemote host said: 550 5.1.1 <" +
           addressOf(row) +
           ">... User unknown\nGiving up on 203.0.113.44.\n\n"
           "--- Below this line is a copy of the message.\n\n" +
           returnedHeaders(row, true) + "\nご案内\n";
}

// A text form without the returned mail's id: found by its address only.
QByteArray plainText(int row)
{
    return "From: Mail Delivery Subsystem <mailer-daemon@googlemail.com>\nTo: info@example.jp\n"
           "Subject: Delivery Status Notification (Failure)\n\nDelivery to the following recipient failed "
           "permanently:\n\n     " +
           addressOf(row) +
           "\n\nTechnical details of permanent failure:\nGoogle tried to deliver your message, but it was "
           "rejected by the server for the recipient domain.\n\nThe error that the other server returned "
           "was:\n"
           "550-5.1.1 The email account that you tried to reach does not exist. Please try\n"
           "550-5.1.1 double-checking the recipient's email address for typos or\n550 5.1.1 unnecessary "
           "spaces.\n\n----- Original message -----\n\n" +
           returnedHeaders(row, false);
}

struct Data {
    std::vector<SentMail> mails;
    std::vector<QByteArray> notices;
    qint64 bytes = 0;
};

const Data &data()
{
    static const Data d = [] {
        Data d;
        d.mails.reserve(Mails);
        for (int row = 1; row <= Mails; ++row)
            d.mails.push_back({row, idOf(row), QString::fromLatin1(addressOf(row))});
        for (int i = 0; i < Notices; ++i) {
            const int row = 1 + int((quint64(i) * 7919) % Mails);
            const int kind = i % 6;
            d.notices.push_back(kind < 4 ? report(row, kind) : kind == 4 ? qmailText(row) : plainText(row));
            d.bytes += d.notices.back().size();
        }
        return d;
    }();
    return d;
}

void BM_MatcherBuild(benchmark::State &state)
{
    for (auto _ : state) {
        BounceMatcher m(data().mails, Prefix);
        benchmark::DoNotOptimize(m);
    }
}
BENCHMARK(BM_MatcherBuild)->Unit(benchmark::kMillisecond)->Repetitions(3)->ReportAggregatesOnly(true);

void BM_ReadAndMatchAll(benchmark::State &state)
{
    const BounceMatcher matcher(data().mails, Prefix);
    size_t matched = 0;
    for (auto _ : state) {
        matched = 0;
        for (const QByteArray &message : data().notices)
            if (const std::optional<DeliveryNotice> n = readDeliveryNotice(message))
                matched += matcher.match(*n).size();
    }
    if (matched != size_t(Notices))
        state.SkipWithError("not every notice found its row");
    state.counters["notices"] = Notices;
    state.counters["avg_bytes"] = double(data().bytes) / Notices;
}
BENCHMARK(BM_ReadAndMatchAll)->Unit(benchmark::kMillisecond)->Repetitions(3)->ReportAggregatesOnly(true);

} // namespace

BENCHMARK_MAIN();
