#pragma once
// The seam between the core and the system's secret store.
//
// Items are addressed by (service, account). Values are short texts (keys are
// stored as hex, credentials as a small JSON object) and are secrets: they never
// appear in an error text, a log or a file.
//
// A read tells three outcomes apart: the item exists (its value), the item is
// definitely not stored (nothing), and the store could not answer (it is locked,
// not running, or failed), which throws SecretStoreError. Callers that create a
// key on "not stored" must never treat the third outcome as the second.
#include "core/platform/error.h"

#include <memory>
#include <optional>
#include <string>

namespace kx {

class SecretStoreError : public Error {
public:
    using Error::Error;
};

class SecretStore {
public:
    virtual ~SecretStore() = default;
    // The stored value, or nothing when no such item exists. Throws SecretStoreError.
    virtual std::optional<std::string> read(const std::string& service, const std::string& account) = 0;
    // Stores or replaces the value. Throws SecretStoreError.
    virtual void write(const std::string& service, const std::string& account, const std::string& label,
                       const std::string& value) = 0;
    // Deletes the item; returns false when there was none. Throws SecretStoreError.
    virtual bool remove(const std::string& service, const std::string& account) = 0;
};

// The freedesktop Secret Service (GNOME Keyring, KWallet) through libsecret's
// synchronous calls. Items use the schema "com.dunholt.kelvara.Secret" with the
// attributes "service" and "account". A locked item or collection is reported as
// a failure, never as "not stored"; this store never prompts.
class SecretServiceStore final : public SecretStore {
public:
    std::optional<std::string> read(const std::string& service, const std::string& account) override;
    void write(const std::string& service, const std::string& account, const std::string& label,
               const std::string& value) override;
    bool remove(const std::string& service, const std::string& account) override;
};

// The process-wide store: the Secret Service unless a test replaced it.
SecretStore& defaultSecretStore();
// Replaces the process-wide store (tests); null restores the Secret Service.
void setDefaultSecretStoreForTesting(std::shared_ptr<SecretStore> store);

} // namespace kx
