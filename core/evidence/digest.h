#pragma once
// Hex and base64 text for the evidence code (digests themselves: core/platform/sha256.h).
#include <string>
#include <string_view>

namespace kx::evidence {

// Nothing-free: returns false when the text is not even-length lowercase/uppercase hex.
bool fromHex(std::string_view hex, std::string& out);
bool isSha256Hex(std::string_view text);

std::string base64Encode(std::string_view bytes);
// Returns false when the text is not valid base64.
bool base64Decode(std::string_view text, std::string& out);

} // namespace kx::evidence
