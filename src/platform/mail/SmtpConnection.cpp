#include "platform/mail/SmtpConnection.h"

#include "platform/mail/CurlTls.h"

#include <QFile>
#include <QUrl>

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <poll.h>

// The meaning of an attempt is the mail outcome's (outcomeOf); what is kept here beside it is the
// dialogue's own: whether the session was a kept one, and whether its token was fetched just now.
struct SmtpConnection::Attempt : SmtpAttempt {
    bool reused = false;
    bool tokenFresh = false;
};

namespace
{

bool isTransportFailure(int code)
{
    return code == CURLE_SEND_ERROR || code == CURLE_RECV_ERROR || code == CURLE_GOT_NOTHING;
}

// Milliseconds on the monotonic clock.
qint64 now()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The message as the DATA phase carries it: a line that starts with "." gets a second one, and
// the end marker follows, so that one write can carry all of it. Returns where the end marker
// starts.
qsizetype stuffMessage(const QByteArray &message, QByteArray *wire)
{
    wire->resize(0);
    wire->reserve(message.size() + message.size() / 64 + 64);
    // Base64 and Japanese text hold no "." at all; each one found is checked for a line start.
    const char *const begin = message.constData();
    const char *const end = begin + message.size();
    const char *from = begin;
    for (const char *dot = begin; (dot = static_cast<const char *>(std::memchr(dot, '.', size_t(end - dot))));
         ++dot) {
        if (dot == begin || (dot - begin >= 2 && dot[-1] == '\n' && dot[-2] == '\r')) {
            wire->append(from, dot - from + 1);
            wire->append('.');
            from = dot + 1;
        }
    }
    wire->append(from, end - from);
    const qsizetype marker = wire->size();
    if (message.isEmpty() || message.endsWith("\r\n"))
        wire->append(".\r\n");
    else
        wire->append("\r\n.\r\n");
    return marker;
}

// Mails this large go out in two writes, so that `beforeEnd` runs only once the bulk is gone.
constexpr qsizetype LargeMail = 256 * 1024;

} // namespace

SmtpConnection::SmtpConnection(const MailServer &server, const SmtpSettings &settings, MailLogin login)
    : m_server(server), m_settings(settings), m_login(std::move(login)),
      m_tls(server.kind != MailServer::Kind::Smtp)
{
    if (!m_login.password.isEmpty())
        m_server.password = m_login.password;
}

SmtpConnection::~SmtpConnection()
{
    close(true);
}

// libcurl hands every reply line of the session's opening to the header callback; its error
// buffer holds only the code.
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
    const int code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
    const QByteArray text(line + std::min<size_t>(length, 4),
                          qsizetype(length - std::min<size_t>(length, 4)));

    // The extensions are those of the last EHLO reply: its first line names the server, every
    // further line one extension. After STARTTLS the server announces them again.
    if (code == 250) {
        if (m_replyLineCount == 0) {
            m_pipelining = m_smtpUtf8 = m_size = m_dsn = false;
        } else {
            const qsizetype space = text.indexOf(' ');
            const QByteArray keyword = (space < 0 ? text : text.left(space)).toUpper();
            if (keyword == "PIPELINING")
                m_pipelining = true;
            else if (keyword == "SMTPUTF8")
                m_smtpUtf8 = true;
            else if (keyword == "SIZE")
                m_size = true;
            else if (keyword == "DSN")
                m_dsn = true;
        }
    }

    if (!text.isEmpty()) {
        if (!m_replyLines.isEmpty())
            m_replyLines += ' ';
        m_replyLines += text;
    }
    if (more) {
        ++m_replyLineCount;
        return;
    }
    if (code >= 400) {
        m_errorCode = code;
        m_errorReply = QByteArray(line, 3);
        if (!m_replyLines.isEmpty())
            m_errorReply += ' ' + m_replyLines;
    }
    m_replyLines.clear();
    m_replyLineCount = 0;
}

// An OAuth server that refuses an access token the session did not just fetch gets one more try
// with a new one: the token may have been revoked or expired early on the provider's side.
bool SmtpConnection::open(Attempt &a)
{
    if (openOnce(a, false))
        return true;
    if (!m_login.oauth || a.code != CURLE_LOGIN_DENIED || a.token || a.tokenFresh)
        return false;
    a = Attempt{};
    return openOnce(a, true);
}

// libcurl connects, reads the greeting, says EHLO and, where the server form asks for it,
// STARTTLS and AUTH; with CONNECT_ONLY it stops there and leaves the session open.
bool SmtpConnection::openOnce(Attempt &a, bool freshToken)
{
    a.stage = SmtpStage::Connect;
    QByteArray bearer;
    if (m_server.oauth) {
        if (!m_login.oauth) {
            a.code = CURLE_LOGIN_DENIED;
            a.token = TokenReply{TokenReply::Status::GrantRefused,
                                 {},
                                 {},
                                 0,
                                 Failure::tokenGrantRefused(QStringLiteral("not signed in"))};
            return false;
        }
        OAuthTokenSource::Token t = m_login.oauth->accessToken(freshToken);
        if (!t.reply.ok()) {
            a.code = CURLE_LOGIN_DENIED;
            a.token = t.reply;
            return false;
        }
        a.tokenFresh = t.fresh;
        bearer = t.reply.accessToken.toUtf8();
    }
    CURL *c = curl_easy_init();
    if (!c) {
        a.code = CURLE_FAILED_INIT;
        a.detail = curl_easy_strerror(CURLcode(a.code));
        return false;
    }
    m_errorBuffer[0] = '\0';
    m_replyLines.clear();
    m_replyLineCount = 0;
    m_errorCode = 0;
    m_errorReply.clear();
    m_pipelining = m_smtpUtf8 = m_size = m_dsn = false;

    curl_easy_setopt(c, CURLOPT_URL, m_server.curlUrl().constData());
    openOnly(c, "smtp,smtps", m_errorBuffer, &SmtpConnection::onReply, this, m_settings.connectTimeoutSeconds,
             m_settings.responseTimeoutSeconds);

    requireVerifiedTls(c, m_settings.caFile);

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
        if (m_server.oauth) {
            // XOAUTH2 alone, the mechanism Microsoft 365 and Google both take; never a password.
            curl_easy_setopt(c, CURLOPT_NETRC, long(CURL_NETRC_IGNORED));
            curl_easy_setopt(c, CURLOPT_USERNAME, m_server.user.toUtf8().constData());
            curl_easy_setopt(c, CURLOPT_XOAUTH2_BEARER, bearer.constData());
            curl_easy_setopt(c, CURLOPT_LOGIN_OPTIONS, "AUTH=XOAUTH2");
            break;
        }
        curl_easy_setopt(c, CURLOPT_NETRC, long(CURL_NETRC_OPTIONAL));
        if (!m_server.password.isEmpty()) {
            curl_easy_setopt(c, CURLOPT_USERNAME, m_server.user.toUtf8().constData());
            curl_easy_setopt(c, CURLOPT_PASSWORD, m_server.password.toUtf8().constData());
        }
        break;
    case MailServer::Kind::Outbox: break;
    }

    a.code = curl_easy_perform(c);
    curl_socket_t socket = CURL_SOCKET_BAD;
    if (a.code == CURLE_OK &&
        (curl_easy_getinfo(c, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK || socket == CURL_SOCKET_BAD))
        a.code = CURLE_COULDNT_CONNECT;
    if (a.code != CURLE_OK) {
        a.errorCode = m_errorCode;
        a.errorReply = m_errorReply;
        a.detail =
            m_errorBuffer[0] ? QByteArray(m_errorBuffer) : QByteArray(curl_easy_strerror(CURLcode(a.code)));
        curl_easy_cleanup(c);
        return false;
    }
    m_curl = c;
    m_socket = socket;
    m_replies.clear();
    return true;
}

// Ends the session. QUIT only when it is in step; after a failure in the middle of a transaction
// the connection is simply cut, so that nothing the server sends late is taken for an answer.
// libcurl does not say QUIT for a CONNECT_ONLY session.
void SmtpConnection::close(bool quit)
{
    if (!m_curl)
        return;
    // After an envelope sent ahead the server may be reading a message: QUIT would be its text.
    if (quit && !m_ahead) {
        // A server that does not answer QUIT promptly is not waited for: the program may be ending.
        Attempt ignored;
        SmtpReply reply;
        if (sendAll(QByteArrayLiteral("QUIT\r\n"), ignored, m_settings.quitTimeoutMilliseconds))
            readReply(reply, ignored, m_settings.quitTimeoutMilliseconds);
    }
    curl_easy_cleanup(m_curl);
    m_curl = nullptr;
    m_socket = -1;
    m_replies.clear();
    m_ahead.reset();
}

// Waits until the socket is ready or the deadline (a time of now()) has passed: 1 ready,
// 0 timed out, -1 failed.
int SmtpConnection::wait(short events, qint64 deadline)
{
    for (;;) {
        const qint64 left = deadline - now();
        if (left <= 0)
            return 0;
        pollfd p{m_socket, events, 0};
        const int n = ::poll(&p, 1, int(std::min<qint64>(left, 3600 * 1000)));
        if (n > 0)
            return 1;
        if (n == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

int SmtpConnection::timeoutMs(int requested) const
{
    return requested >= 0 ? requested : m_settings.responseTimeoutSeconds * 1000;
}

qint64 SmtpConnection::idleClock() const
{
    return m_settings.clock ? m_settings.clock() : now();
}

// wait() with its outcome noted in the attempt: false on a time-out or a failed poll.
bool SmtpConnection::waitReady(short events, qint64 deadline, int timeoutMs, const QByteArray &timeoutText,
                               Attempt &a)
{
    const int ready = wait(events, deadline);
    if (ready > 0)
        return true;
    if (ready == 0) {
        a.code = CURLE_OPERATION_TIMEDOUT;
        a.detail = timeoutText + (timeoutMs % 1000 == 0 ? QByteArray::number(timeoutMs / 1000) + " s"
                                                        : QByteArray::number(timeoutMs) + " ms");
    } else {
        a.code = events & POLLOUT ? CURLE_SEND_ERROR : CURLE_RECV_ERROR;
        a.detail = QByteArray("poll: ") + std::strerror(errno);
    }
    return false;
}

bool SmtpConnection::sendAll(const char *data, qsizetype size, Attempt &a, int timeout, qsizetype *sent)
{
    const int stall = timeoutMs(timeout);
    qsizetype done = 0;
    if (sent)
        *sent = 0;
    while (done < size) {
        size_t n = 0;
        const CURLcode rc = curl_easy_send(m_curl, data + done, size_t(size - done), &n);
        if (rc == CURLE_AGAIN) {
            // The server has stopped reading; give it the response time-out to go on.
            if (!waitReady(POLLOUT, now() + stall, stall,
                           QByteArrayLiteral("the server did not take more data within "), a))
                return false;
            continue;
        }
        if (rc != CURLE_OK) {
            a.code = CURLE_SEND_ERROR;
            a.detail = curl_easy_strerror(rc);
            return false;
        }
        done += qsizetype(n);
        if (sent)
            *sent = done;
    }
    return true;
}

bool SmtpConnection::readReply(SmtpReply &reply, Attempt &a, int timeout)
{
    const int limit = timeoutMs(timeout);
    const qint64 deadline = now() + limit;
    // Over TLS, bytes already decrypted wait inside the TLS library where poll cannot see them,
    // so there a read comes first and poll only after it found nothing.
    bool tryRead = m_tls;
    for (;;) {
        switch (m_replies.next(&reply)) {
        case SmtpReplyParser::Result::Reply: return true;
        case SmtpReplyParser::Result::Malformed:
            a.code = CURLE_WEIRD_SERVER_REPLY;
            a.detail = QByteArrayLiteral("the server's reply could not be read");
            return false;
        case SmtpReplyParser::Result::Incomplete: break;
        }
        if (!tryRead) {
            if (!waitReady(POLLIN, deadline, limit, QByteArrayLiteral("no reply within "), a))
                return false;
        }
        char buffer[4096];
        size_t n = 0;
        const CURLcode rc = curl_easy_recv(m_curl, buffer, sizeof buffer, &n);
        if (rc == CURLE_AGAIN) {
            tryRead = false;
            continue;
        }
        if (rc != CURLE_OK) {
            a.code = CURLE_RECV_ERROR;
            a.detail = curl_easy_strerror(rc);
            return false;
        }
        if (n == 0) {
            a.code = CURLE_GOT_NOTHING;
            a.detail = QByteArrayLiteral("the server closed the connection");
            return false;
        }
        m_replies.append(buffer, qsizetype(n));
        tryRead = m_tls;
    }
}

// Notes the server's refusal at `stage` unless an earlier one is already noted; false when the
// session cannot go on (421: the server is closing it).
bool SmtpConnection::refuse(Attempt &a, SmtpStage stage, const SmtpReply &reply)
{
    if (a.errorCode == 0) {
        a.code = CURLE_WEIRD_SERVER_REPLY;
        a.stage = stage;
        a.errorCode = reply.code;
        a.errorReply = reply.text;
        a.detail = reply.text;
    }
    return reply.code != 421;
}

// Ends a refused transaction so that the session serves the next message; a session that does
// not answer RSET properly is cut.
void SmtpConnection::reset()
{
    Attempt ignored;
    SmtpReply reply;
    if (sendAll(QByteArrayLiteral("RSET\r\n"), ignored) && readReply(reply, ignored) && reply.positive())
        return;
    close(false);
}

QByteArray SmtpConnection::mailCommand(const Envelope &e) const
{
    QByteArray command = "MAIL FROM:<" + e.mailFrom + '>';
    if (m_size)
        command += " SIZE=" + QByteArray::number(e.size);
    if (e.utf8)
        command += " SMTPUTF8";
    // Failure notices carry only the headers back, and the run's name for the mail.
    if (m_dsn && !e.envelopeId.isEmpty())
        command += " RET=HDRS ENVID=" + e.envelopeId;
    return command + "\r\n";
}

QByteArray SmtpConnection::envelopeCommands(const Envelope &e) const
{
    QByteArray commands = mailCommand(e);
    // Every recipient asks for a notice of failure only: a delay or a delivery is no news.
    const QByteArray notify = m_dsn && !e.envelopeId.isEmpty() ? " NOTIFY=FAILURE" : "";
    for (const QByteArray &to : e.rcptTo)
        commands += "RCPT TO:<" + to + '>' + notify + "\r\n";
    return commands + "DATA\r\n";
}

SmtpConnection::Envelope SmtpConnection::envelopeOf(const SmtpMail &mail, QList<RefusedCopy> *left) const
{
    Envelope e{mail.mailFrom, {mail.rcptTo}, mail.utf8, mail.message.size(), mail.envelopeId};
    for (const QByteArray &copy : mail.copyTo) {
        const bool ascii = std::all_of(copy.begin(), copy.end(),
                                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
        if (!ascii && !m_smtpUtf8) {
            if (left)
                left->append({QString::fromUtf8(copy),
                              QStringLiteral("メールサーバーが SMTPUTF8 に対応していないため"), false});
            continue;
        }
        e.rcptTo += copy;
        e.utf8 = e.utf8 || !ascii;
    }
    return e;
}

// A copy's refusal is only noted; the main recipient's, or a reply that ends the session or is
// out of step, is the mail's.
bool SmtpConnection::refuseRecipient(Attempt &a, const Envelope &e, qsizetype index, const SmtpReply &reply)
{
    if (index > 0 && reply.code >= 400 && reply.code <= 599 && reply.code != 421) {
        a.refusedCopies.append({QString::fromUtf8(e.rcptTo[index]), QString::fromUtf8(reply.text)});
        return true;
    }
    return refuse(a, SmtpStage::Rcpt, reply);
}

// The replies to MAIL FROM, the RCPT TOs and DATA sent together; false when the mail cannot go on
// (the session then reset or closed).
bool SmtpConnection::readEnvelopeReplies(Attempt &a, const Envelope &e)
{
    // A refused MAIL or RCPT makes DATA fail as well; the first refusal is the one to report.
    bool dataOpen = false;
    const qsizetype replies = e.rcptTo.size() + 2;
    for (qsizetype i = 0; i < replies; ++i) {
        const SmtpStage stage = i == 0            ? SmtpStage::Mail
                                : i + 1 < replies ? SmtpStage::Rcpt
                                                  : SmtpStage::Data;
        SmtpReply reply;
        if (!readReply(reply, a)) {
            if (a.errorCode == 0)
                a.stage = stage;
            close(false);
            return false;
        }
        const bool expected = stage == SmtpStage::Data ? reply.code == 354 : reply.positive();
        if (expected) {
            dataOpen = stage == SmtpStage::Data;
            continue;
        }
        const bool goesOn =
            stage == SmtpStage::Rcpt ? refuseRecipient(a, e, i - 1, reply) : refuse(a, stage, reply);
        if (!goesOn) {
            close(false);
            return false;
        }
    }
    if (a.errorCode == 0)
        return true;
    // A server that opened DATA in spite of the refusal (for a copy it accepted) could only be
    // stopped by a message, even an empty one, and one that answers out of turn is out of step:
    // either session is cut.
    if (dataOpen || a.errorCode < 400)
        close(false);
    else
        reset();
    return false;
}

SmtpConnection::Attempt SmtpConnection::transact(const SmtpMail &mail,
                                                 const std::function<const SmtpMail *()> &next,
                                                 const std::function<bool()> &beforeEnd)
{
    Attempt a;
    a.reused = m_curl != nullptr;
    if (!m_curl && !open(a))
        return a;
    if (mail.utf8 && !m_smtpUtf8) {
        a.code = CURLE_ABORTED_BY_CALLBACK;
        a.needsSmtpUtf8 = true;
        return a;
    }

    const Envelope envelope = envelopeOf(mail, &a.refusedCopies);
    if (m_ahead) {
        // Written behind the previous mail's end of data; only the replies are still to come.
        m_ahead.reset();
        a.stage = SmtpStage::Mail;
        if (!readEnvelopeReplies(a, envelope))
            return a;
    } else if (m_pipelining) {
        // MAIL FROM, every RCPT TO and DATA go out together; the server answers each in turn.
        a.stage = SmtpStage::Mail;
        if (!sendAll(envelopeCommands(envelope), a)) {
            close(false);
            return a;
        }
        if (!readEnvelopeReplies(a, envelope))
            return a;
    } else {
        // The copies are offered only once the main recipient is accepted.
        const qsizetype steps = envelope.rcptTo.size() + 2;
        for (qsizetype i = 0; i < steps; ++i) {
            const SmtpStage stage = i == 0          ? SmtpStage::Mail
                                    : i + 1 < steps ? SmtpStage::Rcpt
                                                    : SmtpStage::Data;
            a.stage = stage;
            QByteArray command = QByteArrayLiteral("DATA\r\n");
            if (stage == SmtpStage::Mail)
                command = mailCommand(envelope);
            else if (stage == SmtpStage::Rcpt)
                command = "RCPT TO:<" + envelope.rcptTo[i - 1] + ">\r\n";
            SmtpReply reply;
            if (!sendAll(command, a) || !readReply(reply, a)) {
                close(false);
                return a;
            }
            const bool expected = stage == SmtpStage::Data ? reply.code == 354 : reply.positive();
            if (expected)
                continue;
            if (stage == SmtpStage::Rcpt && i > 1) {
                if (refuseRecipient(a, envelope, i - 1, reply) && a.errorCode == 0)
                    continue;
            } else {
                refuse(a, stage, reply);
            }
            if (reply.code >= 400 && reply.code != 421)
                reset();
            else
                close(false);
            return a;
        }
    }

    a.stage = SmtpStage::EndOfData;
    const qsizetype marker = stuffMessage(mail.message, &m_wire);
    const qsizetype endOfData = m_wire.size();
    std::optional<Envelope> ahead;
    if (next && m_pipelining && m_settings.reuseConnection) {
        const SmtpMail *following = next();
        if (following && (!following->utf8 || m_smtpUtf8)) {
            ahead = envelopeOf(*following);
            m_wire += envelopeCommands(*ahead);
        }
    }
    a.bodyStarted = true;
    qsizetype sent = 0;
    bool written = true;
    if (beforeEnd) {
        if (marker > LargeMail)
            written = sendAll(m_wire.constData(), marker, a, -1, &sent);
        if (written && !beforeEnd()) {
            // Without its end marker the server discards the message; QUIT now would be read as
            // part of it, so the session is only cut.
            a.code = CURLE_ABORTED_BY_CALLBACK;
            a.heldBack = true;
            close(false);
            return a;
        }
    }
    if (written) {
        qsizetype more = 0;
        written = sendAll(m_wire.constData() + sent, m_wire.size() - sent, a, -1, &more);
        sent += more;
    }
    a.bodyComplete = sent >= endOfData;
    if (!written) {
        close(false);
        return a;
    }
    m_ahead = ahead;
    SmtpReply reply;
    if (!readReply(reply, a)) {
        // The message may have arrived; a late reply must not be read as the next one's.
        close(false);
        return a;
    }
    // A reply that is neither an acceptance nor a refusal comes from a server out of step with the
    // dialogue: nothing it says later can be trusted, so the session is cut.
    if (!reply.positive() &&
        (!refuse(a, SmtpStage::EndOfData, reply) || reply.code < 400 || reply.code > 599))
        close(false);
    else if (!m_ahead && m_replies.hasPending())
        close(false); // more than was asked for: the next reply could not be trusted
    return a;
}

MailOutcome SmtpConnection::send(const SmtpMail &mail, const std::function<const SmtpMail *()> &next,
                                 const std::function<bool()> &beforeEnd)
{
    // An envelope sent ahead for another mail cannot be taken back: the session is cut, and as no
    // byte of that mail's message went out, nothing arrives.
    if (m_ahead && !(*m_ahead == envelopeOf(mail)))
        close(false);
    // Servers and the networks between drop sessions that stay quiet for long, often without a
    // word; a session idle past the limit is ended here rather than found dead by this mail.
    if (m_curl && idleClock() - m_lastUsed >= qint64(m_settings.idleLimitSeconds) * 1000)
        close(true);
    Attempt a = transact(mail, next, beforeEnd);
    // A kept session that the server has meanwhile closed, or that no longer answers, fails before
    // any byte of the message went out; only then is a second attempt on a new connection sure
    // not to duplicate the mail.
    if (a.code != CURLE_OK && a.reused && !a.bodyStarted &&
        (a.errorCode == 421 ||
         (a.errorCode == 0 && (isTransportFailure(a.code) || a.code == CURLE_OPERATION_TIMEDOUT)))) {
        close(false);
        a = transact(mail, next, beforeEnd);
    }
    if (!m_settings.reuseConnection)
        close(true);
    m_lastUsed = idleClock();
    return outcomeOf(a, m_server);
}
