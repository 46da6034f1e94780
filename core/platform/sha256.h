#pragma once
// SHA-256, the one digest of the archive: attachment object keys, backup
// fingerprints, the manifest chain and seals all use it. OpenSSL underneath;
// every OpenSSL call is checked, and a failure throws kx::Error.
#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace kx {

using Sha256Digest = std::array<std::uint8_t, 32>;

class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(Sha256&& other) noexcept;
    Sha256& operator=(Sha256&& other) noexcept;
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(const void* data, std::size_t size);
    void update(std::string_view bytes) { update(bytes.data(), bytes.size()); }
    // Reads the open file to its end into the digest. Returns 0 or the errno
    // of a failed read.
    int updateFromFd(int fd);

    // The digest of everything given since the start (or the last finish); the
    // object then starts afresh for the next message.
    Sha256Digest finish();
    std::string finishHex();

    static Sha256Digest of(std::string_view bytes);
    static std::string hexOf(std::string_view bytes);
    // The lowercase hex digest of a file's bytes; follows links. Throws kx::Error
    // ("could not open <file> (reason)", "could not read <file> (reason)").
    static std::string hexOfFile(const std::filesystem::path& file);

private:
    evp_md_ctx_st* ctx_ = nullptr;
};

// Lowercase hex of a digest.
std::string toHex(const Sha256Digest& digest);

} // namespace kx
