#include "platform/SecretStore.h"

#include <QUrl>

QString secretKey(const QString &scheme, const QString &user, const QString &host, int port)
{
    const QString h = host.contains(u':') ? u'[' + host + u']' : host;
    return scheme + QStringLiteral("://") + QString::fromLatin1(QUrl::toPercentEncoding(user)) + u'@' + h +
           u':' + QString::number(port);
}

SecretStore::Read MemorySecretStore::read(const QString &key)
{
    switch (m_mode) {
    case Mode::Absent: return {Status::Unavailable, {}, QStringLiteral("no keyring")};
    case Mode::Refusing: return {Status::Refused, {}, QStringLiteral("the keyring is locked")};
    case Mode::Working: break;
    }
    const auto it = m_secrets.constFind(key);
    if (it == m_secrets.constEnd())
        return {};
    return {Status::Found, it.value(), {}};
}

std::optional<Failure> MemorySecretStore::write(const QString &key, const QString &secret)
{
    switch (m_mode) {
    case Mode::Absent: return Failure::keyringUnavailable(QStringLiteral("no keyring"));
    case Mode::Refusing: return Failure::keyringRefused(QStringLiteral("the keyring is locked"));
    case Mode::Working: break;
    }
    m_secrets.insert(key, secret);
    return std::nullopt;
}

std::optional<Failure> MemorySecretStore::remove(const QString &key)
{
    if (m_mode == Mode::Refusing)
        return Failure::keyringRefused(QStringLiteral("the keyring is locked"));
    m_secrets.remove(key);
    return std::nullopt;
}
