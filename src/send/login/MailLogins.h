#pragma once

#include "platform/Failure.h"
#include "platform/SecretStore.h"
#include "platform/mail/MailLogin.h"
#include "platform/mail/MailOutcome.h"
#include "platform/mail/MailServer.h"
#include "send/login/OAuthSettings.h"

#include <QObject>
#include <QString>

#include <optional>

class Clock;
class MailingView;

// What a run signs in with, and where the secrets are kept: the server text's password; else,
// when the text names a user, a password typed earlier in this session, the keyring's or
// ~/.netrc's (left to the mail library), or else the one the operator types now; or, for an OAuth
// server, its kept refresh token or a new sign-in. Nothing secret outlives the process without a
// keyring.
class MailLogins : public QObject
{
    Q_OBJECT
  public:
    // The view asks for passwords and sign-ins and shows failures; the clock times the tokens; the
    // settings are the organisation's app registrations. All three must outlive the logins.
    MailLogins(MailingView &view, Clock *&clock, const OAuthSettings &oauthSettings,
               QObject *parent = nullptr);

    // The desktop's keyring; without one, nothing outlives the process. The store must outlive
    // the logins.
    void setSecretStore(SecretStore &store) { m_secrets = &store; }
    SecretStore &secretStore() const { return *m_secrets; }

    // The login of a run to this server. `refusal`: the server refused the last one, ask anew.
    // Nothing when the run must not go on (cancelled, nothing to ask, or told why).
    std::optional<MailLogin> loginFor(const MailServerParse &destination,
                                      const MailOutcome *refusal = nullptr);
    // For a run another process makes later (a start handed to the session's timer): true when
    // its password or sign-in is where that process finds it, the keyring or ~/.netrc. One only
    // this session holds is put into the keyring when the operator agrees; false otherwise, and
    // the operator has been told why.
    bool keptForLater(const MailServerParse &destination);
    // A secret entered for later (a client secret): kept for this session, and in the keyring when
    // one takes it; otherwise the failure says why it lasts until exit only.
    std::optional<Failure> keepSecret(const QString &key, const QString &secret);

  private:
    std::optional<MailLogin> oauthLoginFor(const MailServer &server, bool again);
    // Kept for this session, and in the keyring when asked; a keyring's refusal is told when `tell`.
    void keepLoginSecret(const QString &key, const QString &secret, bool inKeyring, bool tell = true);
    void showFailure(const Failure &failure);

    MailingView &m_view;
    Clock *&m_clock;
    const OAuthSettings &m_oauthSettings;
    MemorySecretStore m_noKeyring{MemorySecretStore::Mode::Absent};
    SecretStore *m_secrets = &m_noKeyring;
    // What the operator typed or signed in to without a keyring to keep it: until the process ends.
    MemorySecretStore m_sessionSecrets;
    // The key of a password the run took from the keyring: a refusal drops it there.
    QString m_keyringPasswordKey;
};
