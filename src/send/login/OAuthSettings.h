#pragma once

#include "platform/mail/OAuthClient.h"

#include <QString>

#include <optional>

class SettingsStore;

// The organisation's app registrations for signing in to mail servers with OAuth 2.0, as the
// administrator entered them once. Client IDs and URLs are no secret and live in the settings
// file (section "OAuth"); a client secret lives in the keyring only.
struct OAuthSettings {
    QString microsoftTenant; // directory (tenant) ID or domain; empty: any work or school account
    QString microsoftClientId;
    QString googleClientId;
    QString customAuthorizationUrl;
    QString customTokenUrl;
    QString customScope;
    QString customClientId;

    bool operator==(const OAuthSettings &) const = default;
};

OAuthSettings readOAuthSettings(const SettingsStore &settings);
void writeOAuthSettings(SettingsStore &settings, const OAuthSettings &oauth);

// The app registration for a mail server's host (Microsoft 365's and Google's SMTP hosts by name,
// any other host the custom provider); nothing when its client ID (or a custom provider's URLs)
// was never entered.
std::optional<OAuthClient> oauthClientForHost(const OAuthSettings &oauth, const QString &host);

// Where a provider's client secret is kept in the keyring.
QString clientSecretKey(OAuthClient::Provider provider, const QString &clientId);

// A tenant as Microsoft's sign-in URL takes it: a GUID, a domain, "organizations" or "common".
bool plausibleTenant(const QString &tenant);
