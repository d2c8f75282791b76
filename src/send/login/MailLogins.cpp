#include "send/login/MailLogins.h"

#include "platform/Clock.h"
#include "platform/Netrc.h"
#include "send/MailingView.h"

#include <QPointer>

namespace
{
using Buttons = UserDialogs::Buttons;
using Icon = UserDialogs::Icon;
} // namespace

MailLogins::MailLogins(MailingView &view, Clock *&clock, const OAuthSettings &oauthSettings, QObject *parent)
    : QObject(parent), m_view(view), m_clock(clock), m_oauthSettings(oauthSettings)
{
}

void MailLogins::showFailure(const Failure &failure)
{
    m_view.ask({failure.description, QString::number(failure.number), Icon::Critical, Buttons::Ok});
}

std::optional<MailLogin> MailLogins::loginFor(const MailServerParse &parsed, const MailOutcome *refusal)
{
    const MailServer &server = parsed.server;
    // Forms that never authenticate, or name nobody: nothing to find, and nothing to ask again.
    if (!parsed.error.isEmpty() || server.kind == MailServer::Kind::Smtp ||
        server.kind == MailServer::Kind::Outbox || server.user.isEmpty()) {
        if (refusal)
            return std::nullopt;
        return MailLogin{};
    }
    if (server.oauth)
        return oauthLoginFor(server, refusal != nullptr);

    const QString key = secretKey(server.scheme(), server.user, server.host, server.port);
    if (!refusal) {
        if (!server.password.isEmpty())
            return MailLogin{};
        m_keyringPasswordKey.clear();
        if (SecretStore::Read typed = m_sessionSecrets.read(key); typed.status == SecretStore::Status::Found)
            return MailLogin{typed.secret, {}};
        const SecretStore::Read kept = m_secrets->read(key);
        if (kept.status == SecretStore::Status::Found) {
            m_keyringPasswordKey = key;
            return MailLogin{kept.secret, {}};
        }
        if (kept.status == SecretStore::Status::Refused)
            showFailure(Failure::keyringRefused(kept.detail));
        // libcurl reads the file itself; the check only spares the question.
        if (netrcPassword(netrcPath(), server.host, server.user))
            return MailLogin{};
    } else {
        // The refused password is forgotten wherever this session took it from.
        m_sessionSecrets.remove(key);
        if (m_keyringPasswordKey == key)
            m_secrets->remove(key);
        m_keyringPasswordKey.clear();
    }

    PasswordRequest request;
    request.endpoint = server.endpoint();
    request.user = server.user;
    request.canSave = m_secrets->available();
    if (refusal)
        request.refusal = refusal->replyText.isEmpty()
                              ? refusal->description
                              : refusal->replyText + QStringLiteral("\r\n") + refusal->advice;
    const std::optional<PasswordAnswer> answer = m_view.askPassword(request);
    if (!answer)
        return std::nullopt;
    keepLoginSecret(key, answer->password, answer->save && request.canSave);
    return MailLogin{answer->password, {}};
}

std::optional<MailLogin> MailLogins::oauthLoginFor(const MailServer &server, bool again)
{
    std::optional<OAuthClient> client = oauthClientForHost(m_oauthSettings, server.host);
    if (!client) {
        showFailure(Failure::oauthNotConfigured(server.endpoint()));
        return std::nullopt;
    }
    if (client->provider != OAuthClient::Provider::Microsoft) {
        // Google's desktop clients come with a secret; it was entered once into the keyring.
        const QString secretName = clientSecretKey(client->provider, client->clientId);
        SecretStore::Read secret = m_sessionSecrets.read(secretName);
        if (secret.status != SecretStore::Status::Found)
            secret = m_secrets->read(secretName);
        if (secret.status == SecretStore::Status::Found)
            client->clientSecret = secret.secret;
    }
    const QString key = secretKey(server.scheme(), server.user, server.host, server.port);
    Clock *clock = m_clock;
    auto source = [&](const QString &refreshToken) {
        auto tokens = std::make_shared<OAuthTokenSource>(*client, refreshToken,
                                                         [clock] { return clock->monotonicMs(); });
        // A provider that hands out a new refresh token with each refresh wants the new one kept.
        QPointer<MailLogins> self(this);
        tokens->setRefreshTokenChanged([self, key](const QString &rotated) {
            QMetaObject::invokeMethod(
                self.data(),
                [self, key, rotated] {
                    if (self)
                        self->keepLoginSecret(key, rotated, self->m_secrets->available(), false);
                },
                Qt::QueuedConnection);
        });
        return tokens;
    };
    if (!again) {
        SecretStore::Read kept = m_sessionSecrets.read(key);
        if (kept.status != SecretStore::Status::Found) {
            kept = m_secrets->read(key);
            if (kept.status == SecretStore::Status::Refused)
                showFailure(Failure::keyringRefused(kept.detail));
        }
        if (kept.status == SecretStore::Status::Found && !kept.secret.isEmpty())
            return MailLogin{QString(), source(kept.secret)};
    } else {
        // A sign-in the server or the token endpoint refused is over: it is not tried again.
        m_sessionSecrets.remove(key);
        m_secrets->remove(key);
    }
    const TokenReply reply = m_view.signIn(*client, server.user);
    if (!reply.ok()) {
        showFailure(reply.failure.value_or(Failure::signInCancelled()));
        return std::nullopt;
    }
    std::shared_ptr<OAuthTokenSource> tokens = source(reply.refreshToken);
    tokens->setAccessToken(reply.accessToken, reply.expiresInSeconds);
    if (!reply.refreshToken.isEmpty())
        keepLoginSecret(key, reply.refreshToken, m_secrets->available());
    return MailLogin{QString(), tokens};
}

bool MailLogins::keptForLater(const MailServerParse &parsed)
{
    const MailServer &server = parsed.server;
    if (!parsed.error.isEmpty() || server.kind == MailServer::Kind::Smtp ||
        server.kind == MailServer::Kind::Outbox || server.user.isEmpty())
        return true;
    const QString key = secretKey(server.scheme(), server.user, server.host, server.port);
    if (m_secrets->read(key).status == SecretStore::Status::Found)
        return true;
    if (!server.oauth && netrcPassword(netrcPath(), server.host, server.user))
        return true;
    const QString what = server.oauth ? QStringLiteral("サインイン") : QStringLiteral("パスワード");
    const SecretStore::Read held = m_sessionSecrets.read(key);
    // A password written in the server text is never saved with the job: it must be kept too.
    const QString secret = held.status == SecretStore::Status::Found ? held.secret : server.password;
    const QString why = QStringLiteral("Velmora を閉じた後の送信では、%1がキーリングに保存されていないと"
                                       "サーバーに接続できません。")
                            .arg(what);
    if (secret.isEmpty() || !m_secrets->available()) {
        m_view.ask({why + QStringLiteral("\r\n%1を保存してから予約し直してください。").arg(what),
                    QStringLiteral("送信の予約"), UserDialogs::Icon::Warning, UserDialogs::Buttons::Ok});
        return false;
    }
    if (m_view.ask(
            {why + QStringLiteral("\r\n%1をキーリングに保存して予約しますか？（「いいえ」では予約しません）")
                       .arg(what),
             QStringLiteral("送信の予約"), UserDialogs::Icon::Question, UserDialogs::Buttons::YesNo,
             UserDialogs::Answer::No}) != UserDialogs::Answer::Yes)
        return false;
    if (std::optional<Failure> failed = m_secrets->write(key, secret)) {
        showFailure(*failed);
        return false;
    }
    return true;
}

std::optional<Failure> MailLogins::keepSecret(const QString &key, const QString &secret)
{
    m_sessionSecrets.write(key, secret);
    return m_secrets->write(key, secret);
}

void MailLogins::keepLoginSecret(const QString &key, const QString &secret, bool inKeyring, bool tell)
{
    m_sessionSecrets.write(key, secret);
    if (!inKeyring)
        return;
    // A keyring that refuses leaves the secret in this session only; the operator is told why.
    // A token rotated during a run is not worth a box in the middle of it.
    if (const std::optional<Failure> failure = m_secrets->write(key, secret); failure && tell)
        showFailure(*failure);
}
