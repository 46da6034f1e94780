#pragma once
// The printable recovery phrase of an owner key.
//
// Format (version 1). The 32 key bytes are followed by 3 check bytes, the first
// 3 bytes of BLAKE2b-256 over the label "kelvara recovery v1" and the key. The
// 35 bytes (280 bits) are written as 56 characters of Crockford's base-32
// alphabet (0-9 and A-Z without I, L, O, U), in 14 groups of 4 joined by dashes:
//
//   7K2M-QX9D-...-R4TZ
//
// Reading ignores letter case, dashes, spaces, tabs and line breaks, and reads
// "O" as zero and "I"/"L" as one (the alphabet has no such letters, so this
// cannot change a correct phrase). Anything else, a wrong length, or check bytes
// that do not match refuse the phrase: a mistyped phrase never becomes a wrong
// key (a random error passes with odds of one in 16.7 million). The phrase
// carries the key only, no owner name.
#include "core/keys/symmetric_key.h"
#include "core/keys/wipe.h"

#include <string>

namespace kx {

struct TreskKeyMaterial {
    static constexpr size_t kPhraseCharacters = 56;

    // The phrase of a key. The returned text is a secret; wipe() it after use.
    static std::string recoveryString(const SymmetricKey& key);

    // The key a phrase encodes. Throws kx::Error with a sentence fragment saying
    // what is wrong ("it has 55 characters; a recovery key has 56") and never
    // quoting the phrase.
    static SymmetricKey keyFromRecoveryString(const std::string& phrase);
};

} // namespace kx
