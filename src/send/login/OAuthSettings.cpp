#include "send/login/OAuthSettings.h"

#include "platform/SettingsStore.h"
#include "platform/Text.h"

namespace
{
const QString Section = QStringLiteral("OAuth");
} // namespace

OAuthSettings readOAuthSettings(const SettingsStore &settings)
{
    auto get = [&](const char *key) {
        return trimSpaces(settings.getString(Section, QString::fromLatin1(key), QString()));
    };
    OAuthSettings o;
    o.microsoftTenant = get("microsoftTenant");
    o.microsoftClientId = get("microsoftClientId");
    o.googleClientId = get("googleClientId");
    o.customAuthorizationUrl = get("customAuthorizationUrl");
    o.customTokenUrl = get("customTokenUrl");
    o.customScope = get("customScope");
    o.customClientId = get("customClientId");
    return o;
}

void writeOAuthSettings(SettingsStore &settings, const OAuthSettings &o)
{
    const std::pair<const char *, QString> values[] = {
        {"microsoftTenant", o.microsoftTenant}, {"microsoftClientId", o.microsoftClientId},
        {"googleClientId", o.googleClientId},   {"customAuthorizationUrl", o.customAuthorizationUrl},
        {"customTokenUrl", o.customTokenUrl},   {"customScope", o.customScope},
        {"customClientId", o.customClientId},
    };
    for (const auto &[key, value] : values)
        settings.setString(Section, QString::fromLatin1(key), value);
}

std::optional<OAuthClient> oauthClientForHost(const OAuthSettings &o, const QString &host)
{
    switch (oauthProviderOfHost(host)) {
    case OAuthClient::Provider::Microsoft:
        if (o.microsoftClientId.isEmpty())
            return std::nullopt;
        return OAuthClient::microsoft(o.microsoftTenant, o.microsoftClientId);
    case OAuthClient::Provider::Google:
        if (o.googleClientId.isEmpty())
            return std::nullopt;
        return OAuthClient::google(o.googleClientId, QString());
    case OAuthClient::Provider::Custom: break;
    }
    if (o.customClientId.isEmpty() || o.customAuthorizationUrl.isEmpty() || o.customTokenUrl.isEmpty())
        return std::nullopt;
    OAuthClient c;
    c.provider = OAuthClient::Provider::Custom;
    c.authorizationUrl = QUrl(o.customAuthorizationUrl, QUrl::StrictMode);
    c.tokenUrl = QUrl(o.customTokenUrl, QUrl::StrictMode);
    c.scope = o.customScope;
    c.clientId = o.customClientId;
    return c;
}

QString clientSecretKey(OAuthClient::Provider provider, const QString &clientId)
{
    const char *name = provider == OAuthClient::Provider::Google      ? "google"
                       : provider == OAuthClient::Provider::Microsoft ? "microsoft"
                                                                      : "custom";
    return QStringLiteral("oauth-client://%1/%2").arg(QString::fromLatin1(name), clientId);
}

bool plausibleTenant(const QString &tenant)
{
    if (tenant.isEmpty() || tenant.size() > 253)
        return tenant.isEmpty();
    for (const QChar c : tenant)
        if (!(c.unicode() < 0x80 && (c.isLetterOrNumber() || c == u'-' || c == u'.')))
            return false;
    return true;
}
