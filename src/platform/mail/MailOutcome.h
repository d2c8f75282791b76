#pragma once

#include "platform/mail/MailServer.h"
#include "platform/mail/OAuthClient.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringView>

#include <optional>

// What became of one mail, in terms a send run can act on without reading the text.
struct MailOutcome {
    enum class Kind {
        Accepted,       // the server accepted the mail (2xx after the end of data), or the outbox stored it
        Refused,        // permanent for this mail or address: 5xx to RCPT TO; 5xx after DATA or the end
                        // of data that is not about quota/policy/authentication; an address or subject
                        // the library refuses before any connection
        Temporary,      // try this mail again later: 4xx at any stage (also to AUTH: the login is
                        // kept), 421, or the session lost / timed out before the end of this mail's
                        // data went out (after the one automatic retry on a fresh connection)
        Unreachable,    // no session could be opened: name not found, connection refused or timed out,
                        // TLS / STARTTLS / certificate refused
        AuthRefused,    // authentication refused or required (535, 534, 530 5.7.0/5.7.57, 5.7.139,
                        // 5.7.30, 5.7.3 ..., libcurl's login denied without a reply)
        QuotaOrPolicy,  // sending limit or quota reached, the sender or the client refused for policy
        MayHaveArrived, // the whole mail and its end marker went out and no final reply came, or one
                        // that is neither an acceptance nor a refusal (a server out of step)
        LocalFailure,   // this side cannot make, store or record the mails: an attachment unreadable,
                        // the outbox folder not writable, the composer failing, a mail held back
    };
    Kind kind = Kind::Accepted;
    int replyCode = 0;    // 0 when the server gave none
    QString enhancedCode; // RFC 3463 "x.y.z" of the reply, empty when none
    QString replyText;    // the server's whole reply ("421 4.7.0 Try again later"), empty when none
    QString description;  // Japanese text for the operator; empty when accepted
    QString advice;       // for AuthRefused: what the reply means and the way out (also in description)
    // The refusal is about the session, not this mail: 421, or a temporary refusal before the mail's
    // transaction began (the greeting, the login). Every mail would meet it now.
    bool serverWide = false;
    // Accepted, but the server refused some of the mail's CC/BCC copies: their addresses and the
    // server's replies, for the row's reason. Empty otherwise.
    QString copiesRefused;
    bool accepted() const { return kind == Kind::Accepted; }
};

// A mail whose sender withheld the end of its data (its start could not be recorded): nothing of it
// reached anyone, so it may be sent later.
MailOutcome heldBackOutcome();

// The stage of the SMTP dialogue a reply answered. Connect covers the greeting, EHLO and STARTTLS.
enum class SmtpStage { Connect, Auth, Mail, Rcpt, Data, EndOfData };

// What a refusal (a reply other than the one expected) at `stage` means. Decided by the stage, the
// code and the enhanced code; the English word "quota" is read only where the codes leave it open.
MailOutcome::Kind classifySmtpReply(SmtpStage stage, int code, QStringView enhancedCode, QStringView text);

// What an authentication refusal means and the way out, in Japanese, by the reply code and the
// enhanced code (Microsoft 365's basic authentication switched off, Gmail's app passwords, a login
// refused); `oauth` when the session signed in with OAuth 2.0. The one place that explains them.
QString authReplyAdvice(int code, QStringView enhancedCode, bool oauth);

// The RFC 3463 code at the start of a reply's text ("550 5.1.1 <x@y>: ..." gives "5.1.1"), empty
// when there is none or its class does not match the reply code's.
QString enhancedStatusCode(int code, QStringView replyText);

// A CC or BCC address the mail did not go to, and why: the server's whole reply, or the reason it
// was not offered to the server.
struct RefusedCopy {
    QString address;
    QString reason;
    bool byServer = true;
    bool operator==(const RefusedCopy &) const = default;
};

// MailOutcome::copiesRefused for these copies: one line each, CR LF between; empty for none.
QString copiesRefusedText(const QList<RefusedCopy> &copies);

// What one mail's transaction came to, as the SMTP connection saw it. The connection keeps the
// dialogue; what an attempt means is outcomeOf()'s.
struct SmtpAttempt {
    int code = 0;                         // libcurl's CURLcode of the failure; 0 (CURLE_OK): accepted
    SmtpStage stage = SmtpStage::Connect; // Connect covers the greeting, EHLO, STARTTLS and the login
    bool bodyStarted = false;             // a byte of the message may have reached the server
    bool bodyComplete = false;            // the whole message and its end marker went out
    int errorCode = 0;                    // the server's first refusal
    QByteArray errorReply;                // its text, code included
    QByteArray detail;                    // what went wrong, for the parentheses of the text
    bool needsSmtpUtf8 = false;           // an address outside ASCII, and no SMTPUTF8 offered
    bool heldBack = false;                // the caller withheld the end of the data: nothing delivered
    QList<RefusedCopy> refusedCopies;     // CC and BCC addresses left out or refused
    // An OAuth access token that could not be had, and why.
    std::optional<TokenReply> token;
};

// What the attempt means for the run, and the operator's text for it, for a session to `server`.
MailOutcome outcomeOf(const SmtpAttempt &attempt, const MailServer &server);
