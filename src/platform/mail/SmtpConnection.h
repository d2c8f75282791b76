#pragma once

#include "MailServer.h"

#include <QByteArray>
#include <QString>

typedef void CURL;

// Settings of the SMTP transport that tests and benchmarks may change.
struct SmtpSettings {
    int connectTimeoutSeconds = 15;
    int responseTimeoutSeconds = 30;
    QString caFile; // empty: the system's certificate store
    bool reuseConnection = true;

    bool operator==(const SmtpSettings &) const = default;
};

// One libcurl easy handle bound to one server. libcurl keeps the SMTP session open inside the
// handle, so consecutive sends repeat only MAIL FROM, RCPT TO and DATA.
class SmtpConnection
{
  public:
    SmtpConnection(const MailServer &server, const SmtpSettings &settings);
    ~SmtpConnection();
    SmtpConnection(const SmtpConnection &) = delete;
    SmtpConnection &operator=(const SmtpConnection &) = delete;

    // Empty when the server accepted the message; otherwise a text for the operator.
    QString send(const QString &from, const QString &to, const QByteArray &message);

    const SmtpSettings &settings() const { return m_settings; }

  private:
    struct Attempt;
    Attempt perform(const QByteArray &message, bool fresh);
    QString describe(const Attempt &a) const;
    void abandonSession();
    static size_t onRead(char *buffer, size_t size, size_t count, void *self);
    static size_t onReply(char *buffer, size_t size, size_t count, void *self);
    void noteReplyLine(const char *line, size_t length);

    MailServer m_server;
    SmtpSettings m_settings;
    CURL *m_curl = nullptr;
    char m_errorBuffer[256] = {};

    // State of the transfer in progress.
    const QByteArray *m_message = nullptr;
    qsizetype m_sent = 0;
    bool m_bodyStarted = false;
    bool m_bodyComplete = false;
    QByteArray m_replyLines; // lines of the reply being received
    int m_errorCode = 0;     // last 4xx/5xx reply of the transfer
    QByteArray m_errorReply; // its text, code included
};
