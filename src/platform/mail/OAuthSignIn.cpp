#include "OAuthSignIn.h"

#include <QCryptographicHash>
#include <QEventLoop>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QUrlQuery>

#include <memory>

namespace
{

constexpr qsizetype MaxRequest = 16 * 1024;

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
    if (!m_opener || !m_opener(m_authorizationUrl))
        finish(failedWith(Failure::signInBrowser()));
}

void OAuthSignIn::cancel()
{
    if (!m_finished)
        finish(failedWith(Failure::signInCancelled()));
}

void OAuthSignIn::takeConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        m_requests.insert(socket, {});
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readRequest(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_requests.remove(socket);
            socket->deleteLater();
        });
    }
}

void OAuthSignIn::readRequest(QTcpSocket *socket)
{
    auto it = m_requests.find(socket);
    if (it == m_requests.end())
        return;
    it->append(socket->readAll());
    const qsizetype end = it->indexOf("\r\n\r\n");
    if (end < 0) {
        if (it->size() > MaxRequest)
            answer(socket, 431, FailedPage);
        return;
    }
    // "GET /?code=…&state=… HTTP/1.1"
    const QList<QByteArray> line = it->left(it->indexOf("\r\n")).split(' ');
    m_requests.erase(it);
    if (line.size() != 3 || line[0] != "GET" || !line[2].startsWith("HTTP/1.")) {
        answer(socket, 400, FailedPage);
        return;
    }
    const QUrl target(QStringLiteral("http://127.0.0.1") + QString::fromLatin1(line[1]), QUrl::StrictMode);
    const QUrlQuery query(target.query(QUrl::FullyEncoded));
    const QString code = query.queryItemValue(QStringLiteral("code"), QUrl::FullyDecoded);
    const QString error = query.queryItemValue(QStringLiteral("error"), QUrl::FullyDecoded);
    // The browser may ask for other things on the way (an icon): only the redirect counts.
    if (!m_waiting || target.path() != u"/" || (code.isEmpty() && error.isEmpty())) {
        answer(socket, 404, FailedPage);
        return;
    }
    if (query.queryItemValue(QStringLiteral("state"), QUrl::FullyDecoded) != QString::fromLatin1(m_state)) {
        answer(socket, 400, FailedPage);
        finish(failedWith(Failure::signInState()));
        return;
    }
    if (!error.isEmpty()) {
        answer(socket, 200, FailedPage);
        finish(failedWith(Failure::signInRefused(
            error, query.queryItemValue(QStringLiteral("error_description"), QUrl::FullyDecoded))));
        return;
    }
    answer(socket, 200, DonePage);
    exchange(code);
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
    socket->disconnectFromHost();
}

void OAuthSignIn::exchange(const QString &code)
{
    m_waiting = false;
    m_server->close();
    QList<std::pair<QByteArray, QString>> fields{{"grant_type", QStringLiteral("authorization_code")},
                                                 {"code", code},
                                                 {"redirect_uri", m_redirectUri},
                                                 {"client_id", m_client.clientId},
                                                 {"code_verifier", QString::fromLatin1(m_verifier)}};
    if (!m_client.clientSecret.isEmpty())
        fields.append({"client_secret", m_client.clientSecret});
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
