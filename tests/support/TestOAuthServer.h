#pragma once

#include "ScriptServer.h"
#include "platform/mail/OAuthClient.h"

#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

// The OAuth 2.0 authorization server of oauth_test_server.py on 127.0.0.1, for the life of this
// object. Its access tokens are what the test SMTP server started with smtpOptions() accepts.
class TestOAuthServer
{
  public:
    static inline const QString ClientId = QStringLiteral("velmora-test-client");

    explicit TestOAuthServer(const QStringList &options = {});

    bool running() const { return m_server.port() > 0; }
    // The custom provider this server is, registered with the given client ID.
    OAuthClient client(const QString &clientId = ClientId) const;
    QString authorizationUrl() const;
    QString tokenUrl() const;
    // The introspection endpoint (RFC 7662) a test Dovecot asks about access tokens.
    QString introspectionUrl() const;
    // The test SMTP server's options for XOAUTH2 against this server's tokens.
    QStringList smtpOptions() const { return {"--oauth-tokens", m_tokens}; }

    QJsonObject command(const QJsonObject &command) { return m_server.command(command); }
    QJsonObject stats() { return command({{"cmd", "stats"}}); }
    void expireAccessTokens() { command({{"cmd", "expire"}}); }
    void revoke() { command({{"cmd", "revoke"}}); }
    // The token endpoint's answer to a finished sign-in of `user` (access and refresh token).
    QJsonObject grant(const QString &user) { return command({{"cmd", "grant"}, {"user", user}}); }
    void deny(const QString &error) { command({{"cmd", "deny"}, {"error", error}}); }
    void answerGarbage(bool on) { command({{"cmd", "garbage"}, {"on", on}}); }
    // The next authorization's code, as bytes.
    void issueCode(const QByteArray &code)
    {
        command({{"cmd", "code"}, {"code", QString::fromLatin1(code)}});
    }

  private:
    QTemporaryDir m_dir;
    QString m_tokens;
    ScriptServer m_server;
};

// The operator's browser, played by an HTTP client: it loads the authorization URL and follows the
// redirect back to the sign-in's loopback address, as a browser whose user signs in at once.
// The tampering options make it return what a confused or hostile page would.
class TestBrowser : public QObject
{
    Q_OBJECT
  public:
  public slots:
    // Also the handler of http: URLs that QDesktopServices::openUrl() hands on.
    bool open(const QUrl &url);

  public:
    // Given to OAuthSignIn as its opener.
    auto opener()
    {
        return [this](const QUrl &url) { return open(url); };
    }

    void reset()
    {
        neverReturns = false;
        stateOverride = QString();
        opened.clear();
        answers.clear();
        ++m_generation;
    }

    bool neverReturns = false; // the operator never finishes in the browser
    QString stateOverride;     // the redirect comes back with this state instead
    QList<QUrl> opened;
    QList<int> answers; // the HTTP status of each answer the loopback redirect got

  private:
    QNetworkAccessManager m_network;
    int m_generation = 0;
};
