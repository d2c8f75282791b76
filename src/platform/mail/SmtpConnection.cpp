#include "SmtpConnection.h"

#include <QFile>

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include <sys/socket.h>

struct SmtpConnection::Attempt {
    CURLcode code = CURLE_OK;
    bool reused = false;
    bool bodyStarted = false;
    bool bodyComplete = false;
    int errorCode = 0;
    QByteArray errorReply;
    QByteArray curlError;
};

namespace
{

size_t discard(char *, size_t size, size_t count, void *)
{
    return size * count;
}

bool isTransportFailure(CURLcode code)
{
    return code == CURLE_SEND_ERROR || code == CURLE_RECV_ERROR || code == CURLE_GOT_NOTHING;
}

} // namespace

SmtpConnection::SmtpConnection(const MailServer &server, const SmtpSettings &settings)
    : m_server(server), m_settings(settings), m_curl(curl_easy_init())
{
    if (!m_curl)
        return;
    CURL *c = m_curl;
    curl_easy_setopt(c, CURLOPT_URL, m_server.curlUrl().constData());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, m_errorBuffer);
    curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(c, CURLOPT_READFUNCTION, &SmtpConnection::onRead);
    curl_easy_setopt(c, CURLOPT_READDATA, this);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &SmtpConnection::onReply);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &discard);

    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, long(settings.connectTimeoutSeconds));
    curl_easy_setopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT, long(settings.responseTimeoutSeconds));
    // A server that stops reading in the middle of DATA is caught by the transfer speed.
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, long(settings.responseTimeoutSeconds));
    // libcurl allocates the upload buffer for every transfer; at the default 64 KiB, freeing it
    // returns the memory to the system each time, and a typical message fits in 16 KiB anyway.
    curl_easy_setopt(c, CURLOPT_UPLOAD_BUFFERSIZE, 16384L);
    if (!settings.reuseConnection)
        curl_easy_setopt(c, CURLOPT_FORBID_REUSE, 1L);

    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(c, CURLOPT_SSLVERSION, long(CURL_SSLVERSION_TLSv1_2));
    if (!settings.caFile.isEmpty())
        curl_easy_setopt(c, CURLOPT_CAINFO, QFile::encodeName(settings.caFile).constData());

    // Credentials only ever travel inside TLS: the plain forms never authenticate, and the URL
    // forms either start with TLS or refuse to go on without STARTTLS.
    switch (m_server.kind) {
    case MailServer::Kind::Smtp:
        curl_easy_setopt(c, CURLOPT_NETRC, long(CURL_NETRC_IGNORED));
        curl_easy_setopt(c, CURLOPT_USE_SSL, long(CURLUSESSL_NONE));
        break;
    case MailServer::Kind::SmtpStartTls:
    case MailServer::Kind::Smtps:
        curl_easy_setopt(c, CURLOPT_USE_SSL, long(CURLUSESSL_ALL));
        curl_easy_setopt(c, CURLOPT_NETRC, long(CURL_NETRC_OPTIONAL));
        if (!m_server.password.isEmpty()) {
            curl_easy_setopt(c, CURLOPT_USERNAME, m_server.user.toUtf8().constData());
            curl_easy_setopt(c, CURLOPT_PASSWORD, m_server.password.toUtf8().constData());
        }
        break;
    case MailServer::Kind::Outbox: break;
    }
}

SmtpConnection::~SmtpConnection()
{
    if (m_curl)
        curl_easy_cleanup(m_curl); // says QUIT on an open session
}

size_t SmtpConnection::onRead(char *buffer, size_t size, size_t count, void *self)
{
    auto *c = static_cast<SmtpConnection *>(self);
    c->m_bodyStarted = true;
    const qsizetype left = c->m_message->size() - c->m_sent;
    const size_t n = std::min(size * count, size_t(left));
    std::memcpy(buffer, c->m_message->constData() + c->m_sent, n);
    c->m_sent += qsizetype(n);
    if (c->m_sent == c->m_message->size())
        c->m_bodyComplete = true;
    return n;
}

// libcurl hands every SMTP reply line to the header callback; its error buffer holds only the code.
size_t SmtpConnection::onReply(char *buffer, size_t size, size_t count, void *self)
{
    static_cast<SmtpConnection *>(self)->noteReplyLine(buffer, size * count);
    return size * count;
}

void SmtpConnection::noteReplyLine(const char *line, size_t length)
{
    while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r'))
        --length;
    if (length < 3 || !std::isdigit(static_cast<unsigned char>(line[0])) ||
        !std::isdigit(static_cast<unsigned char>(line[1])) ||
        !std::isdigit(static_cast<unsigned char>(line[2])))
        return;
    const bool more = length > 3 && line[3] == '-';
    if (length > 4) {
        if (!m_replyLines.isEmpty())
            m_replyLines += ' ';
        m_replyLines.append(line + 4, qsizetype(length - 4));
    }
    if (more)
        return;
    const int code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
    if (code >= 400) {
        m_errorCode = code;
        m_errorReply = QByteArray(line, 3);
        if (!m_replyLines.isEmpty())
            m_errorReply += ' ' + m_replyLines;
    }
    m_replyLines.clear();
}

// libcurl keeps a session for reuse when the failure came while it waited for the reply to the
// end of the message. Such a session is out of step (a late reply would be taken for the answer
// to the next command), so it is cut here; libcurl then finds it dead and opens a new one.
void SmtpConnection::abandonSession()
{
    curl_socket_t socket = CURL_SOCKET_BAD;
    if (curl_easy_getinfo(m_curl, CURLINFO_ACTIVESOCKET, &socket) == CURLE_OK && socket != CURL_SOCKET_BAD)
        ::shutdown(socket, SHUT_RDWR);
}

SmtpConnection::Attempt SmtpConnection::perform(const QByteArray &message, bool fresh)
{
    m_message = &message;
    m_sent = 0;
    m_bodyStarted = m_bodyComplete = false;
    m_replyLines.clear();
    m_errorCode = 0;
    m_errorReply.clear();
    m_errorBuffer[0] = '\0';

    curl_easy_setopt(m_curl, CURLOPT_INFILESIZE_LARGE, curl_off_t(message.size()));
    curl_easy_setopt(m_curl, CURLOPT_FRESH_CONNECT, fresh ? 1L : 0L);
    Attempt a;
    a.code = curl_easy_perform(m_curl);
    long connects = 0;
    curl_easy_getinfo(m_curl, CURLINFO_NUM_CONNECTS, &connects);
    a.reused = connects == 0;
    a.bodyStarted = m_bodyStarted;
    a.bodyComplete = m_bodyComplete;
    a.errorCode = m_errorCode;
    a.errorReply = m_errorReply;
    a.curlError = m_errorBuffer[0] ? QByteArray(m_errorBuffer) : QByteArray(curl_easy_strerror(a.code));
    m_message = nullptr;
    if (a.code != CURLE_OK)
        abandonSession();
    return a;
}

QString SmtpConnection::send(const QString &from, const QString &to, const QByteArray &message)
{
    if (!m_curl)
        return QStringLiteral("メール送信の準備ができませんでした（libcurlを初期化できません）。");
    const QByteArray fromBytes = from.toUtf8();
    curl_slist *recipients = curl_slist_append(nullptr, to.toUtf8().constData());
    curl_easy_setopt(m_curl, CURLOPT_MAIL_FROM, fromBytes.constData());
    curl_easy_setopt(m_curl, CURLOPT_MAIL_RCPT, recipients);

    Attempt a = perform(message, false);
    // A kept session that the server has meanwhile closed fails before any byte of the message
    // went out; only then is a second attempt on a new connection sure not to duplicate the mail.
    if (a.code != CURLE_OK && a.reused && !a.bodyStarted &&
        (a.errorCode == 421 || (a.errorCode == 0 && isTransportFailure(a.code))))
        a = perform(message, true);

    curl_easy_setopt(m_curl, CURLOPT_MAIL_RCPT, nullptr);
    curl_slist_free_all(recipients);
    return a.code == CURLE_OK ? QString() : describe(a);
}

QString SmtpConnection::describe(const Attempt &a) const
{
    const QString detail = QString::fromUtf8(a.curlError);
    const QString where = m_server.endpoint();
    if (a.errorCode) {
        QString stage;
        if (a.curlError.startsWith("MAIL failed"))
            stage = QStringLiteral("送信者のアドレスがメールサーバーに拒否されました");
        else if (a.curlError.startsWith("RCPT failed"))
            stage = QStringLiteral("宛先のアドレスがメールサーバーに拒否されました");
        else if (a.curlError.startsWith("DATA failed"))
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
    case CURLE_COULDNT_RESOLVE_HOST:
        return QStringLiteral("メールサーバー「%1」が見つかりません（%2）。").arg(m_server.host, detail);
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
