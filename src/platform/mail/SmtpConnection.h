#pragma once

#include "platform/mail/MailLogin.h"
#include "platform/mail/MailOutcome.h"
#include "platform/mail/MailServer.h"
#include "platform/mail/SmtpReplyParser.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

typedef void CURL;

// Settings of the SMTP transport that tests and benchmarks may change.
struct SmtpSettings {
    int connectTimeoutSeconds = 15;
    int responseTimeoutSeconds = 30;
    QString caFile; // empty: the system's certificate store
    bool reuseConnection = true;
    int idleLimitSeconds = 60;          // a kept session unused this long is ended before the next mail
    int quitTimeoutMilliseconds = 2000; // how long QUIT waits for its reply
    qint64 (*clock)() = nullptr;        // idle time in milliseconds; null: the monotonic clock

    bool operator==(const SmtpSettings &) const = default;
};

// One mail as it goes over SMTP.
struct SmtpMail {
    QByteArray mailFrom; // envelope addresses, domains in ACE form
    QByteArray rcptTo;   // the main recipient: its refusal is the mail's
    bool utf8 = false;   // the sender or the main recipient outside ASCII: only where SMTPUTF8 is offered
    QByteArray message;  // RFC 5322, CR LF line ends
    // CC and BCC, after the main recipient, none the same as another. A refused one is only noted
    // (MailOutcome::copiesRefused); one outside ASCII is left out on a server without SMTPUTF8.
    QList<QByteArray> copyTo{};
    // Where the server offers DSN: the run's name for this mail (ENVID, xtext-safe printable ASCII),
    // so that a failure notice can be matched to its row; failure notices only, with the headers.
    QByteArray envelopeId{};
};

// One SMTP session with one server. libcurl opens it (connection, greeting, EHLO, STARTTLS, AUTH)
// and then leaves the socket to us: the mail transactions are written here, so that a server
// that offers PIPELINING gets MAIL FROM, RCPT TO and DATA in one write, and the message with its
// end marker in another; with the envelope of the next mail behind the end marker, a mail costs
// one round trip. Without reuse, every message has a session of its own.
class SmtpConnection
{
  public:
    // `login` replaces the server text's password, or gives an OAuth server its access tokens.
    SmtpConnection(const MailServer &server, const SmtpSettings &settings, MailLogin login = {});
    ~SmtpConnection(); // ends an open session: QUIT when it is in step
    SmtpConnection(const SmtpConnection &) = delete;
    SmtpConnection &operator=(const SmtpConnection &) = delete;

    // Sends one mail. `beforeEnd` runs once, right before the bytes that carry the end of its data
    // are written; when it returns false they are not, and the session is cut without them. `next`, on a
    // server that offers PIPELINING, is asked once for the mail that follows, right before that write: its
    // envelope goes out in the same write, and the send() of that mail reads the replies. A send() of any
    // other mail, or close(), cuts such a session.
    MailOutcome send(const SmtpMail &mail, const std::function<const SmtpMail *()> &next = {},
                     const std::function<bool()> &beforeEnd = {});
    // QUIT, or only cut when the server waits for a message whose envelope was sent ahead.
    void close() { close(true); }

    const SmtpSettings &settings() const { return m_settings; }

  private:
    struct Attempt;
    struct Envelope {
        QByteArray mailFrom;
        QList<QByteArray> rcptTo; // the main recipient first
        bool utf8 = false;
        qsizetype size = 0;
        QByteArray envelopeId;
        bool operator==(const Envelope &) const = default;
    };

    Attempt transact(const SmtpMail &mail, const std::function<const SmtpMail *()> &next,
                     const std::function<bool()> &beforeEnd);
    // The envelope this session gives `mail`; copies it cannot take go to `left` (when given).
    Envelope envelopeOf(const SmtpMail &mail, QList<RefusedCopy> *left = nullptr) const;
    bool readEnvelopeReplies(Attempt &a, const Envelope &e);
    // Notes a refusal of RCPT TO number `index` (0: the main one); false when the mail cannot go on.
    bool refuseRecipient(Attempt &a, const Envelope &e, qsizetype index, const SmtpReply &reply);
    QByteArray mailCommand(const Envelope &e) const;
    QByteArray envelopeCommands(const Envelope &e) const; // MAIL FROM, RCPT TO and DATA
    bool open(Attempt &a);
    bool openOnce(Attempt &a, bool freshToken);
    void close(bool quit);
    bool refuse(Attempt &a, SmtpStage stage, const SmtpReply &reply);
    void reset();

    // timeoutMs < 0: the response time-out of the settings. `sent`: how much went out, also on failure.
    bool sendAll(const char *data, qsizetype size, Attempt &a, int timeoutMs = -1, qsizetype *sent = nullptr);
    bool sendAll(const QByteArray &bytes, Attempt &a, int timeoutMs = -1)
    {
        return sendAll(bytes.constData(), bytes.size(), a, timeoutMs);
    }
    bool readReply(SmtpReply &reply, Attempt &a, int timeoutMs = -1);
    int wait(short events, qint64 deadline);
    bool waitReady(short events, qint64 deadline, int timeoutMs, const QByteArray &timeoutText, Attempt &a);
    int timeoutMs(int requested) const;
    qint64 idleClock() const;

    static size_t onReply(char *buffer, size_t size, size_t count, void *self);
    void noteReplyLine(const char *line, size_t length);

    MailServer m_server;
    SmtpSettings m_settings;
    MailLogin m_login;
    CURL *m_curl = nullptr; // set while a session is open
    int m_socket = -1;      // the session's socket, for poll
    bool m_tls = false;
    qint64 m_lastUsed = 0; // idleClock() when the kept session last finished a mail
    char m_errorBuffer[256] = {};
    SmtpReplyParser m_replies;
    QByteArray m_wire;               // the message as it goes out: dot-stuffed, with the end marker
    std::optional<Envelope> m_ahead; // sent behind the last end marker, its replies not yet read

    // What the server said while libcurl opened the session.
    QByteArray m_replyLines; // lines of the reply being received
    int m_replyLineCount = 0;
    int m_errorCode = 0;     // last 4xx/5xx reply
    QByteArray m_errorReply; // its text, code included
    bool m_pipelining = false;
    bool m_smtpUtf8 = false;
    bool m_size = false;
    bool m_dsn = false;
};
