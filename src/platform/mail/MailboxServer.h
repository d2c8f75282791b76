#pragma once

#include <QString>

// The operator's mailbox on an IMAP server, where the copies of sent mails are kept and bounces
// arrive. Always over TLS: from the first byte, or by STARTTLS that must succeed.
struct MailboxServer {
    QString host; // ASCII (IDN names in their ACE form), IPv6 without brackets
    int port = 993;
    bool startTls = false; // "imap://": plain connection, then STARTTLS (required)
    QString user;          // the same login as the SMTP server's
    bool oauth = false;    // SASL XOAUTH2 with the access token of MailLogin::oauth; never a password

    // "host:port" as the operator would recognise it in an error text.
    QString endpoint() const;
};

// The IMAP host that goes with a submission host: outlook.office365.com for Microsoft 365's SMTP
// hosts (smtp.office365.com, smtp-mail.outlook.com), imap.gmail.com for smtp.gmail.com, and for
// any other "smtp.<domain>" the host "imap.<domain>". A host without the "smtp." label (mail.<domain>,
// a bare domain, an address) is taken as it is: providers that name their host "mail." serve
// submission and IMAP on the same name, and a guessed "imap." in front of it would mostly not exist.
QString mailboxHostFor(const QString &smtpHost);

enum class MailboxPreset { Microsoft365, Gmail, Other };
MailboxPreset mailboxPresetOf(const QString &imapHost);

// The settings text of a mailbox: "imaps://user@host[:port]" (TLS, port 993), "imap://user@host[:port]"
// (STARTTLS, port 143), "imaps+oauth://user@host" and "imap+oauth://user@host" for OAuth 2.0. A user
// holding '@' is written "taro%40example.jp". The text never holds a password: one is refused.
struct MailboxServerParse {
    MailboxServer server;
    QString error; // empty when the text was understood
};
MailboxServerParse parseMailboxServer(const QString &text);
// The settings text of `server`; parseMailboxServer() reads it back as the same server. The port
// is left out when it is the scheme's own.
QString mailboxServerText(const MailboxServer &server);
