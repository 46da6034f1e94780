#include "core/platform/sha256.h"

#include "core/platform/error.h"
#include "core/platform/fs.h"
#include "core/platform/hex.h"
#include "core/platform/posix_file.h"

#include <openssl/evp.h>

#include <cerrno>
#include <fcntl.h>
#include <utility>
#include <vector>

namespace kx {

namespace {

const EVP_MD* sha256Method() {
    // Fetched once: an explicit fetch saves a provider lookup per message.
    static EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    if (!md) throw Error("the SHA-256 implementation is not available");
    return md;
}

} // namespace

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
    if (!ctx_) throw Error("could not start a SHA-256 digest (out of memory)");
    if (EVP_DigestInit_ex2(ctx_, sha256Method(), nullptr) != 1) {
        EVP_MD_CTX_free(ctx_);
        throw Error("could not start a SHA-256 digest");
    }
}

Sha256::~Sha256() { EVP_MD_CTX_free(ctx_); }

Sha256::Sha256(Sha256&& other) noexcept : ctx_(std::exchange(other.ctx_, nullptr)) {}

Sha256& Sha256::operator=(Sha256&& other) noexcept {
    if (this != &other) {
        EVP_MD_CTX_free(ctx_);
        ctx_ = std::exchange(other.ctx_, nullptr);
    }
    return *this;
}

void Sha256::update(const void* data, std::size_t size) {
    if (!ctx_) throw Error("the SHA-256 digest was moved away");
    if (size && EVP_DigestUpdate(ctx_, data, size) != 1) throw Error("the SHA-256 digest failed");
}

int Sha256::updateFromFd(int fd) {
    std::vector<char> buf(1 << 16);
    for (;;) {
        const ssize_t n = readSome(fd, buf.data(), buf.size());
        if (n < 0) return errno;
        if (n == 0) return 0;
        update(buf.data(), static_cast<std::size_t>(n));
    }
}

Sha256Digest Sha256::finish() {
    if (!ctx_) throw Error("the SHA-256 digest was moved away");
    Sha256Digest out{};
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(ctx_, out.data(), &len) != 1 || len != out.size()) throw Error("the SHA-256 digest failed");
    if (EVP_DigestInit_ex2(ctx_, nullptr, nullptr) != 1) throw Error("could not restart a SHA-256 digest");
    return out;
}

std::string Sha256::finishHex() { return toHex(finish()); }

Sha256Digest Sha256::of(std::string_view bytes) {
    Sha256Digest out{};
    unsigned int len = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), out.data(), &len, sha256Method(), nullptr) != 1 || len != out.size())
        throw Error("the SHA-256 digest failed");
    return out;
}

std::string Sha256::hexOf(std::string_view bytes) { return toHex(of(bytes)); }

std::string Sha256::hexOfFile(const std::filesystem::path& file) {
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) throw Error("could not open " + file.string() + " (" + fs::errnoText(errno) + ")");
    Sha256 h;
    if (const int err = h.updateFromFd(fd.get()))
        throw Error("could not read " + file.string() + " (" + fs::errnoText(err) + ")");
    return h.finishHex();
}

std::string toHex(const Sha256Digest& digest) { return lowerHex(digest.data(), digest.size()); }

} // namespace kx
