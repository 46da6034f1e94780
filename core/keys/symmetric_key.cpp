#include "core/keys/symmetric_key.h"

#include "core/platform/error.h"

#include <sodium.h>

#include <new>
#include <utility>

namespace kx {

void ensureSodium() {
    static const int status = sodium_init();
    if (status < 0) throw Error("the encryption library could not start");
}

SymmetricKey::SymmetricKey() {
    ensureSodium();
    bytes_ = static_cast<unsigned char*>(sodium_malloc(kSize));
    if (!bytes_) throw std::bad_alloc();
}

SymmetricKey SymmetricKey::generate() {
    SymmetricKey key;
    randombytes_buf(key.bytes_, kSize);
    return key;
}

SymmetricKey SymmetricKey::fromBytes(const unsigned char* bytes, size_t length) {
    if (length != kSize) throw Error("a key must be exactly 32 bytes long");
    SymmetricKey key;
    std::copy(bytes, bytes + kSize, key.bytes_);
    return key;
}

SymmetricKey::SymmetricKey(const SymmetricKey& other) : SymmetricKey() {
    std::copy(other.bytes_, other.bytes_ + kSize, bytes_);
}

SymmetricKey& SymmetricKey::operator=(const SymmetricKey& other) {
    if (this != &other) std::copy(other.bytes_, other.bytes_ + kSize, bytes_);
    return *this;
}

SymmetricKey::SymmetricKey(SymmetricKey&& other) noexcept : bytes_(std::exchange(other.bytes_, nullptr)) {}

SymmetricKey& SymmetricKey::operator=(SymmetricKey&& other) noexcept {
    if (this != &other) {
        if (bytes_) sodium_free(bytes_);
        bytes_ = std::exchange(other.bytes_, nullptr);
    }
    return *this;
}

SymmetricKey::~SymmetricKey() {
    if (bytes_) sodium_free(bytes_); // sodium_free zeroes the memory before releasing it
}

bool SymmetricKey::operator==(const SymmetricKey& other) const {
    if (!bytes_ || !other.bytes_) return bytes_ == other.bytes_;
    return sodium_memcmp(bytes_, other.bytes_, kSize) == 0;
}

std::string SymmetricKey::keyId() const {
    static const char label[] = "kelvara key id v1";
    unsigned char out[8];
    crypto_generichash(out, sizeof out, reinterpret_cast<const unsigned char*>(label), sizeof label - 1, bytes_, kSize);
    char hex[sizeof out * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, out, sizeof out);
    return hex;
}

} // namespace kx
