// Cost of composing one merged message (GMime), apart from the network.
#include "platform/mail/MailComposer.h"
#include "platform/mail/MailSession.h"
#include "platform/mail/MimeComposer.h"

#include <benchmark/benchmark.h>

namespace
{

QString japaneseBody()
{
    QString body = QStringLiteral("株式会社サンプル\r\n山田 太郎 様\r\n\r\n");
    while (body.toUtf8().size() < 2000)
        body +=
            QStringLiteral("新製品の特長と導入事例を担当者よりご説明いたします。ぜひご参加ください。\r\n");
    return body;
}

MessageFields fields()
{
    return {QStringLiteral("株式会社ベルモラ商事 営業部"),
            QStringLiteral("sales@example.com"),
            QStringLiteral("user1@example.com"),
            QStringLiteral("【ご案内】山田 太郎様 第3回 製品説明会のお知らせ"),
            japaneseBody(),
            false,
            {}};
}

// Every message from scratch.
void BM_BuildMessage(benchmark::State &state)
{
    const MessageFields f = fields();
    for (auto _ : state) {
        BuiltMessage m = buildMimeMessage(f);
        benchmark::DoNotOptimize(m.bytes.data());
    }
}
BENCHMARK(BM_BuildMessage);

// As SendMail does it: one composer for the run, recipient and subject changing.
void BM_ComposeMergedMessages(benchmark::State &state)
{
    MessageFields f = fields();
    MimeComposer composer;
    int row = 0;
    const QString subject = f.subject;
    for (auto _ : state) {
        f.recipientAddress = QStringLiteral("user%1@example.com").arg(++row);
        f.subject = subject + QString::number(row);
        BuiltMessage m = composer.compose(f);
        benchmark::DoNotOptimize(m.bytes.data());
    }
}
BENCHMARK(BM_ComposeMergedMessages);

// As a mail session does it: the sender's header made once, the recipient and subject changing.
void BM_SessionComposer(benchmark::State &state)
{
    const MessageFields f = fields();
    QString error;
    const std::unique_ptr<MailComposer> composer =
        MailComposer::create(f.senderName, f.senderAddress, {}, &error);
    int row = 0;
    for (auto _ : state) {
        ++row;
        MailContent mail;
        mail.subject = f.subject + QString::number(row);
        mail.body = f.body;
        BuiltMessage m = composer->compose(mail, QStringLiteral("user%1@example.com").arg(row));
        benchmark::DoNotOptimize(m.bytes.data());
    }
}
BENCHMARK(BM_SessionComposer);

} // namespace

BENCHMARK_MAIN();
