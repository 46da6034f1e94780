#include "core/evidence/digest.h"

#include "core/platform/error.h"
#include "core/platform/hex.h"

#include <openssl/evp.h>

#include <vector>

namespace kx::evidence {

namespace {

const EVP_MD* sha256Method() {
    // Fetched once; the explicit fetch avoids a provider lookup per message.
    static EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    if (!md) throw Error("the SHA-256 implementation is not available");
    return md;
}

} // namespace

struct Sha256::Impl {
    EVP_MD_CTX* ctx = nullptr;
};

Sha256::Sha256() : impl_(std::make_unique<Impl>()) {
    impl_->ctx = EVP_MD_CTX_new();
    if (!impl_->ctx || EVP_DigestInit_ex2(impl_->ctx, sha256Method(), nullptr) != 1)
        throw Error("could not start a SHA-256 digest");
}

Sha256::~Sha256() { EVP_MD_CTX_free(impl_->ctx); }

void Sha256::update(const void* data, std::size_t size) {
    if (size && EVP_DigestUpdate(impl_->ctx, data, size) != 1) throw Error("SHA-256 digest failed");
}

Sha256Digest Sha256::final() {
    Sha256Digest out{};
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(impl_->ctx, out.data(), &len) != 1 || len != out.size())
        throw Error("SHA-256 digest failed");
    if (EVP_DigestInit_ex2(impl_->ctx, nullptr, nullptr) != 1) throw Error("could not restart a SHA-256 digest");
    return out;
}

Sha256Digest sha256(std::string_view bytes) {
    Sha256Digest out{};
    unsigned int len = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), out.data(), &len, sha256Method(), nullptr) != 1)
        throw Error("SHA-256 digest failed");
    return out;
}

std::string sha256Hex(std::string_view bytes) { return toHex(sha256(bytes)); }

std::string toHex(const std::uint8_t* data, std::size_t size) {
    return lowerHex(data, size);
}

namespace {
int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
} // namespace

bool fromHex(std::string_view hex, std::string& out) {
    if (hex.size() % 2) return false;
    std::string bytes(hex.size() / 2, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const int hi = hexValue(hex[2 * i]), lo = hexValue(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes[i] = static_cast<char>((hi << 4) | lo);
    }
    out = std::move(bytes);
    return true;
}

bool isSha256Hex(std::string_view text) {
    if (text.size() != 64) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

std::string base64Encode(std::string_view bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3), '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

bool base64Decode(std::string_view text, std::string& out) {
    if (text.size() % 4) return false;
    if (text.empty()) {
        out.clear();
        return true;
    }
    std::string bytes(text.size() / 4 * 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                  reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0) return false;
    std::size_t len = static_cast<std::size_t>(n);
    // EVP_DecodeBlock counts padding as zero bytes; take them off again.
    if (text.size() >= 1 && text[text.size() - 1] == '=') --len;
    if (text.size() >= 2 && text[text.size() - 2] == '=') --len;
    bytes.resize(len);
    out = std::move(bytes);
    return true;
}

} // namespace kx::evidence
