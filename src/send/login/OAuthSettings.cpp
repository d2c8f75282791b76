#include "send/login/OAuthSettings.h"

#include "platform/SettingsStore.h"
#include "platform/Text.h"

OAuthSettings readOAuthSettings(const SettingsStore &settings)
{
    OAuthSettings o;
    o.microsoftTenant = settings.text(Settings::MicrosoftTenant);
    o.microsoftClientId = settings.text(Settings::MicrosoftClientId);
    o.googleClientId = settings.text(Settings::GoogleClientId);
    o.customAuthorizationUrl = settings.text(Settings::CustomAuthorizationUrl);
    o.customTokenUrl = settings.text(Settings::CustomTokenUrl);
    o.customScope = settings.text(Settings::CustomScope);
    o.customClientId = settings.text(Settings::CustomClientId);
    return o;
}

void writeOAuthSettings(SettingsStore &settings, const OAuthSettings &o)
{
    settings.setText(Settings::MicrosoftTenant, o.microsoftTenant);
    settings.setText(Settings::MicrosoftClientId, o.microsoftClientId);
    settings.setText(Settings::GoogleClientId, o.googleClientId);
    settings.setText(Settings::CustomAuthorizationUrl, o.customAuthorizationUrl);
    settings.setText(Settings::CustomTokenUrl, o.customTokenUrl);
    settings.setText(Settings::CustomScope, o.customScope);
    settings.setText(Settings::CustomClientId, o.customClientId);
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
