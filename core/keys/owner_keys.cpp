#include "core/keys/owner_keys.h"

#include "core/keys/key_material.h"
#include "core/keys/wipe.h"

#include <nlohmann/json.hpp>
#include <sodium.h>

namespace kx {

namespace {

void checkOwner(const std::string& owner) {
    if (owner.empty()) throw Error("no owner was given");
    if (owner.find('\0') != std::string::npos) throw Error("the owner name contains a NUL character");
}

std::string ownerKeyAccount(const std::string& owner) { return "owner-key/" + owner; }
std::string ownerLegacyAccount(const std::string& owner) { return "owner-legacy-keys/" + owner; }
const char* const kMasterKeyAccount = "master-key";
std::string recoveryAccount(const std::string& owner) { return "recovery-saved/" + owner; }
std::string destinationAccount(const std::string& id) { return "destination/" + id; }

std::string toHex(const SymmetricKey& key) {
    std::string hex(SymmetricKey::kSize * 2 + 1, '\0');
    sodium_bin2hex(hex.data(), hex.size(), key.data(), SymmetricKey::kSize);
    hex.pop_back();
    return hex;
}

SymmetricKey fromHex(std::string_view hex, const char* what) {
    unsigned char* buf = static_cast<unsigned char*>(sodium_malloc(SymmetricKey::kSize));
    if (!buf) throw std::bad_alloc();
    size_t len = 0;
    int rc = sodium_hex2bin(buf, SymmetricKey::kSize, hex.data(), hex.size(), nullptr, &len, nullptr);
    if (rc != 0 || len != SymmetricKey::kSize) {
        sodium_free(buf);
        throw Error(std::string("the keyring item for ") + what + " is damaged (it does not hold a 256-bit key)");
    }
    SymmetricKey key = SymmetricKey::fromBytes(buf, len);
    sodium_free(buf);
    return key;
}

// Reads an item; keyring failures become a readable kx::Error.
std::optional<std::string> readItem(SecretStore& store, const std::string& service, const std::string& account) {
    return store.read(service, account);
}

} // namespace

OwnerKeyStore::OwnerKeyStore(std::string service, SecretStore* store) : service_(std::move(service)), store_(store) {
    ensureSodium();
}

SecretStore& OwnerKeyStore::store() const { return store_ ? *store_ : defaultSecretStore(); }

std::optional<SymmetricKey> OwnerKeyStore::ownerKey(const std::string& owner) const {
    checkOwner(owner);
    auto hex = readItem(store(), service_, ownerKeyAccount(owner));
    if (!hex) return std::nullopt;
    SymmetricKey key = fromHex(*hex, ("the key of " + owner).c_str());
    wipe(*hex);
    return key;
}

bool OwnerKeyStore::hasLegacyMasterKey() const {
    auto hex = readItem(store(), service_, kMasterKeyAccount);
    if (!hex) return false;
    wipe(*hex);
    return true;
}

std::vector<SymmetricKey> OwnerKeyStore::ownerLegacyKeys(const std::string& owner) const {
    std::vector<SymmetricKey> keys;
    auto text = readItem(store(), service_, ownerLegacyAccount(owner));
    if (!text) return keys;
    std::string_view rest = *text;
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string_view piece = rest.substr(0, comma);
        if (!piece.empty()) keys.push_back(fromHex(piece, ("the earlier keys of " + owner).c_str()));
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    wipe(*text);
    return keys;
}

OwnerKeyStore::LoadOrCreate OwnerKeyStore::loadOrCreateOwnerKey(const std::string& owner) {
    if (auto existing = ownerKey(owner)) return {std::move(*existing), false};
    // The read above answered a definite "not stored"; a failure would have thrown.
    SymmetricKey key = SymmetricKey::generate();
    std::string hex = toHex(key);
    store().write(service_, ownerKeyAccount(owner), "Kelvara encryption key for " + owner, hex);
    wipe(hex);
    auto stored = ownerKey(owner);
    if (!stored || !(*stored == key))
        throw Error("the new key for " + owner + " could not be read back from the keyring");
    return {std::move(key), true};
}

SymmetricKey OwnerKeyStore::restoreOwnerKey(const std::string& owner, const std::string& phrase) {
    checkOwner(owner);
    SymmetricKey key = TreskKeyMaterial::keyFromRecoveryString(phrase);
    auto existing = ownerKey(owner);
    if (existing && *existing == key) return key;
    if (existing) {
        // Keep the key being replaced: whatever it sealed must stay readable.
        std::vector<SymmetricKey> legacy = ownerLegacyKeys(owner);
        bool known = false;
        for (const auto& k : legacy) known = known || (k == *existing);
        if (!known) {
            std::string text;
            for (const auto& k : legacy) {
                std::string h = toHex(k);
                text += h + ",";
                wipe(h);
            }
            std::string h = toHex(*existing);
            text += h;
            wipe(h);
            store().write(service_, ownerLegacyAccount(owner), "Kelvara earlier encryption keys for " + owner, text);
            wipe(text);
        }
    }
    std::string hex = toHex(key);
    store().write(service_, ownerKeyAccount(owner), "Kelvara encryption key for " + owner, hex);
    wipe(hex);
    return key;
}

void OwnerKeyStore::removeOwnerKey(const std::string& owner) {
    checkOwner(owner);
    store().remove(service_, ownerKeyAccount(owner));
}

std::optional<OwnerKeyring> OwnerKeyStore::existingKeyring(const std::string& owner) const {
    auto current = ownerKey(owner);
    if (!current) return std::nullopt;
    OwnerKeyring ring{std::move(*current), ownerLegacyKeys(owner)};
    if (auto hex = readItem(store(), service_, kMasterKeyAccount)) {
        SymmetricKey master = fromHex(*hex, "the shared key");
        wipe(*hex);
        bool known = master == ring.current;
        for (const auto& k : ring.legacy) known = known || (k == master);
        if (!known) ring.legacy.push_back(std::move(master));
    }
    return ring;
}

// ---------------------------------------------------------------------------

TreskKeychain::TreskKeychain(std::string service, SecretStore* store) : service_(std::move(service)), store_(store) {}

SecretStore& TreskKeychain::store() const { return store_ ? *store_ : defaultSecretStore(); }

namespace {
const char* const kCredentialKeys[] = {"accessKeyID", "secretAccessKey", "accountID",    "endpoint", "region",
                                       "bucket",      "prefix",          "refreshToken", "clientID"};

std::optional<std::string>* credentialField(TreskKeychain::DestinationCredentials& c, size_t i) {
    std::optional<std::string>* fields[] = {&c.accessKeyID, &c.secretAccessKey, &c.accountID,    &c.endpoint, &c.region,
                                            &c.bucket,      &c.prefix,          &c.refreshToken, &c.clientID};
    return fields[i];
}
} // namespace

void TreskKeychain::setCredentials(const DestinationCredentials& credentials, const std::string& destinationID) {
    if (destinationID.empty()) throw Error("the destination has no id");
    nlohmann::ordered_json j = nlohmann::ordered_json::object();
    DestinationCredentials copy = credentials;
    for (size_t i = 0; i < std::size(kCredentialKeys); ++i)
        if (auto* f = credentialField(copy, i); f->has_value()) j[kCredentialKeys[i]] = **f;
    std::string text = j.dump();
    for (size_t i = 0; i < std::size(kCredentialKeys); ++i)
        if (auto* f = credentialField(copy, i); f->has_value()) wipe(**f);
    try {
        store().write(service_, destinationAccount(destinationID), "Kelvara backup destination credentials", text);
    } catch (...) {
        wipe(text);
        throw;
    }
    wipe(text);
}

void TreskKeychain::removeCredentials(const std::string& destinationID) {
    store().remove(service_, destinationAccount(destinationID));
}

std::optional<TreskKeychain::DestinationCredentials> TreskKeychain::credentials(
    const std::string& destinationID) const {
    auto text = store().read(service_, destinationAccount(destinationID));
    if (!text) return std::nullopt;
    nlohmann::json j = nlohmann::json::parse(*text, nullptr, false);
    wipe(*text);
    if (!j.is_object()) throw Error("the keyring item with this destination's credentials is damaged");
    DestinationCredentials c;
    for (size_t i = 0; i < std::size(kCredentialKeys); ++i) {
        auto it = j.find(kCredentialKeys[i]);
        if (it != j.end() && it->is_string()) *credentialField(c, i) = it->get<std::string>();
    }
    return c;
}

bool TreskKeychain::hasConfirmedRecoveryKey(const std::string& owner) const noexcept {
    try {
        auto v = store().read(service_, recoveryAccount(owner));
        return v && *v == "1";
    } catch (...) {
        return false;
    }
}

void TreskKeychain::confirmRecoveryKeySaved(const std::string& owner) {
    checkOwner(owner);
    store().write(service_, recoveryAccount(owner), "Kelvara recovery key saved for " + owner, "1");
}

void wipe(std::optional<TreskKeychain::DestinationCredentials>& credentials) {
    if (credentials && credentials->secretAccessKey) wipe(*credentials->secretAccessKey);
}

} // namespace kx
