#pragma once
// Lowercase hexadecimal text of bytes (digests, identifiers).
#include <cstddef>
#include <string>

namespace kx {

std::string lowerHex(const unsigned char* data, std::size_t size);

} // namespace kx
