#include "core/platform/hex.h"

namespace kx {

std::string lowerHex(const unsigned char* data, std::size_t size) {
    static const char* digits = "0123456789abcdef";
    std::string out(size * 2, '0');
    for (std::size_t i = 0; i < size; ++i) {
        out[2 * i] = digits[data[i] >> 4];
        out[2 * i + 1] = digits[data[i] & 0x0f];
    }
    return out;
}

} // namespace kx
