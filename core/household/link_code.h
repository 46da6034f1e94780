#pragma once
// The link code: one line of text that carries everything another machine needs
// to archive into a household's shared storage: where the storage is, its access
// keys and the owner's recovery phrase. It is a secret like a password.
//
// Format, version 1:
//
//   KTRESK1-<body>
//
// "KTRESK" names the format, the digit after it is the version. <body> is the
// payload bytes followed by 4 check bytes, written in Crockford's base-32
// alphabet (0-9 and A-Z without I, L, O, U; 5 bits per character, most
// significant bit first; the unused bits of the last character are zero).
//
// Payload bytes:
//   1 byte   version (1)
//   2 bytes  length of the whole payload in bytes, big-endian (this header included)
//   then the eight values in this order: destination kind, bucket, region,
//   endpoint, access key id, secret key, recovery phrase, owner hint; each as
//   2 bytes big-endian length followed by that many UTF-8 bytes, or the length
//   0xFFFF and no bytes for a value that is absent.
// Check bytes: CRC-32 (IEEE 802.3, as zlib computes it) of the payload bytes,
// big-endian.
//
// Reading ignores white space and line breaks anywhere, ignores letter case, and
// reads "O" as zero and "I"/"L" as one. A code is refused with a sentence when
// the prefix is missing or has another version, a character is outside the
// alphabet, the body is shorter than its recorded length (a code cut short by a
// chat app), longer than it, or its check bytes do not match. CRC-32 catches
// every error confined to 32 consecutive bits, so every single wrong character
// (5 bits) and every swap of two neighbouring characters (10 bits) is refused,
// not merely unlikely to pass. Texts that are not UTF-8 or hold control
// characters are refused as damaged.
//
// No error sentence ever quotes the code or any part of it.
#include "core/platform/error.h"

#include <optional>
#include <string>

namespace kx {

class LinkCode {
public:
    static constexpr const char* kPrefix = "KTRESK1-";
    static constexpr int kVersion = 1;
    // Longest code read (characters after white space is removed); longer pastes
    // are refused before any decoding.
    static constexpr size_t kMaxCodeCharacters = 32768;
    // Longest single value, in bytes.
    static constexpr size_t kMaxValueBytes = 2048;

    class LinkError : public Error {
    public:
        using Error::Error;
        // The whole sentence shown to the user.
        std::string errorDescription() const { return what(); }
    };

    struct Payload {
        std::string destinationKind; // a destination kind's stored name, e.g. "cloudflareR2"
        std::optional<std::string> bucket;
        std::optional<std::string> region;
        std::optional<std::string> endpoint;
        std::optional<std::string> accessKeyID;
        std::optional<std::string> secretKey;
        std::string recoveryPhrase;
        std::string ownerHint; // whose archive the code was made for
        bool operator==(const Payload&) const = default;
        // Overwrites the secret values before they are released.
        void wipe();
    };

    // The code for these values. Throws LinkError when a value is longer than
    // kMaxValueBytes, is not UTF-8 or holds a control character.
    static std::string encode(const std::string& destinationKind, const std::optional<std::string>& bucket,
                              const std::optional<std::string>& region, const std::optional<std::string>& endpoint,
                              const std::optional<std::string>& accessKeyID,
                              const std::optional<std::string>& secretKey, const std::string& recoveryPhrase,
                              const std::string& ownerHint);
    static std::string encode(const Payload& payload);

    // The values a code carries. Throws LinkError with a whole sentence.
    static Payload decode(const std::string& text);
};

} // namespace kx
