#pragma once

#include "platform/Failure.h"
#include "platform/mail/MailArguments.h"
#include "platform/mail/MailLogin.h"
#include "platform/mail/MailOutcome.h"
#include "platform/mail/MailServer.h"
#include "platform/mail/MailTarget.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

// Initialises libcurl and GMime once per process. An object that ends a session when the process
// ends must be made after this ran, so that it is destroyed before their own exit handlers run.
void initMailLibraries();

class MailComposer;
class Outbox;
class SmtpConnection;
struct SmtpMail;

// One mail of a run, as the merge made it.
struct MailContent {
    QString address; // the main recipient as the row holds it, trimmed; "<a@b>" or "a@b"
    QString subject;
    QString body; // CR LF line ends
    bool html = false;
    QStringList cc{};      // copies: each one address as given (trimmed), in the Cc header and the envelope
    QStringList bcc{};     // blind copies: the envelope only, never in any header of any copy
    QStringList replyTo{}; // the Reply-To header's addresses
    QString plainText{};   // html only: the text part as the operator wrote it; empty: made from the HTML
    QStringList attachments{}; // this mail's own files, sent after the session's (the target's) attachments
    // The mail's Message-ID without the angle brackets, the same for every try of its row; empty: a
    // new one. Its ENVID for a server that offers DSN; empty: none asked for.
    QByteArray messageId{};
    QByteArray envelopeId{};

    bool operator==(const MailContent &) const = default;
};

// The recipient send() makes of MailContent::address: trimmed, put in "<" ">" unless it is, then
// read by the strict address check. Its error is the reason send() refuses the mail; its address
// is the one that goes into RCPT TO (the local part as written, the domain in ACE form).
MailRecipient mailRecipientOf(const QString &address);

// One sender, one server and one attachment list for a whole run, as its target has them parsed;
// the attachments are read and encoded once. Used from one thread at a time. The transport
// settings are those of setSendMailOptions(), read at every mail; a change takes effect on a new
// connection.
class MailSession
{
  public:
    // A Failure (Japanese, as the operator reads it) when the server text, the sender or an
    // attachment cannot be used; nothing is connected yet. The target's login is what the session
    // signs in with beyond the server text: a password found for it, or an OAuth server's tokens.
    static Result<std::unique_ptr<MailSession>> open(const MailTarget &target);
    ~MailSession(); // QUIT on an open connection (bounded wait)
    MailSession(const MailSession &) = delete;
    MailSession &operator=(const MailSession &) = delete;

    // Sends one mail and returns its outcome. `beforeEnd` is called once, right before the bytes
    // that carry the end of this mail's data are written (for the outbox: before the file is
    // written), never for a mail refused before DATA. When it returns false the mail is held back:
    // the end of its data is never written (the connection is cut, and the server discards what it
    // has), and the outcome is heldBackOutcome(). `next`, when given, is the mail the caller
    // will send next: on a server that offers PIPELINING its MAIL FROM / RCPT TO / DATA go out in
    // the same write as this mail's end of data, and the following send(next, ...) reads their
    // replies instead of writing them again. A caller that then does not send `next` calls close().
    // The envelope holds the main address, then every CC and BCC address (each read like the main
    // one, none twice); what the server or the address check refuses of the copies does not stop
    // the mail: it is named in the outcome's copiesRefused.
    MailOutcome send(const MailContent &mail, const MailContent *next = nullptr,
                     const std::function<bool()> &beforeEnd = {});
    // Ends the connection; the next send() opens a new one.
    void close();

    // Called on the sending thread with the bytes of every mail the server accepted, right after
    // its final reply (a copy for the Sent folder); unset: nothing is kept.
    void setOnAccepted(std::function<void(const QByteArray &message)> onAccepted)
    {
        m_onAccepted = std::move(onAccepted);
    }

    // Another sender or attachment list for the following mails, on the same connection. The
    // Failure open() would give; the session is then unchanged.
    std::optional<Failure> change(const MailSender &sender, const QStringList &attachments);

    bool isOutbox() const;
    QString outboxFolder() const;
    // The server text without its password, for journals and messages.
    QString serverForDisplay() const;

  private:
    struct Prepared;
    MailSession();
    std::optional<MailOutcome> prepare(const MailContent &mail, Prepared *out);

    QString m_serverText;
    MailServer m_server;
    MailLogin m_login;
    QByteArray m_mailFrom; // the sender's envelope address
    std::unique_ptr<MailComposer> m_composer;
    bool m_iso2022jp = false; // the target's choice of ISO-2022-JP
    QString m_imageFolder;    // where an HTML body's relative images are
    std::unique_ptr<SmtpConnection> m_smtp;
    std::unique_ptr<Outbox> m_outbox;
    std::unique_ptr<Prepared> m_next; // made for a `next` whose envelope went ahead
    std::function<void(const QByteArray &)> m_onAccepted;
};
