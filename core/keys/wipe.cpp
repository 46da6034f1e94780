#include "core/keys/wipe.h"

#include <sodium.h>

namespace kx {

void wipeBytes(void* data, std::size_t size) {
    if (data && size > 0) sodium_memzero(data, size);
}

void wipe(std::string& text) {
    wipeBytes(text.data(), text.size());
    text.clear();
}

void wipe(std::vector<unsigned char>& bytes) {
    wipeBytes(bytes.data(), bytes.size());
    bytes.clear();
}

} // namespace kx
