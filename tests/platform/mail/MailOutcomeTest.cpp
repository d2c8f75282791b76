#include "platform/mail/MailOutcome.h"

#include <QSet>
#include <QStringList>

#include <gtest/gtest.h>

namespace
{

using Kind = MailOutcome::Kind;

// Replies the large providers and common servers give, as the reply parser joins them.
TEST(SmtpReplyClassification, ProviderRepliesByStage)
{
    struct Case {
        SmtpStage stage;
        const char *reply;
        Kind kind;
    };
    const Case cases[] = {
        {SmtpStage::Mail, "421 4.7.0 Try again later, closing connection.", Kind::Temporary},
        {SmtpStage::EndOfData, "421 4.7.0 Try again later, closing connection.", Kind::Temporary},
        {SmtpStage::Mail, "432 4.3.2 STOREDRV.ClientSubmit; sender thread limit exceeded", Kind::Temporary},
        {SmtpStage::Mail, "451 4.3.0 <info@example.com>: Temporary lookup failure", Kind::Temporary},
        {SmtpStage::Rcpt, "452 4.5.3 Too many recipients", Kind::Temporary},
        {SmtpStage::EndOfData, "554 5.2.0 STOREDRV.Submission.Exception:SubmissionQuotaExceededException",
         Kind::QuotaOrPolicy},
        {SmtpStage::EndOfData, "550 5.4.5 Daily user sending quota exceeded.", Kind::QuotaOrPolicy},
        {SmtpStage::Mail, "550 5.4.5 Daily user sending quota exceeded.", Kind::QuotaOrPolicy},
        {SmtpStage::Mail, "450 4.7.0 Daily sending quota reached", Kind::QuotaOrPolicy},
        {SmtpStage::Auth, "535 5.7.8 Username and Password not accepted", Kind::AuthRefused},
        {SmtpStage::Auth, "535 5.7.139 Authentication unsuccessful, basic authentication is disabled",
         Kind::AuthRefused},
        {SmtpStage::Mail, "550 5.7.30 Basic authentication is not supported for Client Submission",
         Kind::AuthRefused},
        {SmtpStage::Auth, "534 5.7.9 Application-specific password required", Kind::AuthRefused},
        {SmtpStage::Mail, "530 5.7.57 Client not authenticated to send mail", Kind::AuthRefused},
        {SmtpStage::Mail, "530 5.7.0 Authentication required", Kind::AuthRefused},
        // A login refused for now keeps its password and is tried again later (RFC 4954).
        {SmtpStage::Auth, "454 4.7.0 Temporary authentication failure", Kind::Temporary},
        {SmtpStage::Auth, "454 4.7.0 Too many login attempts, please try again later.", Kind::Temporary},
        {SmtpStage::Auth, "432 4.7.12 A password transition is needed", Kind::Temporary},
        {SmtpStage::Rcpt, "550 5.1.1 <x@y>: Recipient address rejected: User unknown", Kind::Refused},
        {SmtpStage::Rcpt, "552 5.2.2 Mailbox full", Kind::Refused},
        {SmtpStage::Rcpt, "552 5.2.2 <x@y>: Recipient address rejected: Mailbox over quota", Kind::Refused},
        {SmtpStage::Rcpt, "550 5.7.1 Relaying denied", Kind::Refused},
        {SmtpStage::Mail, "550 5.7.1 <info@example.com>: sender not allowed", Kind::QuotaOrPolicy},
        {SmtpStage::Mail, "554 5.7.0 Your account has been blocked", Kind::QuotaOrPolicy},
        {SmtpStage::Rcpt,
         "550 5.7.708 Service unavailable. Access denied, traffic not accepted from this IP.",
         Kind::QuotaOrPolicy},
        {SmtpStage::Mail, "552 5.3.4 Message size exceeds fixed limit", Kind::Refused},
        {SmtpStage::EndOfData, "554 5.7.1 Message rejected as spam", Kind::Refused},
        {SmtpStage::EndOfData, "451 4.3.0 Error: queue file write error", Kind::Temporary},
        {SmtpStage::Data, "554 5.5.1 Error: no valid recipients", Kind::Refused},
        {SmtpStage::Connect, "554 5.3.2 Service currently unavailable", Kind::Unreachable},
        {SmtpStage::Connect, "554 5.7.1 Access denied", Kind::QuotaOrPolicy},
        {SmtpStage::Connect, "450 4.3.2 Try later", Kind::Temporary},
        {SmtpStage::Data, "250 2.0.0 Ok", Kind::Temporary}, // out of step: the mail did not go
        // Out of step after the end of data: the server may have taken the mail.
        {SmtpStage::EndOfData, "354 End data with <CR><LF>.<CR><LF>", Kind::MayHaveArrived},
    };
    for (const Case &c : cases) {
        const QString reply = QString::fromUtf8(c.reply);
        const int code = reply.left(3).toInt();
        const QString enhanced = enhancedStatusCode(code, reply);
        EXPECT_EQ(int(classifySmtpReply(c.stage, code, enhanced, reply)), int(c.kind))
            << "stage " << int(c.stage) << ": " << c.reply;
    }

    EXPECT_EQ(enhancedStatusCode(550, u"550 5.1.1 <x@y>: unknown"), "5.1.1");
    EXPECT_EQ(enhancedStatusCode(550, u"550 4.1.1 class differs"), "");
    EXPECT_EQ(enhancedStatusCode(550, u"550 Mailbox unavailable"), "");
    EXPECT_EQ(enhancedStatusCode(550, u"550"), "");
}

// Each refusal that comes from how the account may sign in says what to do about it.
TEST(SmtpReplyClassification, AuthenticationRefusalsAreExplainedWithTheWayOut)
{
    struct Case {
        const char *reply;
        bool oauth;
        const char *says;
    };
    const Case cases[] = {
        {"535 5.7.139 Authentication unsuccessful, basic authentication is disabled", false, "基本認証"},
        {"550 5.7.30 Basic authentication is not supported for Client Submission", false, "smtp+oauth://"},
        {"534 5.7.9 Application-specific password required", false, "アプリ パスワード"},
        {"534-5.7.14 Please log in with your web browser and then try again", false, "ブラウザー"},
        {"535 5.7.3 Authentication unsuccessful", false, "SMTP AUTH"},
        {"530 5.7.57 Client not authenticated to send mail", false, "ユーザー名"},
        {"530 5.7.0 Authentication Required", false, "ユーザー名"},
        {"535 5.7.8 Username and Password not accepted", false, "アプリ パスワード"},
        {"454 4.7.0 Temporary authentication failure", false, "時間をおいて"},
        {"535 5.7.3 Authentication unsuccessful", true, "もう一度サインイン"},
    };
    QStringList seen;
    for (const Case &c : cases) {
        const QString reply = QString::fromUtf8(c.reply);
        const int code = reply.left(3).toInt();
        const QString advice =
            authReplyAdvice(code, enhancedStatusCode(code, QString(reply).replace(3, 1, u' ')), c.oauth);
        EXPECT_TRUE(advice.contains(QString::fromUtf8(c.says))) << c.reply << ": " << advice.toStdString();
        seen += advice;
    }
    // Basic authentication switched off, an app password, a login stopped by Google and a wrong
    // password are not one and the same message.
    EXPECT_EQ(QSet<QString>(seen.begin(), seen.end()).size(), 9);
}

} // namespace
