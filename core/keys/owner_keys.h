#pragma once
// Per-owner encryption keys and the backup credentials in the system keyring.
//
// Keyring layout, all under one service (the bundle identifier
// "com.dunholt.kelvara"), by account name:
//   "owner-key/<owner>"          the owner's current key, 64 hex digits
//   "owner-legacy-keys/<owner>"  earlier keys of this owner kept readable, hex keys
//                                separated by ","; written when a restore brings
//                                in a different key, never shortened
//   "master-key"                 the older shared key from before per-owner keys;
//                                only ever read, never created or changed
//   "recovery-saved/<owner>"     "1" once the owner confirmed saving the phrase
//   "destination/<id>"           a destination's credentials as a JSON object
// Owners are passed in already normalised; the store does not change them.
#include "core/keys/secret_store.h"
#include "core/keys/symmetric_key.h"

#include <optional>
#include <string>
#include <vector>

namespace kx {

inline constexpr const char* kKeychainService = "com.dunholt.kelvara";

// An owner's current key and the keys that older backups of the owner may use,
// in that order. Only the current key encrypts; every key decrypts.
struct OwnerKeyring {
    SymmetricKey current;
    std::vector<SymmetricKey> legacy;
};

class OwnerKeyStore {
public:
    // Uses defaultSecretStore() unless a store is given.
    explicit OwnerKeyStore(std::string service = kKeychainService, SecretStore* store = nullptr);

    const std::string& service() const { return service_; }

    // The owner's key, or nothing when none is stored. Throws kx::Error when the
    // keyring cannot be read or holds a damaged item.
    std::optional<SymmetricKey> ownerKey(const std::string& owner) const;

    // Whether the older shared key is present. Throws kx::Error on a keyring failure.
    bool hasLegacyMasterKey() const;

    struct LoadOrCreate {
        SymmetricKey key;
        bool created = false;
    };
    // Returns the existing key unchanged, or creates one, but only after the
    // keyring said definitely "not stored"; a read failure throws and creates
    // nothing. The new key is read back before it is returned.
    LoadOrCreate loadOrCreateOwnerKey(const std::string& owner);

    // Stores the key a recovery phrase encodes as the owner's key and returns it.
    // Throws kx::Error when the phrase is refused (nothing changes then). An
    // existing different key is kept among the owner's legacy keys first, so
    // nothing it encrypted becomes unreadable.
    SymmetricKey restoreOwnerKey(const std::string& owner, const std::string& phrase);

    // Removes the owner's current key (its legacy keys stay). Only for taking
    // back a key stored moments earlier by a step that then failed, before
    // anything was sealed with it. Throws kx::Error on a keyring failure.
    void removeOwnerKey(const std::string& owner);

    // The owner's keyring (current key, the owner's legacy keys, then the shared
    // master key when present), or nothing when the owner has no key.
    std::optional<OwnerKeyring> existingKeyring(const std::string& owner) const;

private:
    std::vector<SymmetricKey> ownerLegacyKeys(const std::string& owner) const;
    SecretStore& store() const;
    std::string service_;
    SecretStore* store_;
};

class TreskKeychain {
public:
    // Credentials of one destination. Stored under the destination's id.
    struct DestinationCredentials {
        std::optional<std::string> accessKeyID;
        std::optional<std::string> secretAccessKey;
        std::optional<std::string> accountID;
        std::optional<std::string> endpoint;
        std::optional<std::string> region;
        std::optional<std::string> bucket;
        std::optional<std::string> prefix;
        std::optional<std::string> refreshToken;
        std::optional<std::string> clientID;
        bool operator==(const DestinationCredentials&) const = default;
    };

    explicit TreskKeychain(std::string service = kKeychainService, SecretStore* store = nullptr);

    // Throws kx::Error on failure.
    void setCredentials(const DestinationCredentials& credentials, const std::string& destinationID);
    // Throws kx::Error on failure; removing absent credentials is no failure.
    void removeCredentials(const std::string& destinationID);
    // The stored credentials or nothing; throws kx::Error on a keyring failure.
    std::optional<DestinationCredentials> credentials(const std::string& destinationID) const;

    // The recovery-saved flag; a keyring failure reads as false (not confirmed).
    bool hasConfirmedRecoveryKey(const std::string& owner) const noexcept;
    // Throws kx::Error on failure.
    void confirmRecoveryKeySaved(const std::string& owner);

private:
    SecretStore& store() const;
    std::string service_;
    SecretStore* store_;
};

// Wipes the secret key of credentials their holder is done with (also through
// WipeOnExit); nothing when there are none.
void wipe(std::optional<TreskKeychain::DestinationCredentials>& credentials);

} // namespace kx
