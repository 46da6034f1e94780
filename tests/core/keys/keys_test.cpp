#include "core/keys/key_material.h"
#include "core/keys/owner_keys.h"
#include "core/keys/secret_store.h"
#include "core/keys/wipe.h"
#include "tests/support/secret_store_double.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

using namespace kx;

namespace {

std::string compact(std::string s) {
    s.erase(std::remove(s.begin(), s.end(), '-'), s.end());
    return s;
}

// Replaces the character at position i of the compact phrase by another symbol of the alphabet.
std::string mistype(const std::string& phrase, size_t i) {
    std::string c = compact(phrase);
    c[i] = c[i] == 'A' ? 'B' : 'A';
    return c;
}

} // namespace

TEST(RecoveryPhrase, RoundTripsAndIgnoresCaseDashesSpacesAndLineBreaks) {
    for (int round = 0; round < 50; ++round) {
        SymmetricKey key = SymmetricKey::generate();
        std::string phrase = TreskKeyMaterial::recoveryString(key);
        EXPECT_EQ(compact(phrase).size(), TreskKeyMaterial::kPhraseCharacters);
        EXPECT_EQ(std::count(phrase.begin(), phrase.end(), '-'), 13);
        EXPECT_TRUE(TreskKeyMaterial::keyFromRecoveryString(phrase) == key);

        std::string messy;
        std::string c = compact(phrase);
        for (size_t i = 0; i < c.size(); ++i) {
            messy.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c[i]))));
            if (i % 7 == 6) messy += (i % 2 ? " \n" : "\r\n-  ");
        }
        EXPECT_TRUE(TreskKeyMaterial::keyFromRecoveryString("  " + messy + "\n") == key);
    }
}

TEST(RecoveryPhrase, EveryMistypedCharacterAndSwapIsRefused) {
    SymmetricKey key = SymmetricKey::generate();
    std::string phrase = TreskKeyMaterial::recoveryString(key);
    std::string c = compact(phrase);
    for (size_t i = 0; i < c.size(); ++i)
        EXPECT_THROW(TreskKeyMaterial::keyFromRecoveryString(mistype(phrase, i)), Error) << "position " << i;
    for (size_t i = 0; i + 1 < c.size(); ++i) {
        if (c[i] == c[i + 1]) continue;
        std::string swapped = c;
        std::swap(swapped[i], swapped[i + 1]);
        EXPECT_THROW(TreskKeyMaterial::keyFromRecoveryString(swapped), Error) << "swap at " << i;
    }
}

TEST(RecoveryPhrase, WrongLengthAndForeignCharactersAreRefusedWithoutQuotingThePhrase) {
    std::string phrase = TreskKeyMaterial::recoveryString(SymmetricKey::generate());
    std::string c = compact(phrase);
    try {
        TreskKeyMaterial::keyFromRecoveryString(c.substr(0, c.size() - 1));
        FAIL() << "a short phrase was accepted";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("55"), std::string::npos);
        EXPECT_EQ(std::string(e.what()).find(c.substr(0, 8)), std::string::npos);
    }
    EXPECT_THROW(TreskKeyMaterial::keyFromRecoveryString(c + "0"), Error);
    EXPECT_THROW(TreskKeyMaterial::keyFromRecoveryString(c.substr(0, 20) + "!" + c.substr(20)), Error);
    EXPECT_THROW(TreskKeyMaterial::keyFromRecoveryString(""), Error);
}

TEST(SymmetricKey, IdsTellKeysApartAndRevealNoKeyBytes) {
    SymmetricKey a = SymmetricKey::generate();
    SymmetricKey b = SymmetricKey::generate();
    EXPECT_EQ(a.keyId().size(), 16u);
    EXPECT_NE(a.keyId(), b.keyId());
    SymmetricKey copy = a;
    EXPECT_TRUE(copy == a);
    EXPECT_EQ(copy.keyId(), a.keyId());
    EXPECT_FALSE(a == b);
    unsigned char raw[7] = {};
    EXPECT_THROW(SymmetricKey::fromBytes(raw, sizeof raw), Error);
}

// The bytes themselves are zeroed, in the memory the secret occupied, and a
// guard wipes however its scope is left.
TEST(Wipe, ZerosTheSecretsOwnBytesAndEmptiesIt) {
    std::string phrase(200, 'k'); // long enough to live on the heap
    const char* text = phrase.data();
    wipe(phrase);
    EXPECT_TRUE(phrase.empty());
    EXPECT_TRUE(std::all_of(text, text + 200, [](char c) { return c == 0; }));

    std::vector<unsigned char> bytes(64, 0xAB);
    const unsigned char* data = bytes.data();
    try {
        WipeOnExit guard(bytes);
        throw Error("a failure half way");
    } catch (const Error&) {
    }
    EXPECT_TRUE(bytes.empty());
    EXPECT_TRUE(std::all_of(data, data + 64, [](unsigned char b) { return b == 0; }));

    std::array<int, 5> values{1, 2, 3, 4, 5};
    wipe(values);
    EXPECT_EQ(values, (std::array<int, 5>{}));
}

class OwnerKeyStoreTest : public ::testing::Test {
protected:
    InMemorySecretStore store;
    OwnerKeyStore keys{kKeychainService, &store};
    TreskKeychain keychain{kKeychainService, &store};
};

TEST_F(OwnerKeyStoreTest, CreatesOnceAndNeverReplaces) {
    EXPECT_FALSE(keys.ownerKey("jorin").has_value());
    auto first = keys.loadOrCreateOwnerKey("jorin");
    EXPECT_TRUE(first.created);
    auto again = keys.loadOrCreateOwnerKey("jorin");
    EXPECT_FALSE(again.created);
    EXPECT_TRUE(again.key == first.key);
    auto other = keys.loadOrCreateOwnerKey("mara");
    EXPECT_FALSE(other.key == first.key);
    // The stored item holds hex, not the phrase, and nothing else changed it.
    EXPECT_EQ(store.items.at({kKeychainService, "owner-key/jorin"}).size(), 64u);
}

TEST_F(OwnerKeyStoreTest, AKeyringFailureCreatesNothing) {
    store.failReads = true;
    EXPECT_THROW(keys.loadOrCreateOwnerKey("jorin"), SecretStoreError);
    EXPECT_THROW(keys.ownerKey("jorin"), SecretStoreError);
    EXPECT_THROW(keys.existingKeyring("jorin"), SecretStoreError);
    EXPECT_THROW(keys.hasLegacyMasterKey(), SecretStoreError);
    EXPECT_EQ(store.writeCount, 0u);
    EXPECT_TRUE(store.items.empty());
    EXPECT_FALSE(keychain.hasConfirmedRecoveryKey("jorin"));
}

TEST_F(OwnerKeyStoreTest, ADamagedItemIsAnErrorNotAMissingKey) {
    store.items[{kKeychainService, "owner-key/jorin"}] = "not hex";
    EXPECT_THROW(keys.ownerKey("jorin"), Error);
    EXPECT_THROW(keys.loadOrCreateOwnerKey("jorin"), Error);
    EXPECT_EQ(store.items.at({kKeychainService, "owner-key/jorin"}), "not hex");
}

TEST_F(OwnerKeyStoreTest, RestoreIsTheInverseOfThePhraseAndKeepsADifferentOldKey) {
    SymmetricKey fromElsewhere = SymmetricKey::generate();
    std::string phrase = TreskKeyMaterial::recoveryString(fromElsewhere);

    // Fresh machine: the phrase becomes the owner's key.
    EXPECT_TRUE(keys.restoreOwnerKey("jorin", phrase) == fromElsewhere);
    EXPECT_TRUE(*keys.ownerKey("jorin") == fromElsewhere);

    // Restoring over a different key keeps the old one as a legacy key.
    auto mara = keys.loadOrCreateOwnerKey("mara").key;
    keys.restoreOwnerKey("mara", phrase);
    auto ring = keys.existingKeyring("mara");
    ASSERT_TRUE(ring.has_value());
    EXPECT_TRUE(ring->current == fromElsewhere);
    ASSERT_EQ(ring->legacy.size(), 1u);
    EXPECT_TRUE(ring->legacy[0] == mara);

    // Restoring the same phrase again, or the old key back, loses nothing.
    keys.restoreOwnerKey("mara", phrase);
    keys.restoreOwnerKey("mara", TreskKeyMaterial::recoveryString(mara));
    ring = keys.existingKeyring("mara");
    EXPECT_TRUE(ring->current == mara);
    ASSERT_EQ(ring->legacy.size(), 2u);
    EXPECT_TRUE(ring->legacy[0] == mara);
    EXPECT_TRUE(ring->legacy[1] == fromElsewhere);
}

TEST_F(OwnerKeyStoreTest, ARefusedPhraseChangesNothing) {
    auto key = keys.loadOrCreateOwnerKey("jorin").key;
    size_t writes = store.writeCount;
    std::string phrase = TreskKeyMaterial::recoveryString(SymmetricKey::generate());
    EXPECT_THROW(keys.restoreOwnerKey("jorin", mistype(phrase, 10)), Error);
    EXPECT_EQ(store.writeCount, writes);
    EXPECT_TRUE(*keys.ownerKey("jorin") == key);
}

TEST_F(OwnerKeyStoreTest, TheLegacySharedKeyIsOnlyReadAndJoinsEveryKeyring) {
    EXPECT_FALSE(keys.hasLegacyMasterKey());
    keys.loadOrCreateOwnerKey("jorin");
    EXPECT_FALSE(store.items.count({kKeychainService, "master-key"}));
    EXPECT_EQ(keys.existingKeyring("jorin")->legacy.size(), 0u);

    SymmetricKey shared = SymmetricKey::generate();
    std::string hex(64, '0');
    static const char d[] = "0123456789abcdef";
    for (size_t i = 0; i < 32; ++i) {
        hex[2 * i] = d[shared.data()[i] >> 4];
        hex[2 * i + 1] = d[shared.data()[i] & 15];
    }
    store.items[{kKeychainService, "master-key"}] = hex;
    EXPECT_TRUE(keys.hasLegacyMasterKey());
    auto ring = keys.existingKeyring("jorin");
    ASSERT_EQ(ring->legacy.size(), 1u);
    EXPECT_TRUE(ring->legacy[0] == shared);
    EXPECT_FALSE(keys.existingKeyring("nobody").has_value());
}

TEST_F(OwnerKeyStoreTest, CredentialsAndTheRecoveryFlagRoundTrip) {
    TreskKeychain::DestinationCredentials c;
    c.accessKeyID = "AKIDEXAMPLE";
    c.secretAccessKey = "s3cr3t/with+chars";
    c.accountID = "0123abcd";
    EXPECT_FALSE(keychain.credentials("dest-1").has_value());
    keychain.setCredentials(c, "dest-1");
    EXPECT_EQ(keychain.credentials("dest-1"), c);
    keychain.removeCredentials("dest-1");
    keychain.removeCredentials("dest-1");
    EXPECT_FALSE(keychain.credentials("dest-1").has_value());

    EXPECT_FALSE(keychain.hasConfirmedRecoveryKey("jorin"));
    keychain.confirmRecoveryKeySaved("jorin");
    EXPECT_TRUE(keychain.hasConfirmedRecoveryKey("jorin"));
    EXPECT_FALSE(keychain.hasConfirmedRecoveryKey("mara"));

    store.failWrites = true;
    EXPECT_THROW(keychain.setCredentials(c, "dest-2"), Error);
    EXPECT_THROW(keychain.confirmRecoveryKeySaved("mara"), Error);
}
