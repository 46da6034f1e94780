#pragma once
// SHA-256 and hex/base64 helpers for the evidence code (OpenSSL underneath).
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace kx::evidence {

using Sha256Digest = std::array<std::uint8_t, 32>;

// Incremental SHA-256. Reusable: final() resets it for the next message.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    void update(const void* data, std::size_t size);
    void update(std::string_view bytes) { update(bytes.data(), bytes.size()); }
    Sha256Digest final();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

Sha256Digest sha256(std::string_view bytes);
std::string sha256Hex(std::string_view bytes);

std::string toHex(const std::uint8_t* data, std::size_t size);
inline std::string toHex(const Sha256Digest& d) { return toHex(d.data(), d.size()); }
// Nothing-free: returns false when the text is not even-length lowercase/uppercase hex.
bool fromHex(std::string_view hex, std::string& out);
bool isSha256Hex(std::string_view text);

std::string base64Encode(std::string_view bytes);
// Returns false when the text is not valid base64.
bool base64Decode(std::string_view text, std::string& out);

} // namespace kx::evidence
