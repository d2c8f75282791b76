#include "platform/mail/ImapMailbox.h"

#include "platform/mail/CurlTls.h"

#include "platform/mail/SigpipeBlock.h"

#include <QFile>

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include <poll.h>

namespace
{

// A line of a response (literals aside) longer than this ends the session: a SEARCH of a million
// messages fits many times over.
constexpr qsizetype LineLimit = 64 * 1024 * 1024;
// Literals of every command but FETCH: folder names, mostly.
constexpr qsizetype SmallLiteral = 64 * 1024;
// A header larger than this is not handed on.
constexpr qsizetype HeaderLimit = 1024 * 1024;
// UIDs per FETCH: how much the session reads past once `each` asks it to stop.
constexpr size_t FetchBatch = 50;

qint64 now()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

const char Base64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

int base64Value(char c)
{
    const char *p = std::strchr(Base64, c);
    return c != '\0' && p ? int(p - Base64) : -1;
}

// A value of a response: an atom (flags, numbers, NIL and keywords too), a string (quoted or a
// literal) or a parenthesised list.
struct Value {
    enum class Type { Atom, String, List };
    Type type = Type::Atom;
    QByteArray text;
    std::vector<Value> items;
    const void *literal = nullptr; // the literal a string came in
    bool isAtom(const char *a) const
    {
        return type == Type::Atom && text.compare(a, Qt::CaseInsensitive) == 0;
    }
};

// Reads the values of one response text in turn.
template <class Literal> class ValueReader
{
  public:
    ValueReader(const QByteArray &text, const std::vector<Literal> &literals, qsizetype from = 0)
        : m_text(text), m_literals(literals), m_pos(from)
    {
    }

    // Nothing at the end of the text, at a ')' or at something unreadable.
    std::optional<Value> next()
    {
        while (m_pos < m_text.size() && m_text[m_pos] == ' ')
            ++m_pos;
        if (m_pos >= m_text.size() || m_text[m_pos] == ')')
            return std::nullopt;
        Value v;
        const char c = m_text[m_pos];
        if (c == '(') {
            ++m_pos;
            v.type = Value::Type::List;
            while (std::optional<Value> item = next())
                v.items.push_back(std::move(*item));
            if (m_pos >= m_text.size())
                return std::nullopt;
            ++m_pos; // ')'
            return v;
        }
        if (c == '"') {
            v.type = Value::Type::String;
            for (++m_pos; m_pos < m_text.size(); ++m_pos) {
                char ch = m_text[m_pos];
                if (ch == '"') {
                    ++m_pos;
                    return v;
                }
                if (ch == '\\' && m_pos + 1 < m_text.size())
                    ch = m_text[++m_pos];
                v.text += ch;
            }
            return std::nullopt;
        }
        if (c == '{') {
            const qsizetype close = m_text.indexOf('}', m_pos);
            if (close < 0 || m_literal >= m_literals.size())
                return std::nullopt;
            const Literal &l = m_literals[m_literal++];
            v.type = Value::Type::String;
            v.text = l.bytes;
            v.literal = &l;
            m_pos = close + 1;
            return v;
        }
        // An atom; "BODY[HEADER]" and "[UNAVAILABLE]" hold their brackets whole.
        int brackets = 0;
        const qsizetype start = m_pos;
        for (; m_pos < m_text.size(); ++m_pos) {
            const char ch = m_text[m_pos];
            if (ch == '[')
                ++brackets;
            else if (ch == ']' && brackets > 0)
                --brackets;
            else if (brackets == 0 && (ch == ' ' || ch == '(' || ch == ')' || ch == '"' || ch == '{'))
                break;
        }
        v.text = m_text.mid(start, m_pos - start);
        return v;
    }

    qsizetype position() const { return m_pos; }

  private:
    const QByteArray &m_text;
    const std::vector<Literal> &m_literals;
    qsizetype m_pos;
    size_t m_literal = 0;
};

bool parseNumber(const QByteArray &text, quint64 limit, quint64 *value)
{
    if (text.isEmpty() || text.size() > 20)
        return false;
    quint64 v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + quint64(c - '0');
        if (v > limit)
            return false;
    }
    *value = v;
    return true;
}

// "1:4,7,9:12" for the UIDs, each once.
QByteArray uidSet(std::vector<quint32> uids)
{
    std::sort(uids.begin(), uids.end());
    uids.erase(std::unique(uids.begin(), uids.end()), uids.end());
    QByteArray set;
    for (size_t i = 0; i < uids.size();) {
        size_t j = i;
        while (j + 1 < uids.size() && uids[j + 1] == uids[j] + 1)
            ++j;
        if (!set.isEmpty())
            set += ',';
        set += QByteArray::number(uids[i]);
        if (j > i)
            set += ':' + QByteArray::number(uids[j]);
        i = j + 1;
    }
    return set;
}

const char *const Months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// RFC 3501's date ("9-Dec-2025") and date-time ("09-Dec-2025 14:05:00 +0900"), in English whatever
// the locale.
QByteArray imapDate(const QDate &d)
{
    return QByteArray::number(d.day()) + '-' + Months[d.month() - 1] + '-' + QByteArray::number(d.year());
}

QByteArray imapDateTime(const QDateTime &t)
{
    const QDate d = t.date();
    const QTime time = t.time();
    const int offset = t.offsetFromUtc() / 60;
    const int a = std::abs(offset);
    return QString::asprintf("%02d-%s-%04d %02d:%02d:%02d %c%02d%02d", d.day(), Months[d.month() - 1],
                             d.year(), time.hour(), time.minute(), time.second(), offset < 0 ? '-' : '+',
                             a / 60, a % 60)
        .toLatin1();
}

bool hasLineBreak(const QByteArray &bytes)
{
    return bytes.contains('\r') || bytes.contains('\n') || bytes.contains('\0');
}

bool isAscii(const QByteArray &bytes)
{
    return std::all_of(bytes.begin(), bytes.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

QByteArray quoted(const QByteArray &bytes)
{
    QByteArray q = "\"";
    for (const char c : bytes) {
        if (c == '"' || c == '\\')
            q += '\\';
        q += c;
    }
    return q + '"';
}

QString replyText(const QByteArray &text)
{
    return QString::fromUtf8(text).trimmed();
}

// The folder names mail programs give their sent folder, most common first.
const char *const SentNames[] = {"Sent", "Sent Items", "Sent Messages", "[Gmail]/Sent Mail",
                                 "[Google Mail]/Sent Mail"};

} // namespace

QByteArray encodeMailboxName(const QString &name)
{
    QByteArray out;
    QByteArray bits; // UTF-16 code units waiting for base64
    auto flush = [&] {
        if (bits.isEmpty())
            return;
        out += '&';
        quint32 acc = 0;
        int n = 0;
        for (const char b : bits) {
            acc = (acc << 8) | static_cast<unsigned char>(b);
            n += 8;
            while (n >= 6) {
                n -= 6;
                out += Base64[(acc >> n) & 0x3f];
            }
        }
        if (n > 0)
            out += Base64[(acc << (6 - n)) & 0x3f];
        out += '-';
        bits.clear();
    };
    for (const QChar c : name) {
        const char16_t u = c.unicode();
        if (u >= 0x20 && u <= 0x7e) {
            flush();
            out += u == '&' ? QByteArray("&-") : QByteArray(1, char(u));
        } else {
            bits += char(u >> 8);
            bits += char(u & 0xff);
        }
    }
    flush();
    return out;
}

std::optional<QString> decodeMailboxName(const QByteArray &encoded)
{
    QString out;
    for (qsizetype i = 0; i < encoded.size(); ++i) {
        const char c = encoded[i];
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e)
            return std::nullopt;
        if (c != '&') {
            out += QLatin1Char(c);
            continue;
        }
        const qsizetype end = encoded.indexOf('-', i + 1);
        if (end < 0)
            return std::nullopt;
        if (end == i + 1) {
            out += u'&';
            i = end;
            continue;
        }
        quint32 acc = 0;
        int n = 0;
        QString units;
        for (qsizetype k = i + 1; k < end; ++k) {
            const int v = base64Value(encoded[k]);
            if (v < 0)
                return std::nullopt;
            acc = (acc << 6) | quint32(v);
            n += 6;
            if (n >= 16) {
                n -= 16;
                units += QChar(char16_t((acc >> n) & 0xffff));
            }
        }
        // Only zero bits may be left over, fewer than a code unit's worth; printable ASCII never
        // goes into base64.
        if (n >= 6 || (acc & ((1u << n) - 1)) != 0 || units.isEmpty())
            return std::nullopt;
        for (const QChar u : units)
            if (u.unicode() >= 0x20 && u.unicode() <= 0x7e)
                return std::nullopt;
        out += units;
        i = end;
    }
    return out;
}

ImapMailbox::ImapMailbox(MailboxServer server, ImapSettings settings, MailLogin login)
    : m_server(std::move(server)), m_settings(std::move(settings)), m_login(std::move(login))
{
}

ImapMailbox::~ImapMailbox()
{
    close();
}

// libcurl hands the server's responses while it signs in to the header callback; the NO of a
// refused login is kept for the failure's text.
size_t ImapMailbox::onLoginLine(char *buffer, size_t size, size_t count, void *self)
{
    const QByteArray line = QByteArray(buffer, qsizetype(size * count)).trimmed();
    const qsizetype space = line.indexOf(' ');
    if (space > 0 && !line.startsWith("* ") && !line.startsWith("+ ")) {
        const QByteArray rest = line.mid(space + 1);
        if (rest.startsWith("NO ") || rest.startsWith("BAD "))
            static_cast<ImapMailbox *>(self)->m_loginRefusal = rest.mid(rest.indexOf(' ') + 1);
    }
    return size * count;
}

std::optional<Failure> ImapMailbox::open()
{
    if (m_curl)
        return std::nullopt;
    SigpipeBlock sigpipe;
    // An access token the server refuses that was not fetched just now gets one more try with a
    // new one: the provider may have revoked it or let it expire early.
    bool retry = false;
    std::optional<Failure> f = openOnce(false, &retry);
    if (f && retry)
        f = openOnce(true, &retry);
    return f;
}

std::optional<Failure> ImapMailbox::openOnce(bool freshToken, bool *retry)
{
    *retry = false;
    m_failure.reset();
    QByteArray bearer;
    bool tokenFresh = false;
    if (m_server.oauth) {
        if (!m_login.oauth)
            return Failure::tokenGrantRefused(QStringLiteral("not signed in"));
        const OAuthTokenSource::Token t = m_login.oauth->accessToken(freshToken);
        if (!t.reply.ok())
            return t.reply.failure.value_or(Failure::tokenGrantRefused(QStringLiteral("no access token")));
        tokenFresh = t.fresh;
        bearer = t.reply.accessToken.toUtf8();
    } else if (m_login.password.isEmpty()) {
        return Failure::mailboxLoginRefused(where(), m_server.user, QStringLiteral("パスワードがありません"));
    } else if (m_login.password.contains(u'\r') || m_login.password.contains(u'\n') ||
               m_login.password.contains(QChar(0))) {
        // A server without SASL gets LOGIN with the password in the command line.
        return Failure::mailboxLoginRefused(where(), m_server.user,
                                            QStringLiteral("パスワードに改行などの制御文字が含まれています"));
    }

    CURL *c = curl_easy_init();
    if (!c)
        return Failure::mailboxUnreachable(where(), QStringLiteral("libcurl を初期化できません"));
    m_errorBuffer[0] = '\0';
    m_loginRefusal.clear();
    const QByteArray url =
        (m_server.startTls ? "imap://" : "imaps://") +
        (m_server.host.contains(u':') ? '[' + m_server.host.toLatin1() + ']' : m_server.host.toLatin1()) +
        ':' + QByteArray::number(m_server.port) + '/';
    curl_easy_setopt(c, CURLOPT_URL, url.constData());
    openOnly(c, "imap,imaps", m_errorBuffer, &ImapMailbox::onLoginLine, this,
             m_settings.connectTimeoutSeconds, m_settings.responseTimeoutSeconds);
    requireVerifiedTls(c, m_settings.caFile);
    // Credentials only ever travel inside TLS: STARTTLS must succeed, or nothing is sent.
    curl_easy_setopt(c, CURLOPT_USE_SSL, long(CURLUSESSL_ALL));
    curl_easy_setopt(c, CURLOPT_NETRC, long(CURL_NETRC_IGNORED));
    curl_easy_setopt(c, CURLOPT_USERNAME, m_server.user.toUtf8().constData());
    if (m_server.oauth) {
        curl_easy_setopt(c, CURLOPT_XOAUTH2_BEARER, bearer.constData());
        curl_easy_setopt(c, CURLOPT_LOGIN_OPTIONS, "AUTH=XOAUTH2");
    } else {
        curl_easy_setopt(c, CURLOPT_PASSWORD, m_login.password.toUtf8().constData());
    }

    const CURLcode rc = curl_easy_perform(c);
    curl_socket_t socket = CURL_SOCKET_BAD;
    if (rc != CURLE_OK || curl_easy_getinfo(c, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK ||
        socket == CURL_SOCKET_BAD) {
        const QString detail = QString::fromUtf8(m_errorBuffer[0] ? m_errorBuffer : curl_easy_strerror(rc));
        curl_easy_cleanup(c);
        switch (rc) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT: return Failure::mailboxUnreachable(where(), detail);
        case CURLE_OPERATION_TIMEDOUT:
            return Failure::mailboxTimedOut(where(), m_settings.connectTimeoutSeconds);
        case CURLE_USE_SSL_FAILED:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR: return Failure::mailboxTls(where(), detail);
        case CURLE_LOGIN_DENIED:
            *retry = m_server.oauth && !tokenFresh && !freshToken;
            return Failure::mailboxLoginRefused(
                where(), m_server.user, m_loginRefusal.isEmpty() ? detail : replyText(m_loginRefusal));
        default: return Failure::mailboxConnectionLost(where(), detail);
        }
    }
    m_curl = c;
    m_socket = int(socket);
    m_in.clear();
    m_inPos = 0;
    m_bye.clear();
    // What the server offers changes with the sign-in; libcurl kept the list it read before.
    m_capabilities.clear();
    if (std::optional<Failure> f = run({{"CAPABILITY"}}, QStringLiteral("機能の問い合わせ（CAPABILITY）"))) {
        cut();
        return f;
    }
    return std::nullopt;
}

std::optional<Failure> ImapMailbox::ensureOpen()
{
    return m_curl ? std::nullopt : open();
}

void ImapMailbox::close()
{
    if (!m_curl)
        return;
    SigpipeBlock sigpipe;
    // LOGOUT is a courtesy: a server slow to answer it is not waited for long.
    const int timeout = m_settings.responseTimeoutSeconds;
    m_settings.responseTimeoutSeconds = std::min(timeout, 2);
    run({{"LOGOUT"}}, QStringLiteral("LOGOUT"));
    m_settings.responseTimeoutSeconds = timeout;
    cut();
}

void ImapMailbox::cut()
{
    if (m_curl)
        curl_easy_cleanup(m_curl);
    m_curl = nullptr;
    m_socket = -1;
    m_in.clear();
    m_inPos = 0;
}

void ImapMailbox::fail(Failure failure)
{
    if (!m_failure)
        m_failure = std::move(failure);
    cut();
}

bool ImapMailbox::sendAll(const char *data, qsizetype size)
{
    const int stall = m_settings.responseTimeoutSeconds * 1000;
    qsizetype done = 0;
    while (done < size && m_curl) {
        size_t n = 0;
        const CURLcode rc = curl_easy_send(m_curl, data + done, size_t(size - done), &n);
        if (rc == CURLE_AGAIN) {
            pollfd p{m_socket, POLLOUT, 0};
            const int ready = ::poll(&p, 1, stall);
            if (ready == 0)
                fail(Failure::mailboxTimedOut(where(), m_settings.responseTimeoutSeconds));
            else if (ready < 0 && errno != EINTR)
                fail(Failure::mailboxConnectionLost(where(), QString::fromLocal8Bit(std::strerror(errno))));
            continue;
        }
        if (rc != CURLE_OK) {
            fail(Failure::mailboxConnectionLost(where(), QString::fromUtf8(curl_easy_strerror(rc))));
            return false;
        }
        done += qsizetype(n);
    }
    return done == size;
}

// Reads what the server sends next into m_in. Over TLS, bytes already decrypted wait inside the
// TLS library where poll cannot see them, so a read comes first and poll only after it found nothing.
bool ImapMailbox::receive()
{
    const int limit = m_settings.responseTimeoutSeconds * 1000;
    const qint64 deadline = now() + limit;
    bool tryRead = true;
    while (m_curl) {
        if (!tryRead) {
            pollfd p{m_socket, POLLIN, 0};
            const int ready = ::poll(&p, 1, int(std::max<qint64>(0, deadline - now())));
            if (ready == 0) {
                fail(Failure::mailboxTimedOut(where(), m_settings.responseTimeoutSeconds));
                return false;
            }
            if (ready < 0 && errno != EINTR) {
                fail(Failure::mailboxConnectionLost(where(), QString::fromLocal8Bit(std::strerror(errno))));
                return false;
            }
        }
        char buffer[65536];
        size_t n = 0;
        const CURLcode rc = curl_easy_recv(m_curl, buffer, sizeof buffer, &n);
        if (rc == CURLE_AGAIN) {
            tryRead = false;
            continue;
        }
        if (rc != CURLE_OK || n == 0) {
            const QString detail = !m_bye.isEmpty() ? replyText(m_bye)
                                   : rc != CURLE_OK ? QString::fromUtf8(curl_easy_strerror(rc))
                                                    : QStringLiteral("the server closed the connection");
            fail(Failure::mailboxConnectionLost(where(), detail));
            return false;
        }
        if (m_inPos > 0 && m_inPos == m_in.size()) {
            m_in.resize(0);
            m_inPos = 0;
        } else if (m_inPos > 1024 * 1024) {
            m_in.remove(0, m_inPos);
            m_inPos = 0;
        }
        m_in.append(buffer, qsizetype(n));
        return true;
    }
    return false;
}

// One response, its literals included: those up to m_literalLimit kept, larger ones read past.
bool ImapMailbox::readResponse(Response &r)
{
    r = Response{};
    QByteArray text;
    qsizetype searched = m_inPos;
    for (;;) {
        const qsizetype eol = m_in.indexOf('\n', searched);
        if (eol < 0) {
            if (m_in.size() - m_inPos + text.size() > LineLimit) {
                fail(Failure::mailboxConnectionLost(where(), QStringLiteral("an overlong response line")));
                return false;
            }
            searched = m_in.size();
            const qsizetype before = m_inPos;
            if (!receive())
                return false;
            searched -= before - m_inPos; // receive() may have moved the unread bytes to the front
            continue;
        }
        qsizetype end = eol;
        if (end > m_inPos && m_in[end - 1] == '\r')
            --end;
        text.append(m_in.constData() + m_inPos, end - m_inPos);
        m_inPos = eol + 1;
        searched = m_inPos;

        // A line that ends in "{n}" is followed by n bytes of a literal, then the rest of the response.
        quint64 size = 0;
        const qsizetype open = text.endsWith('}') ? text.lastIndexOf('{') : -1;
        if (open < 0 || !parseNumber(text.mid(open + 1, text.size() - open - 2), quint64(1) << 40, &size))
            break;
        Literal literal;
        literal.size = qsizetype(size);
        literal.kept = literal.size <= m_literalLimit;
        if (literal.kept)
            literal.bytes.reserve(literal.size);
        qsizetype left = literal.size;
        while (left > 0) {
            if (m_inPos == m_in.size() && !receive())
                return false;
            const qsizetype take = std::min(left, m_in.size() - m_inPos);
            if (literal.kept)
                literal.bytes.append(m_in.constData() + m_inPos, take);
            m_inPos += take;
            left -= take;
        }
        r.literals.push_back(std::move(literal));
        searched = m_inPos;
    }

    if (text.startsWith("* ")) {
        r.kind = Response::Kind::Untagged;
        r.text = text.mid(2);
    } else if (text.startsWith('+')) {
        r.kind = Response::Kind::Continuation;
        r.text = text.mid(2);
    } else {
        const qsizetype space = text.indexOf(' ');
        r.kind = Response::Kind::Tagged;
        r.tag = space < 0 ? text : text.left(space);
        r.text = space < 0 ? QByteArray() : text.mid(space + 1);
    }
    return true;
}

// What every command may bring: the capabilities, and a BYE before the server hangs up.
void ImapMailbox::noteUntagged(const Response &r)
{
    if (r.text.startsWith("BYE")) {
        m_bye = r.text.mid(3).trimmed();
    } else if (r.text.toUpper().startsWith("CAPABILITY ")) {
        m_capabilities.clear();
        for (const QByteArray &c : r.text.mid(11).split(' '))
            if (!c.isEmpty())
                m_capabilities.insert(c.toUpper());
    }
}

std::optional<Failure> ImapMailbox::run(const std::vector<Chunk> &command, const QString &what,
                                        const Handler &handler)
{
    if (!m_curl)
        return m_failure.value_or(Failure::mailboxConnectionLost(where(), QStringLiteral("not connected")));
    m_failure.reset();
    const QByteArray tag = 'V' + QByteArray::number(++m_tag);
    const bool literalPlus = m_capabilities.contains("LITERAL+");
    QByteArray pending = tag + ' ';
    Response r;
    auto untagged = [&] {
        noteUntagged(r);
        if (handler)
            handler(r);
    };
    std::optional<Response> early; // the completion that came before the server asked for a literal
    for (const Chunk &chunk : command) {
        if (!chunk.literal) {
            pending += chunk.bytes;
            continue;
        }
        pending += '{' + QByteArray::number(chunk.bytes.size()) + (literalPlus ? "+}\r\n" : "}\r\n");
        if (!literalPlus) {
            // Without LITERAL+ the server must first say it takes the literal.
            if (!sendAll(pending.constData(), pending.size()))
                return m_failure;
            pending.clear();
            for (;;) {
                if (!readResponse(r))
                    return m_failure;
                if (r.kind == Response::Kind::Continuation)
                    break;
                if (r.kind == Response::Kind::Tagged) {
                    early = r;
                    break;
                }
                untagged();
            }
            if (early)
                break;
        }
        if (!sendAll(pending.constData(), pending.size()) ||
            !sendAll(chunk.bytes.constData(), chunk.bytes.size()))
            return m_failure;
        pending.clear();
    }
    if (!early) {
        pending += "\r\n";
        if (!sendAll(pending.constData(), pending.size()))
            return m_failure;
    }
    for (;;) {
        if (early) {
            r = *early;
        } else if (!readResponse(r)) {
            return m_failure;
        }
        if (r.kind == Response::Kind::Untagged) {
            untagged();
            continue;
        }
        if (r.kind == Response::Kind::Continuation || r.tag != tag) {
            fail(Failure::mailboxConnectionLost(
                where(), QStringLiteral("an unexpected response: %1").arg(replyText(r.tag + ' ' + r.text))));
            return m_failure;
        }
        const qsizetype space = r.text.indexOf(' ');
        const QByteArray status = (space < 0 ? r.text : r.text.left(space)).toUpper();
        if (status == "OK" && !early)
            return std::nullopt;
        const Failure refused =
            Failure::mailboxRefused(where(), what, replyText(space < 0 ? r.text : r.text.mid(space + 1)));
        // A server that sent the completion before the literal has read its announcement as the end
        // of the command, and would read the literal as commands: that session is cut.
        if (early || status != "NO")
            fail(refused);
        return refused;
    }
}

std::optional<Failure> ImapMailbox::examine(const QString &folder)
{
    if (folder.contains(u'\r') || folder.contains(u'\n') || folder.contains(QChar(0)))
        return Failure::mailboxUnsafeValue(folder);
    if (std::optional<Failure> f = ensureOpen())
        return f;
    return run({{"EXAMINE " + quoted(encodeMailboxName(folder))}},
               QStringLiteral("フォルダー「%1」を開くこと").arg(folder));
}

Result<QString> ImapMailbox::sentFolder()
{
    if (std::optional<Failure> f = ensureOpen())
        return *f;
    SigpipeBlock sigpipe;
    const bool specialUse =
        m_capabilities.contains("SPECIAL-USE") && m_capabilities.contains("LIST-EXTENDED");
    m_literalLimit = SmallLiteral;
    struct Folder {
        QString name;
        QByteArray delimiter;
    };
    std::optional<QString> flagged;
    std::vector<Folder> folders;
    const std::optional<Failure> f = run(
        {{specialUse ? QByteArray("LIST \"\" \"*\" RETURN (SPECIAL-USE)") : QByteArray("LIST \"\" \"*\"")}},
        QStringLiteral("フォルダーの一覧（LIST）"), [&](Response &r) {
            ValueReader reader(r.text, r.literals);
            const std::optional<Value> keyword = reader.next();
            if (!keyword || !keyword->isAtom("LIST"))
                return;
            const std::optional<Value> flags = reader.next();
            const std::optional<Value> delimiter = reader.next();
            const std::optional<Value> name = reader.next();
            if (!flags || flags->type != Value::Type::List || !delimiter || !name)
                return;
            const std::optional<QString> decoded = decodeMailboxName(name->text);
            if (!decoded)
                return;
            bool selectable = true;
            bool sent = false;
            for (const Value &flag : flags->items) {
                selectable = selectable && !flag.isAtom("\\Noselect") && !flag.isAtom("\\NonExistent");
                sent = sent || flag.isAtom("\\Sent");
            }
            if (!selectable)
                return;
            if (sent && !flagged)
                flagged = *decoded;
            folders.push_back({*decoded, delimiter->isAtom("NIL") ? QByteArray() : delimiter->text});
        });
    if (f)
        return *f;
    if (flagged)
        return *flagged;
    for (const char *candidate : SentNames) {
        const QString want = QString::fromLatin1(candidate);
        for (const Folder &folder : folders) {
            if (folder.name.compare(want, Qt::CaseInsensitive) == 0)
                return folder.name;
            // Servers that keep every folder below INBOX ("INBOX.Sent").
            const QString below = QStringLiteral("INBOX") + QString::fromLatin1(folder.delimiter) + want;
            if (!folder.delimiter.isEmpty() && folder.name.compare(below, Qt::CaseInsensitive) == 0)
                return folder.name;
        }
    }
    return Failure::mailboxNoSentFolder(where());
}

std::optional<Failure> ImapMailbox::append(const QString &folder, const QByteArray &message,
                                           const QDateTime &date)
{
    if (folder.contains(u'\r') || folder.contains(u'\n') || folder.contains(QChar(0)))
        return Failure::mailboxUnsafeValue(folder);
    if (std::optional<Failure> f = ensureOpen())
        return f;
    SigpipeBlock sigpipe;
    m_literalLimit = SmallLiteral;
    QByteArray head = "APPEND " + quoted(encodeMailboxName(folder)) + " (\\Seen) ";
    if (date.isValid() && date.date().year() >= 1 && date.date().year() <= 9999)
        head += quoted(imapDateTime(date)) + ' ';
    return run({{head}, {message, true}}, QStringLiteral("フォルダー「%1」への保存").arg(folder));
}

Result<std::vector<quint32>> ImapMailbox::search(const QString &folder, const std::vector<Chunk> &criteria)
{
    if (std::optional<Failure> f = examine(folder))
        return *f;
    std::vector<quint32> uids;
    std::vector<Chunk> command{{"UID SEARCH "}};
    command.insert(command.end(), criteria.begin(), criteria.end());
    m_literalLimit = SmallLiteral;
    const std::optional<Failure> f =
        run(command, QStringLiteral("フォルダー「%1」の検索").arg(folder), [&](Response &r) {
            if (!r.text.toUpper().startsWith("SEARCH"))
                return;
            for (const QByteArray &word : r.text.mid(6).split(' ')) {
                quint64 uid = 0;
                if (parseNumber(word, 0xffffffffu, &uid) && uid > 0)
                    uids.push_back(quint32(uid));
            }
        });
    if (f)
        return *f;
    std::sort(uids.begin(), uids.end());
    uids.erase(std::unique(uids.begin(), uids.end()), uids.end());
    return uids;
}

Result<std::vector<quint32>> ImapMailbox::searchSince(const QString &folder, const QDate &since)
{
    if (!since.isValid() || since.year() < 1 || since.year() > 9999)
        return Failure::mailboxUnsafeValue(since.toString(Qt::ISODate));
    SigpipeBlock sigpipe;
    return search(folder, {{"SINCE " + imapDate(since)}});
}

Result<std::vector<quint32>> ImapMailbox::searchHeader(const QString &folder, const QByteArray &name,
                                                       const QByteArray &value)
{
    // A field name is printable ASCII without ':' (RFC 5322, 2.2); a value goes as a string, one
    // outside ASCII as a literal in UTF-8.
    const bool nameOk = !name.isEmpty() && std::all_of(name.begin(), name.end(), [](char c) {
        return c > 0x20 && c < 0x7f && c != ':' && c != '"' && c != '\\';
    });
    if (!nameOk)
        return Failure::mailboxUnsafeValue(QString::fromUtf8(name));
    if (hasLineBreak(value))
        return Failure::mailboxUnsafeValue(QString::fromUtf8(value));
    SigpipeBlock sigpipe;
    if (isAscii(value))
        return search(folder, {{"HEADER " + name + ' ' + quoted(value)}});
    return search(folder, {{"CHARSET UTF-8 HEADER " + name + ' '}, {value, true}});
}

// One UID FETCH of `item`; `each` gets every literal of that item with its UID.
std::optional<Failure> ImapMailbox::fetchBatch(const QByteArray &set, const QByteArray &item, qsizetype limit,
                                               const std::function<void(quint32, const Literal &)> &each)
{
    m_literalLimit = limit;
    // The item comes back without ".PEEK".
    const QByteArray answered = QByteArray(item).replace(".PEEK", "");
    return run({{"UID FETCH " + set + " (UID " + item + ')'}}, QStringLiteral("メールの読み出し（FETCH）"),
               [&](Response &r) {
                   ValueReader reader(r.text, r.literals);
                   const std::optional<Value> number = reader.next();
                   const std::optional<Value> keyword = reader.next();
                   const std::optional<Value> items = reader.next();
                   if (!number || !keyword || !keyword->isAtom("FETCH") || !items ||
                       items->type != Value::Type::List)
                       return;
                   quint64 uid = 0;
                   const Value *body = nullptr;
                   for (size_t i = 0; i + 1 < items->items.size(); i += 2) {
                       const Value &key = items->items[i];
                       const Value &value = items->items[i + 1];
                       if (key.isAtom("UID"))
                           parseNumber(value.text, 0xffffffffu, &uid);
                       else if (key.type == Value::Type::Atom &&
                                key.text.compare(answered, Qt::CaseInsensitive) == 0)
                           body = &value;
                   }
                   if (uid == 0 || !body)
                       return;
                   Literal whole;
                   const Literal *l = static_cast<const Literal *>(body->literal);
                   if (!l) {
                       // A short message may come as a quoted string; NIL is no message.
                       if (body->type != Value::Type::String)
                           return;
                       whole.bytes = body->text;
                       whole.size = whole.bytes.size();
                       whole.kept = whole.size <= limit;
                       l = &whole;
                   }
                   each(quint32(uid), *l);
               });
}

std::optional<Failure> ImapMailbox::fetch(const QString &folder, const std::vector<quint32> &uids,
                                          const std::function<bool(quint32, const QByteArray &)> &each,
                                          qsizetype maxBytes)
{
    if (std::optional<Failure> f = examine(folder))
        return f;
    SigpipeBlock sigpipe;
    bool stopped = false;
    for (size_t from = 0; from < uids.size() && !stopped; from += FetchBatch) {
        const std::vector<quint32> batch(uids.begin() + qsizetype(from),
                                         uids.begin() + qsizetype(std::min(uids.size(), from + FetchBatch)));
        // The sizes first: a message too large to hand whole is never transferred.
        std::vector<quint32> whole;
        std::vector<quint32> headers;
        m_literalLimit = SmallLiteral;
        std::optional<Failure> f = run(
            {{"UID FETCH " + uidSet(batch) + " (UID RFC822.SIZE)"}},
            QStringLiteral("メールの大きさの問い合わせ"), [&](Response &r) {
                ValueReader reader(r.text, r.literals);
                reader.next();
                const std::optional<Value> keyword = reader.next();
                const std::optional<Value> items = reader.next();
                if (!keyword || !keyword->isAtom("FETCH") || !items)
                    return;
                quint64 uid = 0;
                quint64 size = 0;
                bool sized = false;
                for (size_t i = 0; i + 1 < items->items.size(); i += 2) {
                    if (items->items[i].isAtom("UID"))
                        parseNumber(items->items[i + 1].text, 0xffffffffu, &uid);
                    else if (items->items[i].isAtom("RFC822.SIZE"))
                        sized = parseNumber(items->items[i + 1].text, quint64(1) << 40, &size);
                }
                if (uid == 0 || !sized || std::find(batch.begin(), batch.end(), quint32(uid)) == batch.end())
                    return;
                (qsizetype(size) <= maxBytes ? whole : headers).push_back(quint32(uid));
            });
        if (f)
            return f;
        // The handler of a literal larger than announced, or than `maxBytes`, gets its header later.
        auto hand = [&](quint32 uid, const Literal &l) {
            if (stopped)
                return;
            if (!l.kept) {
                headers.push_back(uid);
                return;
            }
            if (!each(uid, l.bytes)) {
                stopped = true;
                m_literalLimit = 0; // the rest of the batch is only read past
            }
        };
        if (!whole.empty() && (f = fetchBatch(uidSet(whole), "BODY.PEEK[]", maxBytes, hand)))
            return f;
        if (!stopped && !headers.empty()) {
            const std::vector<quint32> large = headers;
            headers.clear();
            f = fetchBatch(uidSet(large), "BODY.PEEK[HEADER]", std::min(maxBytes, HeaderLimit),
                           [&](quint32 uid, const Literal &l) {
                               if (l.kept)
                                   hand(uid, l);
                           });
            if (f)
                return f;
        }
    }
    return std::nullopt;
}
