#include "send/TestSend.h"

#include "body/MailMerger.h"
#include "platform/Text.h"
#include "platform/formats/TextFile.h"
#include "platform/mail/MailArguments.h"

namespace
{

UserDialogs::Message refusalOf(const Failure &failure)
{
    return {failure.description, QString::number(failure.number), UserDialogs::Icon::Critical,
            UserDialogs::Buttons::Ok};
}

} // namespace

QString senderOwnAddress(const QString &senderText)
{
    const MailSender sender = parseSender(senderText);
    return sender.error.isEmpty() ? sender.address : QString();
}

TestSendPlan planTestSend(const RecipientTable &table, int row, const SendInputs &inputs, const QString &to)
{
    TestSendPlan plan;
    const SendCheck check = checkSendInputs(inputs, &fileExists);
    if (check.refusal) {
        plan.refusal = check.refusal;
        return plan;
    }
    if (row < 1 || row > table.lastRow()) {
        plan.refusal = refusalOf(Failure::testSendRow(row, qMax(0, table.lastRow())));
        return plan;
    }
    const QString destination = trimSpaces(to);
    if (const MailRecipient r = mailRecipientOf(destination); !r.error.isEmpty()) {
        plan.refusal = refusalOf(Failure::testSendAddress(destination, r.reason));
        return plan;
    }
    // Merged exactly as a run merges the row.
    const QString body = QString(inputs.body).replace(u'\n', QStringLiteral("\r\n"));
    const MailMerger merger(table, inputs.subject, body);
    Result<MergedMail> merged = merger.mail(row);
    if (!merged) {
        plan.refusal = refusalOf(merged.failure());
        return plan;
    }
    plan.mail.target =
        mailTargetOf(inputs.server, inputs.sender, check.attachmentList.split(u'\t', Qt::SkipEmptyParts));
    plan.mail.content.address = addressElement(destination);
    plan.mail.content.subject = TestSubjectPrefix + merged->subject;
    plan.mail.content.body = std::move(merged->body);
    plan.mail.content.html = inputs.html;
    return plan;
}

TestSendOutcome sendTestMail(const TestMail &mail)
{
    const QString failed = QStringLiteral("テストメールを送信できませんでした。\r\n\r\n");
    Result<std::unique_ptr<MailSession>> session = MailSession::open(mail.target);
    if (!session)
        return {false, failed + session.failure().description};
    const MailOutcome outcome = session.value()->send(mail.content);
    if (!outcome.accepted())
        return {false, failed + outcome.description};
    const QString what = QStringLiteral("\r\n宛先：%1\r\n件名：%2\r\n\r\n宛先の表の送信状況は変わりません。")
                             .arg(mailRecipientOf(mail.content.address).address, mail.content.subject);
    if (session.value()->isOutbox())
        return {true, QStringLiteral("テストメールを「%1」に保存しました（送信はしていません）。")
                              .arg(session.value()->outboxFolder()) +
                          what};
    return {true, QStringLiteral("テストメールを送信しました。") + what};
}
