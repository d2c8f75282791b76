#pragma once

#include "platform/Failure.h"
#include "platform/mail/MailLogin.h"
#include "platform/mail/MailboxServer.h"

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QSet>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

typedef void CURL;

// Settings of the IMAP session that tests may change.
struct ImapSettings {
    int connectTimeoutSeconds = 15;
    int responseTimeoutSeconds = 60; // the server silent this long ends the session
    QString caFile;                  // empty: the system's certificate store
};

// Folder names as IMAP carries them: modified UTF-7 (RFC 3501, 5.1.3), "送信済み" as "&kAFP4W4IMH8-".
QByteArray encodeMailboxName(const QString &name);
// Nothing when `encoded` is not modified UTF-7.
std::optional<QString> decodeMailboxName(const QByteArray &encoded);

// One IMAP session with the operator's mailbox; blocking, for a worker thread. libcurl opens it
// (connection, TLS or STARTTLS, CAPABILITY, LOGIN or AUTHENTICATE) and then leaves the socket to
// us: the commands are written and their responses read here, literals streamed, so that a large
// mailbox costs no more memory than its largest message handed on. A session cut by a failure is
// opened again by the next call.
class ImapMailbox
{
  public:
    // `login` holds the password, or the access tokens of an OAuth server.
    ImapMailbox(MailboxServer server, ImapSettings settings, MailLogin login);
    ~ImapMailbox(); // LOGOUT when open
    ImapMailbox(const ImapMailbox &) = delete;
    ImapMailbox &operator=(const ImapMailbox &) = delete;

    // Connects and signs in; the failure names host:port.
    std::optional<Failure> open();
    bool isOpen() const { return m_curl != nullptr; }

    // The folder the server flags \Sent (RFC 6154), else one named as mail programs name it
    // ("Sent", "Sent Items", "Sent Messages", "[Gmail]/Sent Mail", also below INBOX).
    Result<QString> sentFolder();
    // Stores `message` (CR LF line ends) in `folder` as read (\Seen), with `date` as its internal
    // date (none: the server's clock).
    std::optional<Failure> append(const QString &folder, const QByteArray &message, const QDateTime &date);
    // The UIDs of the messages of `folder` whose internal date is on or after `since`, by the
    // server's day; the caller compares exact times.
    Result<std::vector<quint32>> searchSince(const QString &folder, const QDate &since);
    // The UIDs of the messages of `folder` whose header field `name` contains `value`.
    Result<std::vector<quint32>> searchHeader(const QString &folder, const QByteArray &name,
                                              const QByteArray &value);
    // Hands each message of `uids` in `folder` to `each`, whole, one at a time, in the server's
    // order; none is marked read. A message larger than `maxBytes` is handed as its header alone.
    // `each` returning false stops the fetch.
    std::optional<Failure> fetch(const QString &folder, const std::vector<quint32> &uids,
                                 const std::function<bool(quint32 uid, const QByteArray &message)> &each,
                                 qsizetype maxBytes = 25 * 1024 * 1024);
    // LOGOUT, then the connection is closed.
    void close();

    // What the server offers once signed in ("LITERAL+", "SPECIAL-USE"), in upper case.
    const QSet<QByteArray> &capabilities() const { return m_capabilities; }
    const MailboxServer &server() const { return m_server; }

  private:
    struct Literal {
        QByteArray bytes;
        qsizetype size = 0;
        bool kept = false; // false: larger than the limit, read past
    };
    struct Response {
        enum class Kind { Untagged, Continuation, Tagged };
        Kind kind = Kind::Untagged;
        QByteArray tag;
        QByteArray text; // after "* ", "+ " or the tag; each literal stands as its "{n}"
        std::vector<Literal> literals;
    };
    // One piece of a command: text as it goes, or a string sent as a literal.
    struct Chunk {
        QByteArray bytes;
        bool literal = false;
    };
    using Handler = std::function<void(Response &)>;

    std::optional<Failure> openOnce(bool freshToken, bool *retry);
    std::optional<Failure> ensureOpen();
    std::optional<Failure> examine(const QString &folder);
    // Sends the command and reads up to its completion; untagged responses go to `handler`.
    // `what` names the command in the failure of a NO or BAD.
    std::optional<Failure> run(const std::vector<Chunk> &command, const QString &what,
                               const Handler &handler = {});
    Result<std::vector<quint32>> search(const QString &folder, const std::vector<Chunk> &criteria);
    std::optional<Failure> fetchBatch(const QByteArray &uidSet, const QByteArray &item, qsizetype limit,
                                      const std::function<void(quint32, const Literal &)> &each);
    bool readResponse(Response &r);
    bool receive();
    bool sendAll(const char *data, qsizetype size);
    void noteUntagged(const Response &r);
    void fail(Failure failure); // notes the failure and cuts the session
    void cut();
    QString where() const { return m_server.endpoint(); }

    static size_t onLoginLine(char *buffer, size_t size, size_t count, void *self);

    MailboxServer m_server;
    ImapSettings m_settings;
    MailLogin m_login;
    CURL *m_curl = nullptr;
    int m_socket = -1;
    char m_errorBuffer[256] = {};
    QByteArray m_loginRefusal; // the server's NO to the sign-in, while libcurl signs in
    QByteArray m_in;           // received, not yet read
    qsizetype m_inPos = 0;
    qsizetype m_literalLimit = 0; // literals above this are read past, not kept
    quint64 m_tag = 0;
    QByteArray m_bye; // the server's reason for closing, when it gave one
    QSet<QByteArray> m_capabilities;
    std::optional<Failure> m_failure;
};
