#pragma once
// Wiping secrets: the one way this code overwrites memory that held a key, a
// recovery phrase, a credential or decrypted bytes. The stores cannot be left
// out by the compiler, even when the memory is freed or goes out of scope
// right after.
#include <array>
#include <cstddef>
#include <string>
#include <type_traits>
#include <vector>

namespace kx {

// Overwrites `size` bytes at `data` with zeros.
void wipeBytes(void* data, std::size_t size);

// Overwrites a text's bytes with zeros, then empties it.
void wipe(std::string& text);
// Overwrites a buffer's bytes with zeros, then empties it.
void wipe(std::vector<unsigned char>& bytes);
// Overwrites an array's bytes with zeros.
template <typename T, std::size_t N>
void wipe(std::array<T, N>& values) {
    static_assert(std::is_trivially_copyable_v<T>);
    wipeBytes(values.data(), sizeof(T) * N);
}

// Wipes a text or buffer however the scope that holds it ends.
template <typename Secret>
class WipeOnExit {
public:
    explicit WipeOnExit(Secret& secret) : secret_(secret) {}
    ~WipeOnExit() { wipe(secret_); }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

private:
    Secret& secret_;
};

} // namespace kx
