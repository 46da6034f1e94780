#pragma once
// Strict UTF-8 checks: overlong forms, UTF-16 surrogates and values past
// U+10FFFF are not UTF-8.
#include <cstddef>
#include <string_view>

namespace kx {

// Length (1 to 4) of the well-formed UTF-8 sequence that starts at s[i], or 0
// when none does. i must be less than s.size().
std::size_t validUTF8SequenceLength(std::string_view s, std::size_t i);

// True when all the bytes are well-formed UTF-8.
bool isValidUTF8(std::string_view bytes);

} // namespace kx
