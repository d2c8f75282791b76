#pragma once

#include "MailServer.h"
#include "SmtpReplyParser.h"

#include <QByteArray>
#include <QString>

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

// One SMTP session with one server. libcurl opens it (connection, greeting, EHLO, STARTTLS, AUTH)
// and then leaves the socket to us: the mail transactions are written here, so that a server
// that offers PIPELINING gets MAIL FROM, RCPT TO and DATA in one write, and the message with its
// end marker in another. Without reuse, every message has a session of its own.
class SmtpConnection
{
  public:
    SmtpConnection(const MailServer &server, const SmtpSettings &settings);
    ~SmtpConnection(); // ends an open session with QUIT
    SmtpConnection(const SmtpConnection &) = delete;
    SmtpConnection &operator=(const SmtpConnection &) = delete;

    // Empty when the server accepted the message; otherwise a text for the operator.
    QString send(const QString &from, const QString &to, const QByteArray &message);

    const SmtpSettings &settings() const { return m_settings; }

  private:
    enum class Stage { Connect, Mail, Rcpt, Data, Message };
    struct Attempt;

    Attempt transact(const QByteArray &mailFrom, const QByteArray &rcptTo, bool utf8,
                     const QByteArray &message);
    bool open(Attempt &a);
    void close(bool quit);
    bool refuse(Attempt &a, Stage stage, const SmtpReply &reply);
    void reset();

    // timeoutMs < 0: the response time-out of the settings
    bool sendAll(const char *data, qsizetype size, Attempt &a, int timeoutMs = -1);
    bool sendAll(const QByteArray &bytes, Attempt &a, int timeoutMs = -1)
    {
        return sendAll(bytes.constData(), bytes.size(), a, timeoutMs);
    }
    bool readReply(SmtpReply &reply, Attempt &a, int timeoutMs = -1);
    int wait(short events, qint64 deadline);
    bool waitReady(short events, qint64 deadline, int timeoutMs, const QByteArray &timeoutText, Attempt &a);
    int timeoutMs(int requested) const;
    qint64 idleClock() const;

    QString describe(const Attempt &a) const;
    static size_t onReply(char *buffer, size_t size, size_t count, void *self);
    void noteReplyLine(const char *line, size_t length);

    MailServer m_server;
    SmtpSettings m_settings;
    CURL *m_curl = nullptr; // set while a session is open
    int m_socket = -1;      // the session's socket, for poll
    bool m_tls = false;
    qint64 m_lastUsed = 0; // idleClock() when the kept session last finished a mail
    char m_errorBuffer[256] = {};
    SmtpReplyParser m_replies;
    QByteArray m_wire; // the message as it goes out: dot-stuffed, with the end marker

    // What the server said while libcurl opened the session.
    QByteArray m_replyLines; // lines of the reply being received
    int m_replyLineCount = 0;
    int m_errorCode = 0;     // last 4xx/5xx reply
    QByteArray m_errorReply; // its text, code included
    bool m_pipelining = false;
    bool m_smtpUtf8 = false;
    bool m_size = false;
};
