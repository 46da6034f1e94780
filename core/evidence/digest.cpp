#include "core/evidence/digest.h"

#include <openssl/evp.h>

namespace kx::evidence {

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
