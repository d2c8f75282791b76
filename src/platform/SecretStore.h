#pragma once

#include "platform/Failure.h"

#include <QHash>
#include <QString>

#include <optional>

// Where secrets (passwords, refresh tokens, client secrets) are kept between sessions: the desktop's
// keyring. Nothing secret ever goes into the settings file. Used from the GUI thread only.
class SecretStore
{
  public:
    enum class Status {
        Found,
        NotFound,
        Unavailable, // no keyring service on this desktop: nothing can be kept past this session
        Refused,     // the keyring is there but would not give or take the secret (locked, denied)
    };
    struct Read {
        Status status = Status::NotFound;
        QString secret;
        QString detail; // the keyring's own words when it was unavailable or refused
    };

    virtual ~SecretStore() = default;
    virtual Read read(const QString &key) = 0;
    // A Failure (Japanese) when the secret could not be kept; unavailable() tells why.
    virtual std::optional<Failure> write(const QString &key, const QString &secret) = 0;
    virtual std::optional<Failure> remove(const QString &key) = 0;
    // Whether a keyring service answers at all.
    virtual bool available() = 0;
};

// The key of a secret in the keyring: scheme, user, host and port, as in
// "smtps://taro%40example.jp@mail.example.jp:465"; an OAuth refresh token has the "+oauth" scheme.
QString secretKey(const QString &scheme, const QString &user, const QString &host, int port);

// Secrets kept in this process only: what the operator typed without saving it, and the whole store
// of a desktop without a keyring. The mode stands for the desktop it plays in tests.
class MemorySecretStore : public SecretStore
{
  public:
    enum class Mode { Working, Absent, Refusing };
    explicit MemorySecretStore(Mode mode = Mode::Working) : m_mode(mode) {}

    Read read(const QString &key) override;
    std::optional<Failure> write(const QString &key, const QString &secret) override;
    std::optional<Failure> remove(const QString &key) override;
    bool available() override { return m_mode != Mode::Absent; }

    void setMode(Mode mode) { m_mode = mode; }
    int size() const { return int(m_secrets.size()); }

  private:
    Mode m_mode;
    QHash<QString, QString> m_secrets;
};
