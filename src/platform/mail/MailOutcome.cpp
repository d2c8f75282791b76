#include "platform/mail/MailOutcome.h"

#include <QStringList>

#include <curl/curl.h>

namespace
{

using Kind = MailOutcome::Kind;

struct Enhanced {
    int klass = 0, subject = -1, detail = -1; // -1: no enhanced code
    bool is(int s, int d) const { return subject == s && detail == d; }
};

// "x.y.z": class 2, 4 or 5, subject and detail of one to three digits.
Enhanced parseEnhanced(QStringView code)
{
    Enhanced e;
    int part = 0, value = 0, digits = 0;
    int values[3] = {};
    for (const QChar c : code) {
        if (c >= u'0' && c <= u'9') {
            value = value * 10 + (c.unicode() - u'0');
            if (++digits > 3)
                return {};
        } else if (c == u'.' && digits > 0 && part < 2) {
            values[part++] = value;
            value = digits = 0;
        } else {
            return {};
        }
    }
    if (part != 2 || digits == 0)
        return {};
    values[2] = value;
    e.klass = values[0];
    e.subject = values[1];
    e.detail = values[2];
    return e;
}

// Authentication refused or required (RFC 4954 and what the large providers answer).
bool isAuthentication(int code, const Enhanced &e)
{
    if (code == 530 || code == 534 || code == 535 || code == 538)
        return true;
    if (e.subject != 7)
        return false;
    switch (e.detail) {
    case 3:   // "STARTTLS is required" / "Cannot achieve Exchange Server authentication"
    case 8:   // credentials invalid
    case 9:   // mechanism too weak, or an application password is required
    case 11:  // encryption required for the mechanism
    case 12:  // password transition needed
    case 30:  // basic authentication not supported for client submission
    case 57:  // client not authenticated to send mail
    case 139: // authentication unsuccessful, basic authentication disabled
        return true;
    default: return false;
    }
}

// Refusals of the account or the client as a whole, whatever command they answer: the IP or the
// tenant blocked, the account banned for abuse.
bool isAccountPolicy(const Enhanced &e)
{
    if (e.klass != 5 || e.subject != 7)
        return false;
    return e.detail == 501 || e.detail == 511 || e.detail == 705 || e.detail == 708 || e.detail == 750 ||
           (e.detail >= 606 && e.detail <= 649);
}

bool mentionsQuota(QStringView text)
{
    return text.contains(QLatin1String("quota"), Qt::CaseInsensitive);
}

} // namespace

QString enhancedStatusCode(int code, QStringView replyText)
{
    // The text starts with the reply code itself.
    QStringView rest = replyText;
    if (rest.size() >= 3 && rest.left(3) == QString::number(code))
        rest = rest.mid(3);
    while (rest.startsWith(u' '))
        rest = rest.mid(1);
    const qsizetype end = rest.indexOf(u' ');
    const QStringView candidate = end < 0 ? rest : rest.left(end);
    const Enhanced e = parseEnhanced(candidate);
    if (e.subject < 0 || e.klass != code / 100)
        return {};
    return candidate.toString();
}

MailOutcome::Kind classifySmtpReply(SmtpStage stage, int code, QStringView enhancedCode, QStringView text)
{
    // Anything but a refusal means a server out of step with the dialogue. Before the end of the
    // data the mail did not go; after it, the server may have taken the mail all the same.
    if (code < 400 || code > 599)
        return stage == SmtpStage::EndOfData ? Kind::MayHaveArrived : Kind::Temporary;
    if (code == 421)
        return Kind::Temporary;
    const Enhanced e = parseEnhanced(enhancedCode);
    const bool permanent = code >= 500;
    // A login refused for now (454 4.7.0, "too many login attempts") is tried again later with the
    // same password; asking for another would not help (RFC 4954).
    if (stage == SmtpStage::Auth || isAuthentication(code, e))
        return permanent ? Kind::AuthRefused : Kind::Temporary;
    if (isAccountPolicy(e) || (permanent && e.is(4, 5)))
        return Kind::QuotaOrPolicy;
    // "Other" codes say nothing about the cause; a quota named in the text is the account's limit.
    // Without any enhanced code a recipient's full mailbox reads the same, so RCPT is left out.
    if (mentionsQuota(text) &&
        (e.is(2, 0) || e.is(7, 0) || e.is(0, 0) || (e.subject < 0 && stage != SmtpStage::Rcpt)))
        return Kind::QuotaOrPolicy;
    switch (stage) {
    case SmtpStage::Connect:
        if (!permanent)
            return Kind::Temporary;
        return e.subject == 7 ? Kind::QuotaOrPolicy : Kind::Unreachable;
    case SmtpStage::Mail:
        if (!permanent)
            return Kind::Temporary;
        // Too large, or a parameter of this one mail: the next mail may go. Anything else refuses
        // the sender or the client, and so every mail of the run.
        if (e.is(3, 4) || e.subject == 5 || (e.subject < 0 && (code == 552 || code == 555)))
            return Kind::Refused;
        return Kind::QuotaOrPolicy;
    case SmtpStage::Auth: break;
    case SmtpStage::Rcpt:
    case SmtpStage::Data:
    case SmtpStage::EndOfData: return permanent ? Kind::Refused : Kind::Temporary;
    }
    return permanent ? Kind::Refused : Kind::Temporary;
}

MailOutcome heldBackOutcome()
{
    MailOutcome o;
    o.kind = Kind::LocalFailure;
    o.description = QStringLiteral("送信の記録を書き込めないため、このメールは送信しませんでした"
                                   "（メールサーバーには届いていません）。");
    return o;
}

QString authReplyAdvice(int code, QStringView enhancedCode, bool oauth)
{
    const Enhanced e = parseEnhanced(enhancedCode);
    const QString signIn =
        QStringLiteral("サーバー欄を「smtp+oauth://ユーザー名@ホスト名:ポート」の形にして OAuth 2.0 で"
                       "サインインする");
    if (oauth) {
        if (code == 454 || e.klass == 4)
            return QStringLiteral(
                "メールサーバーが一時的にサインインを受け付けませんでした。時間をおいて送信し直して"
                "ください。");
        return QStringLiteral(
            "メールサーバーがサインインを受け付けませんでした。もう一度サインインしてください。"
            "続くときは、このメールボックスで SMTP での送信（SMTP AUTH）が許可されているか、"
            "アプリに SMTP 送信の権限（SMTP.Send または https://mail.google.com/）があるかを"
            "管理者に確かめてもらってください。");
    }
    if (e.is(7, 139) || e.is(7, 30))
        return QStringLiteral(
                   "Microsoft 365 では、このメールボックスで基本認証（ユーザー名とパスワードでの SMTP "
                   "AUTH）が"
                   "無効になっています。%1か、管理者にこのメールボックスの SMTP AUTH を許可してもらって"
                   "ください。")
            .arg(signIn);
    if (e.is(7, 57))
        return QStringLiteral("サーバーが送信前の認証を求めています。サーバー欄にユーザー名を入れて"
                              "「smtp://ユーザー名@ホスト名:587」の形にするか、Microsoft 365 では%1"
                              "ようにしてください。")
            .arg(signIn);
    if (e.is(7, 9) && code == 534)
        return QStringLiteral(
                   "Google アカウントで 2 段階認証を使っているため、通常のパスワードでは送れません。"
                   "Google アカウントで「アプリ パスワード」を作ってパスワードとして使うか、%1"
                   "ようにしてください。")
            .arg(signIn);
    if (e.is(7, 14) || e.is(7, 10))
        return QStringLiteral(
                   "Google がこのサインインを止めました。ブラウザーで Google アカウントにログインして"
                   "確認を済ませるか、アプリ パスワードを使うか、%1ようにしてください。")
            .arg(signIn);
    if (e.is(7, 3))
        return QStringLiteral(
                   "パスワードが違うか、このメールボックスで SMTP AUTH が許可されていません。パスワードを"
                   "確かめ、Microsoft 365 では管理者に SMTP AUTH の許可を依頼するか、%1ようにして"
                   "ください。")
            .arg(signIn);
    if (code == 530 || (e.is(7, 0) && code >= 500))
        return QStringLiteral("サーバーが認証を求めています。サーバー欄にユーザー名を入れて"
                              "「smtp://ユーザー名@ホスト名:ポート」の形で指定してください。");
    if (code == 454 || e.klass == 4)
        return QStringLiteral(
            "メールサーバーが一時的に認証できませんでした。時間をおいて送信し直してください。");
    if (e.is(7, 8) || code == 535)
        return QStringLiteral(
                   "ユーザー名かパスワードが違います。Gmail や Google Workspace では、アカウントの"
                   "パスワードではなくアプリ パスワードを使ってください。Microsoft 365 で続くときは、"
                   "基本認証が無効になっている可能性があります（%1ことができます）。")
            .arg(signIn);
    return QStringLiteral("ユーザー名とパスワードを確かめてください。");
}

namespace
{

// The operator's text for what happened, with the server's reply where there is one.
QString describe(const SmtpAttempt &a, const MailServer &server)
{
    const QString detail = QString::fromUtf8(a.detail);
    const QString where = server.endpoint();
    if (a.needsSmtpUtf8)
        return QStringLiteral("メールサーバー %1 がSMTPUTF8に対応していないため、「@」の前に日本語などを含む"
                              "アドレスには送信できません。送信しませんでした。")
            .arg(where);
    if (a.errorCode) {
        QString stage;
        if (a.stage == SmtpStage::Mail)
            stage = QStringLiteral("送信者のアドレスがメールサーバーに拒否されました");
        else if (a.stage == SmtpStage::Rcpt)
            stage = QStringLiteral("宛先のアドレスがメールサーバーに拒否されました");
        else if (a.stage == SmtpStage::Data)
            stage = QStringLiteral("メールサーバーが本文の受け取りを拒否しました");
        else if (a.code == CURLE_LOGIN_DENIED)
            stage = QStringLiteral("メールサーバーでの認証に失敗しました");
        else if (a.bodyComplete)
            stage = QStringLiteral("メールサーバーがメールの受け取りを拒否しました");
        else
            stage = QStringLiteral("メールサーバーがエラーを返しました");
        QString text = stage + QStringLiteral(": ") + QString::fromUtf8(a.errorReply);
        if (a.errorCode < 500)
            text += QStringLiteral("（一時的なエラーです。時間をおいて送り直してください）");
        return text;
    }
    switch (a.code) {
    case CURLE_FAILED_INIT:
        return QStringLiteral("メール送信の準備ができませんでした（libcurlを初期化できません）。");
    case CURLE_COULDNT_RESOLVE_HOST:
        return QStringLiteral("メールサーバー「%1」が見つかりません（%2）。").arg(server.host, detail);
    case CURLE_COULDNT_CONNECT:
        return QStringLiteral("メールサーバー %1 に接続できません（%2）。").arg(where, detail);
    case CURLE_OPERATION_TIMEDOUT:
        if (a.bodyComplete)
            return QStringLiteral("メールを送った後、メールサーバー %1 から応答がありません。"
                                  "メールが届いている可能性があります（%2）。")
                .arg(where, detail);
        return QStringLiteral("メールサーバー %1 が応答しません（%2）。").arg(where, detail);
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_WEIRD_SERVER_REPLY:
        if (a.bodyComplete)
            return QStringLiteral("メールを送った後、メールサーバー %1 との接続が切れました。"
                                  "メールが届いている可能性があります（%2）。")
                .arg(where, detail);
        return QStringLiteral("メールサーバー %1 との接続が切れました（%2）。").arg(where, detail);
    case CURLE_USE_SSL_FAILED:
        return QStringLiteral(
                   "メールサーバー %1 がSTARTTLSによる暗号化に対応していないため、送信しませんでした（%2）。")
            .arg(where, detail);
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
        return QStringLiteral("メールサーバー %1 の証明書を検証できないため、送信しませんでした（%2）。")
            .arg(where, detail);
    case CURLE_SSL_CONNECT_ERROR:
        return QStringLiteral("メールサーバー %1 との暗号化通信を始められませんでした（%2）。")
            .arg(where, detail);
    case CURLE_LOGIN_DENIED:
        return QStringLiteral("メールサーバー %1 での認証に失敗しました（%2）。").arg(where, detail);
    default: return QStringLiteral("メールを送信できませんでした（%1: %2）。").arg(where, detail);
    }
}

void explain(MailOutcome &o, const MailServer &server)
{
    o.advice = authReplyAdvice(o.replyCode, o.enhancedCode, server.oauth);
    o.description += QStringLiteral("\r\n") + o.advice;
}

MailOutcome classified(const SmtpAttempt &a, const MailServer &server)
{
    MailOutcome o;
    if (a.code == CURLE_OK)
        return o;
    if (a.heldBack)
        return heldBackOutcome();
    if (a.token) {
        // No access token: the sign-in is over (revoked, expired) or its service is out of reach.
        o.kind = a.token->status == TokenReply::Status::Unreachable ? MailOutcome::Kind::Unreachable
                                                                    : MailOutcome::Kind::AuthRefused;
        o.description = a.token->failure ? a.token->failure->description : describe(a, server);
        return o;
    }
    o.description = describe(a, server);
    if (a.needsSmtpUtf8) {
        o.kind = MailOutcome::Kind::Refused;
        return o;
    }
    if (a.errorCode != 0) {
        o.replyCode = a.errorCode;
        o.replyText = QString::fromUtf8(a.errorReply);
        o.enhancedCode = enhancedStatusCode(o.replyCode, o.replyText);
    }
    if (a.stage == SmtpStage::Connect) {
        switch (a.code) {
        case CURLE_FAILED_INIT: o.kind = MailOutcome::Kind::LocalFailure; return o;
        case CURLE_LOGIN_DENIED:
            o.kind = a.errorCode
                         ? classifySmtpReply(SmtpStage::Auth, a.errorCode, o.enhancedCode, o.replyText)
                         : MailOutcome::Kind::AuthRefused;
            if (o.kind == MailOutcome::Kind::AuthRefused)
                explain(o, server);
            return o;
        case CURLE_USE_SSL_FAILED:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR: o.kind = MailOutcome::Kind::Unreachable; return o;
        default:
            o.kind = a.errorCode
                         ? classifySmtpReply(SmtpStage::Connect, a.errorCode, o.enhancedCode, o.replyText)
                         : MailOutcome::Kind::Unreachable;
            if (o.kind == MailOutcome::Kind::AuthRefused)
                explain(o, server);
            return o;
        }
    }
    if (a.errorCode != 0) {
        o.kind = classifySmtpReply(a.stage, a.errorCode, o.enhancedCode, o.replyText);
        if (o.kind == MailOutcome::Kind::AuthRefused)
            explain(o, server);
        return o;
    }
    // No reply: the session was lost or stopped answering.
    o.kind = a.bodyComplete ? MailOutcome::Kind::MayHaveArrived : MailOutcome::Kind::Temporary;
    return o;
}

} // namespace

QString copiesRefusedText(const QList<RefusedCopy> &copies)
{
    QStringList lines;
    for (const RefusedCopy &c : copies)
        lines +=
            c.byServer
                ? QStringLiteral("写しの宛先「%1」はメールサーバーに拒否されました: %2")
                      .arg(c.address, c.reason)
                : QStringLiteral("写しの宛先「%1」には送信しませんでした（%2）。").arg(c.address, c.reason);
    return lines.join(QStringLiteral("\r\n"));
}

MailOutcome outcomeOf(const SmtpAttempt &a, const MailServer &server)
{
    MailOutcome o = classified(a, server);
    if (o.accepted())
        o.copiesRefused = copiesRefusedText(a.refusedCopies);
    o.serverWide =
        o.kind == MailOutcome::Kind::Temporary && (o.replyCode == 421 || a.stage == SmtpStage::Connect);
    return o;
}
