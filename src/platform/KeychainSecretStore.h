#pragma once

#include "platform/SecretStore.h"

// The desktop's keyring (Secret Service, KWallet) through QtKeychain. Each call waits for the
// keyring's answer in a local event loop; the keyring answers in milliseconds or refuses at once
// (no keyring service prompts here: a locked keyring is a refusal).
class KeychainSecretStore : public SecretStore
{
  public:
    Read read(const QString &key) override;
    std::optional<Failure> write(const QString &key, const QString &secret) override;
    std::optional<Failure> remove(const QString &key) override;
    bool available() override;

    static constexpr const char *Service = "Velmora";
};
