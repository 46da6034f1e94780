#pragma once
// A 256-bit symmetric key held in locked memory.
//
// The bytes live in a libsodium secure allocation: guarded pages, locked so they
// are never swapped out, and zeroed when the key is freed. A key is never printed
// or written anywhere in the clear; what may be shown or stored beside data is its
// key id, a short one-way tag that tells keys apart without revealing them.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kx {

class SymmetricKey {
public:
    static constexpr size_t kSize = 32;

    // A fresh random key.
    static SymmetricKey generate();
    // A key from exactly kSize bytes; throws kx::Error for any other length.
    static SymmetricKey fromBytes(const unsigned char* bytes, size_t length);

    SymmetricKey(const SymmetricKey& other);
    SymmetricKey& operator=(const SymmetricKey& other);
    SymmetricKey(SymmetricKey&& other) noexcept;
    SymmetricKey& operator=(SymmetricKey&& other) noexcept;
    ~SymmetricKey();

    const unsigned char* data() const { return bytes_; }
    static constexpr size_t size() { return kSize; }

    // Constant-time comparison.
    bool operator==(const SymmetricKey& other) const;

    // The key id: the first 8 bytes of a keyed BLAKE2b hash of a fixed label under
    // this key, as 16 lower-case hex digits. Safe to store and to show.
    std::string keyId() const;

private:
    SymmetricKey();
    unsigned char* bytes_ = nullptr;
};

// Makes sure libsodium is initialised; every user of the keys calls it. Throws
// kx::Error when the library cannot start.
void ensureSodium();

} // namespace kx
