#include "platform/mail/OAuthClient.h"

#include "platform/mail/CurlTls.h"
#include "platform/mail/MailSession.h"
#include "platform/mail/SendMail.h"

#include <QFile>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

namespace
{

constexpr qsizetype MaxReply = 1024 * 1024;

size_t collect(char *data, size_t size, size_t count, void *target)
{
    auto *body = static_cast<QByteArray *>(target);
    if (body->size() + qsizetype(size * count) > MaxReply)
        return 0; // no token endpoint answers this much: stop reading
    body->append(data, qsizetype(size * count));
    return size * count;
}

TokenReply failed(TokenReply::Status status, Failure failure)
{
    TokenReply r;
    r.status = status;
    r.failure = std::move(failure);
    return r;
}

// The endpoint's own error: RFC 6749 "error" and "error_description".
TokenReply endpointError(const QString &error, const QString &description)
{
    const QString detail = description.isEmpty() ? error : error + QStringLiteral(": ") + description;
    if (error == u"invalid_client" || error == u"unauthorized_client")
        return failed(TokenReply::Status::ClientRefused, Failure::tokenClientRefused(detail));
    if (error == u"invalid_grant" || error == u"interaction_required" || error == u"consent_required" ||
        error == u"login_required" || error == u"expired_token")
        return failed(TokenReply::Status::GrantRefused, Failure::tokenGrantRefused(detail));
    return failed(TokenReply::Status::GrantRefused, Failure::signInRefused(error, description));
}

// Some endpoints send the number as text; without it an hour is the common lifetime.
qint64 lifetimeOf(const QJsonValue &expires)
{
    bool ok = expires.isDouble();
    const double seconds = ok ? expires.toDouble() : expires.toString().toDouble(&ok);
    if (!ok || !std::isfinite(seconds) || seconds < 1)
        return 3600;
    return seconds >= double(TokenReply::MaxExpiresInSeconds) ? TokenReply::MaxExpiresInSeconds
                                                              : qint64(seconds);
}

// When a token given now for so many seconds expires, in the clock's milliseconds.
qint64 expiryOf(qint64 nowMs, qint64 seconds)
{
    const qint64 ms = std::clamp<qint64>(seconds, 0, TokenReply::MaxExpiresInSeconds) * 1000;
    return nowMs > std::numeric_limits<qint64>::max() - ms ? std::numeric_limits<qint64>::max() : nowMs + ms;
}

} // namespace

OAuthClient OAuthClient::microsoft(const QString &tenant, const QString &clientId)
{
    const QString t = QString::fromLatin1(
        QUrl::toPercentEncoding(tenant.isEmpty() ? QStringLiteral("organizations") : tenant));
    OAuthClient c;
    c.provider = Provider::Microsoft;
    c.authorizationUrl =
        QUrl(QStringLiteral("https://login.microsoftonline.com/%1/oauth2/v2.0/authorize").arg(t));
    c.tokenUrl = QUrl(QStringLiteral("https://login.microsoftonline.com/%1/oauth2/v2.0/token").arg(t));
    // Sending, and reading the mailbox for returned mails and the copies filed as sent.
    c.scope = QStringLiteral(
        "https://outlook.office.com/SMTP.Send https://outlook.office.com/IMAP.AccessAsUser.All "
        "offline_access");
    c.clientId = clientId;
    return c;
}

OAuthClient OAuthClient::google(const QString &clientId, const QString &clientSecret)
{
    OAuthClient c;
    c.provider = Provider::Google;
    c.authorizationUrl = QUrl(QStringLiteral("https://accounts.google.com/o/oauth2/v2/auth"));
    c.tokenUrl = QUrl(QStringLiteral("https://oauth2.googleapis.com/token"));
    c.scope = QStringLiteral("https://mail.google.com/");
    c.clientId = clientId;
    c.clientSecret = clientSecret;
    return c;
}

OAuthClient::Provider oauthProviderOfHost(const QString &host)
{
    const QString h = host.toLower();
    if (h == u"smtp.office365.com" || h == u"outlook.office365.com" || h == u"smtp-mail.outlook.com")
        return OAuthClient::Provider::Microsoft;
    if (h == u"smtp.gmail.com")
        return OAuthClient::Provider::Google;
    return OAuthClient::Provider::Custom;
}

bool oauthUrlIsSafe(const QUrl &url)
{
    if (!url.isValid() || url.host().isEmpty())
        return false;
    if (url.scheme() == u"https")
        return true;
    if (url.scheme() != u"http")
        return false;
    const QHostAddress address(url.host());
    return url.host() == u"localhost" || (!address.isNull() && address.isLoopback());
}

TokenReply tokenReplyOf(long httpStatus, const QByteArray &body, const QString &where)
{
    QJsonParseError parse;
    const QJsonDocument json = QJsonDocument::fromJson(body, &parse);
    if (parse.error != QJsonParseError::NoError || !json.isObject())
        return failed(TokenReply::Status::Unreadable, Failure::tokenUnreadable(where));
    const QJsonObject o = json.object();
    if (o.value(QStringLiteral("error")).isString())
        return endpointError(o.value(QStringLiteral("error")).toString(),
                             o.value(QStringLiteral("error_description")).toString());
    const QString access = o.value(QStringLiteral("access_token")).toString();
    const QString type = o.value(QStringLiteral("token_type")).toString();
    if (httpStatus != 200 || access.isEmpty() ||
        (!type.isEmpty() && type.compare(u"bearer", Qt::CaseInsensitive) != 0))
        return failed(TokenReply::Status::Unreadable, Failure::tokenUnreadable(where));
    TokenReply r;
    r.accessToken = access;
    r.refreshToken = o.value(QStringLiteral("refresh_token")).toString();
    r.expiresInSeconds = lifetimeOf(o.value(QStringLiteral("expires_in")));
    return r;
}

TokenReply requestToken(const OAuthClient &client, const TokenFields &fields)
{
    const QString where = client.tokenUrl.toString(QUrl::RemoveUserInfo | QUrl::RemoveQuery);
    if (!oauthUrlIsSafe(client.tokenUrl))
        return failed(TokenReply::Status::ClientRefused, Failure::oauthUnsafeUrl(where));
    initMailLibraries();
    CURL *c = curl_easy_init();
    if (!c)
        return failed(
            TokenReply::Status::Unreachable,
            Failure::tokenUnreachable(where, QString::fromLatin1(curl_easy_strerror(CURLE_FAILED_INIT))));

    QByteArray form;
    for (const auto &[name, value] : fields) {
        if (!form.isEmpty())
            form += '&';
        form += name + '=' + value.toPercentEncoding();
    }
    const SendMailOptions options = sendMailOptions();
    const QByteArray url = client.tokenUrl.toEncoded();
    QByteArray body;
    char error[CURL_ERROR_SIZE] = {};
    curl_slist *headers = curl_slist_append(nullptr, "Accept: application/json");
    headers = curl_slist_append(headers, "Content-Type: application/x-www-form-urlencoded");
    curl_easy_setopt(c, CURLOPT_URL, url.constData());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https,http");
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, form.constData());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, long(form.size()));
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, long(options.connectTimeoutSeconds));
    curl_easy_setopt(c, CURLOPT_TIMEOUT,
                     long(options.connectTimeoutSeconds + options.responseTimeoutSeconds));
    requireVerifiedTls(c, options.caFile);
    const CURLcode rc = curl_easy_perform(c);
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(c);

    if (rc != CURLE_OK && !(rc == CURLE_WRITE_ERROR && body.size() > 0))
        return failed(
            TokenReply::Status::Unreachable,
            Failure::tokenUnreachable(where, QString::fromUtf8(error[0] ? error : curl_easy_strerror(rc))));
    if (rc != CURLE_OK)
        return failed(TokenReply::Status::Unreadable, Failure::tokenUnreadable(where));
    return tokenReplyOf(status, body, where);
}

OAuthTokenSource::OAuthTokenSource(OAuthClient client, QString refreshToken, std::function<qint64()> clock)
    : m_client(std::move(client)), m_clock(std::move(clock)), m_refreshToken(std::move(refreshToken))
{
}

qint64 OAuthTokenSource::now() const
{
    if (m_clock)
        return m_clock();
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void OAuthTokenSource::setAccessToken(const QString &token, qint64 expiresInSeconds)
{
    std::lock_guard lock(m_mutex);
    m_accessToken = token;
    m_expiresAtMs = expiryOf(now(), expiresInSeconds);
}

void OAuthTokenSource::setRefreshTokenChanged(std::function<void(const QString &)> changed)
{
    std::lock_guard lock(m_mutex);
    m_changed = std::move(changed);
}

QString OAuthTokenSource::refreshToken() const
{
    std::lock_guard lock(m_mutex);
    return m_refreshToken;
}

OAuthTokenSource::Token OAuthTokenSource::accessToken(bool refresh)
{
    std::function<void(const QString &)> changed;
    QString rotated;
    Token t;
    {
        std::lock_guard lock(m_mutex);
        if (!refresh && !m_accessToken.isEmpty() && now() < m_expiresAtMs - MarginMs) {
            t.reply.accessToken = m_accessToken;
            return t;
        }
        m_accessToken.clear();
        if (m_refreshToken.isEmpty()) {
            t.reply = failed(TokenReply::Status::GrantRefused,
                             Failure::tokenGrantRefused(QStringLiteral("no refresh token")));
            return t;
        }
        TokenFields fields{{"grant_type", "refresh_token"},
                           {"refresh_token", m_refreshToken.toUtf8()},
                           {"client_id", m_client.clientId.toUtf8()},
                           {"scope", m_client.scope.toUtf8()}};
        if (!m_client.clientSecret.isEmpty())
            fields.append({"client_secret", m_client.clientSecret.toUtf8()});
        t.reply = requestToken(m_client, fields);
        if (!t.reply.ok())
            return t;
        t.fresh = true;
        m_accessToken = t.reply.accessToken;
        m_expiresAtMs = expiryOf(now(), t.reply.expiresInSeconds);
        if (!t.reply.refreshToken.isEmpty() && t.reply.refreshToken != m_refreshToken) {
            m_refreshToken = t.reply.refreshToken;
            rotated = m_refreshToken;
            changed = m_changed;
        }
    }
    if (changed)
        changed(rotated);
    return t;
}
