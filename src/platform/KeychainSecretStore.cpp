#include "platform/KeychainSecretStore.h"

#include <QEventLoop>

#include <qt6keychain/keychain.h>

namespace
{

void runJob(QKeychain::Job &job)
{
    job.setAutoDelete(false);
    // Never the plain-text file QtKeychain can fall back to: a secret stays out of every file.
    job.setInsecureFallback(false);
    QEventLoop loop;
    QObject::connect(&job, &QKeychain::Job::finished, &loop, &QEventLoop::quit);
    job.start();
    loop.exec(QEventLoop::ExcludeUserInputEvents);
}

// No bus, or no keyring service on it, shows as NoBackendAvailable or OtherError; a locked
// keyring with nobody to unlock it, or a refusal, as AccessDenied.
SecretStore::Status statusOf(QKeychain::Error error)
{
    switch (error) {
    case QKeychain::NoError: return SecretStore::Status::Found;
    case QKeychain::EntryNotFound: return SecretStore::Status::NotFound;
    case QKeychain::NoBackendAvailable:
    case QKeychain::NotImplemented:
    case QKeychain::OtherError: return SecretStore::Status::Unavailable;
    case QKeychain::AccessDeniedByUser:
    case QKeychain::AccessDenied:
    case QKeychain::CouldNotDeleteEntry: return SecretStore::Status::Refused;
    }
    return SecretStore::Status::Refused;
}

std::optional<Failure> failureOf(const QKeychain::Job &job)
{
    switch (statusOf(job.error())) {
    case SecretStore::Status::Found:
    case SecretStore::Status::NotFound: return std::nullopt;
    case SecretStore::Status::Unavailable: return Failure::keyringUnavailable(job.errorString());
    case SecretStore::Status::Refused: return Failure::keyringRefused(job.errorString());
    }
    return std::nullopt;
}

} // namespace

SecretStore::Read KeychainSecretStore::read(const QString &key)
{
    QKeychain::ReadPasswordJob job(QString::fromLatin1(Service));
    job.setKey(key);
    runJob(job);
    const Status status = statusOf(job.error());
    if (status == Status::Found)
        return {status, job.textData(), {}};
    return {status, {}, status == Status::NotFound ? QString() : job.errorString()};
}

std::optional<Failure> KeychainSecretStore::write(const QString &key, const QString &secret)
{
    QKeychain::WritePasswordJob job(QString::fromLatin1(Service));
    job.setKey(key);
    job.setTextData(secret);
    runJob(job);
    return failureOf(job);
}

std::optional<Failure> KeychainSecretStore::remove(const QString &key)
{
    QKeychain::DeletePasswordJob job(QString::fromLatin1(Service));
    job.setKey(key);
    runJob(job);
    return failureOf(job);
}

bool KeychainSecretStore::available()
{
    // A key nobody writes: "not found" proves a keyring service answered.
    return read(QStringLiteral("velmora-keyring-probe")).status != Status::Unavailable;
}
