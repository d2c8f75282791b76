#pragma once

#include "OAuthClient.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QUrl>

#include <functional>

class QTcpServer;
class QTcpSocket;
class QThread;

// One interactive OAuth 2.0 sign-in: authorization code with PKCE (S256), the system browser sent
// to the provider, the answer taken on a loopback redirect (http://127.0.0.1:<port>/), then the
// code exchanged for tokens. Lives on the GUI thread; the exchange runs on a thread of its own so
// the window keeps answering. Always ends with finished(), once: with tokens, or with the failure
// (cancelled, a wrong state, an error in the redirect, the endpoint's refusal).
class OAuthSignIn : public QObject
{
    Q_OBJECT
  public:
    // Shows the authorization URL to the operator: the system browser in the program, an HTTP
    // client in tests. False when nothing could be opened.
    using Opener = std::function<bool(const QUrl &)>;

    OAuthSignIn(OAuthClient client, QString loginHint, Opener opener, QObject *parent = nullptr);
    ~OAuthSignIn() override; // waits for an exchange in flight (bounded by its time-outs)

    void start();
    // Ends a sign-in still waiting for the browser; finished() follows at once.
    void cancel();

    bool isFinished() const { return m_finished; }
    // Valid once finished: the tokens, or the failure.
    const TokenReply &result() const { return m_result; }
    QUrl authorizationUrl() const { return m_authorizationUrl; }

  signals:
    void finished();

  private:
    void takeConnection();
    void readRequest(QTcpSocket *socket);
    void answer(QTcpSocket *socket, int status, const QString &text);
    void exchange(const QString &code);
    void finish(TokenReply result);

    const OAuthClient m_client;
    const QString m_loginHint;
    Opener m_opener;
    QTcpServer *m_server = nullptr;
    QHash<QTcpSocket *, QByteArray> m_requests;
    QPointer<QThread> m_exchange;
    QByteArray m_verifier;
    QByteArray m_state;
    QString m_redirectUri;
    QUrl m_authorizationUrl;
    bool m_finished = false;
    bool m_waiting = false; // the browser's answer is awaited
    TokenReply m_result;
};

// Runs a started sign-in to its end in a local event loop and returns its result.
TokenReply waitForSignIn(OAuthSignIn &signIn);

// RFC 7636: the challenge of a verifier, base64url of its SHA-256 without padding.
QByteArray pkceChallenge(const QByteArray &verifier);
