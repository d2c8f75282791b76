#pragma once

#include "platform/Failure.h"

#include <QString>
#include <QUrl>

#include <functional>
#include <mutex>
#include <optional>

// Where an organisation's mail accounts sign in with OAuth 2.0, and the app it registered there.
struct OAuthClient {
    enum class Provider { Microsoft, Google, Custom };
    Provider provider = Provider::Custom;
    QUrl authorizationUrl;
    QUrl tokenUrl;
    QString scope;
    QString clientId;
    QString clientSecret; // Google's desktop clients and some custom ones; kept in the keyring only

    // The presets: Microsoft 365 in the given tenant ("organizations" when empty), Google.
    static OAuthClient microsoft(const QString &tenant, const QString &clientId);
    static OAuthClient google(const QString &clientId, const QString &clientSecret);
};

// The provider whose mail server this is: Microsoft 365's and Google's SMTP hosts, else Custom.
OAuthClient::Provider oauthProviderOfHost(const QString &host);

// Tokens must travel encrypted: https, or http to this machine's loopback (test servers).
bool oauthUrlIsSafe(const QUrl &url);

// What a token endpoint answered.
struct TokenReply {
    enum class Status {
        Ok,
        Unreachable,   // no connection, or no answer in time
        ClientRefused, // invalid_client, unauthorized_client: the app registration is wrong
        GrantRefused,  // invalid_grant and the like: the code or refresh token is expired or revoked
        Unreadable,    // not the JSON a token endpoint answers
    };
    Status status = Status::Ok;
    QString accessToken;
    QString refreshToken;           // empty when the endpoint kept the old one
    qint64 expiresInSeconds = 0;    // from 1 to MaxExpiresInSeconds
    std::optional<Failure> failure; // set unless Ok
    bool ok() const { return status == Status::Ok; }

    // No access token lives longer; a longer lifetime claimed is cut to this.
    static constexpr qint64 MaxExpiresInSeconds = 365LL * 24 * 3600;
};

// What a token endpoint's answer (HTTP status and body) says; `where` names it in failures.
TokenReply tokenReplyOf(long httpStatus, const QByteArray &body, const QString &where);

// One POST to the token endpoint (form fields in order, each value the bytes to send; texts as
// UTF-8), over libcurl with the mail library's certificate checks and time-outs. Blocks: callable
// from any thread.
using TokenFields = QList<std::pair<QByteArray, QByteArray>>;
TokenReply requestToken(const OAuthClient &client, const TokenFields &fields);

// The access tokens of one signed-in mail account for a send run. The access token is refreshed
// with the refresh token shortly before it expires and when the server refused it; a refresh token
// the endpoint rotates is handed to refreshTokenChanged (on the calling thread). Thread-safe.
class OAuthTokenSource
{
  public:
    // clock: monotonic milliseconds; null: the system's.
    OAuthTokenSource(OAuthClient client, QString refreshToken, std::function<qint64()> clock = {});

    // The access token a sign-in returned with the refresh token; its lifetime as for TokenReply.
    void setAccessToken(const QString &token, qint64 expiresInSeconds);
    void setRefreshTokenChanged(std::function<void(const QString &)> changed);

    // A token for a new session: the one held while it has more than a few minutes left, otherwise
    // (or with refresh) a new one from the token endpoint. `fresh` says it came just now.
    struct Token {
        TokenReply reply; // status and failure; accessToken set when ok
        bool fresh = false;
    };
    Token accessToken(bool refresh = false);

    QString refreshToken() const;
    const OAuthClient &client() const { return m_client; }

    // How long before its end an access token is replaced.
    static constexpr qint64 MarginMs = 5 * 60 * 1000;

  private:
    qint64 now() const;

    const OAuthClient m_client;
    std::function<qint64()> m_clock;
    mutable std::mutex m_mutex;
    QString m_refreshToken;
    QString m_accessToken;
    qint64 m_expiresAtMs = 0;
    std::function<void(const QString &)> m_changed;
};
