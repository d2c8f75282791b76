#pragma once

#include "platform/mail/OAuthClient.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QUrl>

#include <functional>
#include <utility>

class QTcpServer;
class QTcpSocket;
class QThread;

// One interactive OAuth 2.0 sign-in: authorization code with PKCE (S256), the system browser sent
// to the provider, the answer taken on a loopback redirect (http://127.0.0.1:<port>/), then the
// code exchanged for tokens. Lives on the GUI thread; the exchange runs on a thread of its own so
// the window keeps answering. Always ends with finished(), once: with tokens, or with the failure
// (cancelled, out of time, an error in the redirect, the endpoint's refusal). Any local program can
// connect to the listener: a request that is not this sign-in's redirect (another path, a wrong
// state, not a plain HTTP/1.x GET) is answered and the sign-in waits on, and only a few
// connections are held, each for a few seconds, so that idle ones cannot keep the browser out.
class OAuthSignIn : public QObject
{
    Q_OBJECT
  public:
    // Shows the authorization URL to the operator: the system browser in the program, an HTTP
    // client in tests. False when nothing could be opened.
    using Opener = std::function<bool(const QUrl &)>;

    // How long the listener waits and what it holds.
    struct Limits {
        int connections = 8;           // held at once; a new one lets the oldest go
        int requestMs = 5000;          // for a connection to send its whole request
        int signInMs = 10 * 60 * 1000; // for the operator to come back from the browser
    };

    OAuthSignIn(OAuthClient client, QString loginHint, Opener opener, QObject *parent = nullptr);
    ~OAuthSignIn() override; // waits for an exchange in flight (bounded by its time-outs)

    // Before start().
    void setLimits(const Limits &limits) { m_limits = limits; }
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
    // Forgets a connection whose request is still awaited; false when it was not one.
    bool forget(QTcpSocket *socket);
    void drop(QTcpSocket *socket);
    void answer(QTcpSocket *socket, int status, const QString &text);
    void exchange(const QByteArray &code);
    void finish(TokenReply result);

    const OAuthClient m_client;
    const QString m_loginHint;
    Opener m_opener;
    Limits m_limits;
    QTcpServer *m_server = nullptr;
    QList<std::pair<QTcpSocket *, QByteArray>> m_requests; // oldest first, with what they sent
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
