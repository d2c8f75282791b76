#include "platform/mail/OAuthSignIn.h"

#include "platform/mail/OAuthRedirect.h"

#include <QCryptographicHash>
#include <QEventLoop>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace
{

constexpr qsizetype MaxRequest = 16 * 1024;
constexpr int AnswerMs = 10000;

QByteArray randomText(int bytes)
{
    QByteArray raw(bytes, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(raw.data()), bytes / 4);
    return raw.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

TokenReply failedWith(Failure failure)
{
    TokenReply r;
    r.status = TokenReply::Status::GrantRefused;
    r.failure = std::move(failure);
    return r;
}

const QString DonePage =
    QStringLiteral("サインインが終わりました。このページを閉じて Velmora に戻ってください。");
const QString FailedPage =
    QStringLiteral("サインインできませんでした。Velmora に表示されたメッセージを確かめてください。");
const QString WrongStatePage = QStringLiteral(
    "この応答は、いま Velmora が待っているサインインのものではありません（state が一致しません）。"
    "Velmora が今回開いたページでサインインしてください。Velmora はサインインを待っています。");
const QString RefusedPage = QStringLiteral("Velmora はこの要求を受け付けません。");

} // namespace

QByteArray pkceChallenge(const QByteArray &verifier)
{
    return QCryptographicHash::hash(verifier, QCryptographicHash::Sha256)
        .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

OAuthSignIn::OAuthSignIn(OAuthClient client, QString loginHint, Opener opener, QObject *parent)
    : QObject(parent), m_client(std::move(client)), m_loginHint(std::move(loginHint)),
      m_opener(std::move(opener))
{
}

OAuthSignIn::~OAuthSignIn()
{
    if (m_exchange)
        m_exchange->wait();
}

void OAuthSignIn::start()
{
    for (const QUrl &url : {m_client.authorizationUrl, m_client.tokenUrl}) {
        if (!oauthUrlIsSafe(url)) {
            finish(failedWith(Failure::oauthUnsafeUrl(url.toString(QUrl::RemoveUserInfo))));
            return;
        }
    }
    m_server = new QTcpServer(this);
    // Loopback only: nothing outside this machine can answer in the browser's place.
    if (!m_server->listen(QHostAddress::LocalHost, 0)) {
        finish(failedWith(Failure::signInListen(m_server->errorString())));
        return;
    }
    connect(m_server, &QTcpServer::newConnection, this, &OAuthSignIn::takeConnection);
    m_verifier = randomText(32);
    m_state = randomText(16);
    m_redirectUri = QStringLiteral("http://127.0.0.1:%1/").arg(m_server->serverPort());

    // Every value fully percent-encoded: a '+' or '&' in one must not read as another parameter.
    QByteArray query = m_client.authorizationUrl.query(QUrl::FullyEncoded).toLatin1();
    auto add = [&query](const char *name, const QString &value) {
        if (!query.isEmpty())
            query += '&';
        query += QByteArray(name) + '=' + QUrl::toPercentEncoding(value);
    };
    add("response_type", QStringLiteral("code"));
    add("client_id", m_client.clientId);
    add("redirect_uri", m_redirectUri);
    add("scope", m_client.scope);
    add("state", QString::fromLatin1(m_state));
    add("code_challenge", QString::fromLatin1(pkceChallenge(m_verifier)));
    add("code_challenge_method", QStringLiteral("S256"));
    if (!m_loginHint.isEmpty())
        add("login_hint", m_loginHint);
    if (m_client.provider == OAuthClient::Provider::Google) {
        // Google gives a refresh token only for offline access, and again only with consent.
        add("access_type", QStringLiteral("offline"));
        add("prompt", QStringLiteral("consent"));
    }
    m_authorizationUrl = m_client.authorizationUrl;
    m_authorizationUrl.setQuery(QString::fromLatin1(query), QUrl::StrictMode);
    m_waiting = true;
    if (!m_opener || !m_opener(m_authorizationUrl)) {
        finish(failedWith(Failure::signInBrowser()));
        return;
    }
    QTimer::singleShot(m_limits.signInMs, this, [this] {
        if (m_waiting)
            finish(failedWith(Failure::signInTimedOut((m_limits.signInMs + 59999) / 60000)));
    });
}

void OAuthSignIn::cancel()
{
    if (!m_finished)
        finish(failedWith(Failure::signInCancelled()));
}

void OAuthSignIn::takeConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        while (!m_requests.isEmpty() && m_requests.size() >= std::max(m_limits.connections, 1))
            drop(m_requests.front().first);
        m_requests.append(std::pair(socket, QByteArray()));
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readRequest(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            forget(socket);
            socket->deleteLater();
        });
        // On the socket, which an answer keeps beyond the sign-in (see answer()).
        QTimer::singleShot(m_limits.requestMs, socket, [self = QPointer(this), socket] {
            if (self && self->forget(socket))
                self->drop(socket);
        });
    }
}

bool OAuthSignIn::forget(QTcpSocket *socket)
{
    for (auto it = m_requests.begin(); it != m_requests.end(); ++it) {
        if (it->first == socket) {
            m_requests.erase(it);
            return true;
        }
    }
    return false;
}

void OAuthSignIn::drop(QTcpSocket *socket)
{
    forget(socket);
    socket->abort();
    socket->deleteLater();
}

void OAuthSignIn::readRequest(QTcpSocket *socket)
{
    auto it = std::find_if(m_requests.begin(), m_requests.end(),
                           [socket](const auto &request) { return request.first == socket; });
    if (it == m_requests.end())
        return;
    it->second.append(socket->readAll());
    const qsizetype end = it->second.indexOf("\r\n\r\n");
    if (end < 0) {
        if (it->second.size() > MaxRequest) {
            m_requests.erase(it);
            answer(socket, 431, RefusedPage);
        }
        return;
    }
    const QByteArray head = it->second.left(end);
    m_requests.erase(it);
    const OAuthRedirect redirect = OAuthRedirect::parse(head, m_state);
    using Kind = OAuthRedirect::Kind;
    switch (redirect.kind) {
    case Kind::Malformed: answer(socket, 400, RefusedPage); return;
    case Kind::Elsewhere:
        // The browser may ask for other things on the way (an icon): only the redirect counts.
        answer(socket, 404, FailedPage);
        return;
    case Kind::WrongState:
        // An old page of an earlier sign-in, or another program: the operator's answer may still come.
        answer(socket, 400, m_waiting ? WrongStatePage : FailedPage);
        return;
    case Kind::Refused:
    case Kind::Code: break;
    }
    if (!m_waiting) {
        answer(socket, 404, FailedPage);
        return;
    }
    if (redirect.kind == Kind::Refused) {
        answer(socket, 200, FailedPage);
        finish(failedWith(Failure::signInRefused(redirect.error, redirect.errorDescription)));
        return;
    }
    answer(socket, 200, DonePage);
    exchange(redirect.code);
}

void OAuthSignIn::answer(QTcpSocket *socket, int status, const QString &text)
{
    const QByteArray body = "<!DOCTYPE html><html lang=\"ja\"><head><meta charset=\"utf-8\"><title>Velmora"
                            "</title></head><body><p>" +
                            text.toHtmlEscaped().toUtf8() + "</p></body></html>";
    socket->write("HTTP/1.1 " + QByteArray::number(status) + (status == 200 ? " OK" : " Error") +
                  "\r\nContent-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\nConnection: close"
                  "\r\nContent-Length: " +
                  QByteArray::number(body.size()) + "\r\n\r\n" + body);
    // The sign-in may end (and be deleted) at once: the answer still reaches the browser, then the
    // connection goes, or after a while when the peer does not take it.
    socket->disconnect(this);
    socket->setParent(nullptr);
    connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(AnswerMs, socket, &QObject::deleteLater);
    socket->disconnectFromHost();
}

void OAuthSignIn::exchange(const QByteArray &code)
{
    m_waiting = false;
    m_server->close();
    TokenFields fields{{"grant_type", "authorization_code"},
                       {"code", code},
                       {"redirect_uri", m_redirectUri.toUtf8()},
                       {"client_id", m_client.clientId.toUtf8()},
                       {"code_verifier", m_verifier}};
    if (!m_client.clientSecret.isEmpty())
        fields.append({"client_secret", m_client.clientSecret.toUtf8()});
    auto reply = std::make_shared<TokenReply>();
    QThread *thread =
        QThread::create([client = m_client, fields, reply] { *reply = requestToken(client, fields); });
    connect(thread, &QThread::finished, this, [this, reply] {
        if (!m_finished)
            finish(*reply);
    });
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    m_exchange = thread;
    thread->start();
}

void OAuthSignIn::finish(TokenReply result)
{
    if (m_finished)
        return;
    m_finished = true;
    m_waiting = false;
    if (m_server)
        m_server->close();
    while (!m_requests.isEmpty())
        drop(m_requests.front().first);
    m_result = std::move(result);
    emit finished();
}

TokenReply waitForSignIn(OAuthSignIn &signIn)
{
    if (!signIn.isFinished()) {
        QEventLoop loop;
        QObject::connect(&signIn, &OAuthSignIn::finished, &loop, &QEventLoop::quit);
        if (!signIn.isFinished())
            loop.exec();
    }
    return signIn.result();
}
