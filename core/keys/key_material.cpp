#include "core/keys/key_material.h"

#include "core/platform/error.h"

#include <sodium.h>

#include <array>

namespace kx {

namespace {

constexpr char kAlphabet[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
constexpr size_t kCheckBytes = 3;
constexpr size_t kPayloadBytes = SymmetricKey::kSize + kCheckBytes; // 35 bytes = 280 bits = 56 characters

void checkBytes(const unsigned char* key, unsigned char out[kCheckBytes]) {
    static const char label[] = "kelvara recovery v1";
    crypto_generichash_state st;
    unsigned char full[32];
    crypto_generichash_init(&st, nullptr, 0, sizeof full);
    crypto_generichash_update(&st, reinterpret_cast<const unsigned char*>(label), sizeof label - 1);
    crypto_generichash_update(&st, key, SymmetricKey::kSize);
    crypto_generichash_final(&st, full, sizeof full);
    std::copy(full, full + kCheckBytes, out);
    wipeBytes(full, sizeof full);
}

int decodeChar(char c) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c == 'O') return 0;
    if (c == 'I' || c == 'L') return 1;
    for (int i = 0; i < 32; ++i)
        if (kAlphabet[i] == c) return i;
    return -1;
}

} // namespace

std::string TreskKeyMaterial::recoveryString(const SymmetricKey& key) {
    ensureSodium();
    std::array<unsigned char, kPayloadBytes> payload{};
    std::copy(key.data(), key.data() + SymmetricKey::kSize, payload.begin());
    checkBytes(key.data(), payload.data() + SymmetricKey::kSize);

    std::string out;
    out.reserve(kPhraseCharacters + kPhraseCharacters / 4);
    size_t emitted = 0;
    unsigned buffer = 0;
    int bits = 0;
    for (unsigned char byte : payload) {
        buffer = (buffer << 8) | byte;
        bits += 8;
        while (bits >= 5) {
            bits -= 5;
            if (emitted > 0 && emitted % 4 == 0) out.push_back('-');
            out.push_back(kAlphabet[(buffer >> bits) & 31]);
            ++emitted;
        }
        buffer &= (1u << bits) - 1;
    }
    wipe(payload);
    buffer = 0;
    return out;
}

SymmetricKey TreskKeyMaterial::keyFromRecoveryString(const std::string& phrase) {
    ensureSodium();
    std::array<int, kPhraseCharacters> values{};
    size_t count = 0;
    bool foreign = false;
    for (char c : phrase) {
        if (c == '-' || c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        int v = decodeChar(c);
        if (v < 0) {
            foreign = true;
            continue;
        }
        if (count < kPhraseCharacters) values[count] = v;
        ++count;
    }
    if (foreign) {
        wipe(values);
        throw Error("it contains characters that are not part of a recovery key (only letters, digits and dashes are)");
    }
    if (count != kPhraseCharacters) {
        wipe(values);
        throw Error("it has " + std::to_string(count) + " letters and digits; a recovery key has " +
                    std::to_string(kPhraseCharacters));
    }
    std::array<unsigned char, kPayloadBytes> payload{};
    unsigned buffer = 0;
    int bits = 0;
    size_t out = 0;
    for (int v : values) {
        buffer = (buffer << 5) | static_cast<unsigned>(v);
        bits += 5;
        if (bits >= 8) {
            bits -= 8;
            payload[out++] = static_cast<unsigned char>((buffer >> bits) & 0xFF);
            buffer &= (1u << bits) - 1;
        }
    }
    wipe(values);
    unsigned char expected[kCheckBytes];
    checkBytes(payload.data(), expected);
    bool matches = sodium_memcmp(expected, payload.data() + SymmetricKey::kSize, kCheckBytes) == 0;
    if (!matches) {
        wipe(payload);
        throw Error("it does not check out, so a letter or digit is probably mistyped");
    }
    SymmetricKey key = SymmetricKey::fromBytes(payload.data(), SymmetricKey::kSize);
    wipe(payload);
    return key;
}

} // namespace kx
