#pragma once
// Encryption of everything that leaves this machine.
//
// Sealed object format (version 1), all integers little-endian:
//
//   header, 48 bytes
//     0  8  magic "KXSEAL" 0x00 0x01
//     8  8  key id (the SymmetricKey::keyId() bytes), so the keyring finds the key
//    16  4  chunk size C in bytes (1 MiB)
//    20  4  reserved, zero
//    24 16  stream nonce, random for every sealing
//    40  8  plaintext length L
//   chunks: ceil(L / C) of them (one empty chunk when L is 0); chunk i holds C
//   plaintext bytes (the last one the rest) sealed with XChaCha20-Poly1305:
//     nonce = stream nonce (16) || i as 8 bytes
//     additional data = the 48 header bytes || i (8 bytes) || final flag (1 byte,
//                       1 on the last chunk) || the object's name
//     output = ciphertext || 16-byte tag
//
// The chunk index and final flag are authenticated, so reordered, dropped,
// duplicated or cut-off chunks fail; the header is authenticated by every chunk;
// the name binds an object to where it is stored, so an object copied over
// another name does not open. Nonces never repeat: every sealing draws a fresh
// 128-bit stream nonce, and a resumed upload re-seals the same plaintext with the
// nonce it started with (the resume state is keyed by the plaintext's
// fingerprint), which reproduces the same bytes rather than new ones.
#include "core/keys/owner_keys.h"
#include "core/keys/symmetric_key.h"
#include "core/platform/error.h"
#include "core/platform/posix_file.h"
#include "core/platform/sha256.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kx {

// An object that does not open: damaged, cut off, sealed under another name or
// with a key this machine does not hold.
class SealError : public Error {
public:
    using Error::Error;
};

using StreamNonce = std::array<unsigned char, 16>;

class ChunkCipher; // crypto.cpp

class TreskCrypto {
public:
    static constexpr size_t kHeaderSize = 48;
    static constexpr size_t kTagSize = 16;
    static constexpr uint32_t kChunkSize = 1u << 20;

    TreskCrypto(SymmetricKey masterKey, std::vector<SymmetricKey> legacyKeys = {});
    explicit TreskCrypto(const OwnerKeyring& ring);

    // The id of the key that seals.
    std::string keyId() const { return master_.keyId(); }

    static uint64_t sealedSize(uint64_t plainSize);

    // A keyed, one-way name for a text (64 hex digits): stored object names are
    // derived from it so the destination learns nothing from them.
    std::string nameTag(std::string_view text) const;
    static StreamNonce freshNonce();

    // Whole-buffer sealing and opening (small objects: manifests, tests).
    std::string seal(std::string_view plain, const std::string& name) const;
    std::string open(std::string_view sealed, const std::string& name) const;

    // Opens a sealed stream read through `read` (which fills exactly the asked
    // number of bytes or throws) of total size `sealedBytes`, handing each opened
    // chunk to `sink`. Nothing reaches the sink from a chunk that does not
    // authenticate; the caller discards what it received when this throws.
    void openStream(const std::function<void(unsigned char*, size_t)>& read, uint64_t sealedBytes,
                    const std::string& name, const std::function<void(const unsigned char*, size_t)>& sink) const;

    // Push-style opening: bytes of a sealed object are fed as they arrive (from a
    // download, say) and opened chunk by chunk as they come. finish() throws when
    // the object ended early. Without a sink the object is only checked: every
    // chunk must authenticate, and no plaintext is kept.
    class Opener {
    public:
        Opener(const TreskCrypto& crypto, std::string name, uint64_t sealedBytes,
               std::function<void(const unsigned char*, size_t)> sink);
        ~Opener();
        void feed(const unsigned char* data, size_t n);
        void finish();

    private:
        void startChunk();
        const TreskCrypto& crypto_;
        std::string name_;
        uint64_t sealedBytes_;
        std::function<void(const unsigned char*, size_t)> sink_;
        std::vector<unsigned char> header_;
        const SymmetricKey* key_ = nullptr;
        std::unique_ptr<ChunkCipher> cipher_;
        uint32_t chunk_ = 0;
        uint64_t plainSize_ = 0, chunks_ = 0, index_ = 0, remaining_ = 0, fed_ = 0;
        size_t within_ = 0; // bytes of the current chunk (ciphertext, then tag) received
        std::array<unsigned char, kTagSize> tag_{};
        std::vector<unsigned char> plain_; // the current chunk's plaintext, or a small scratch without a sink
    };

    // Reads the stream nonce out of a sealed header (for resume bookkeeping).
    static StreamNonce nonceOf(std::string_view header);
    // The id (16 hex digits) of the key a sealed object names in its header, or
    // nothing when the bytes do not start like a sealed object.
    static std::optional<std::string> keyIdOf(std::string_view header);
    // Whether this keyring holds the key with that id (the sealing key or an older one).
    bool holdsKey(const std::string& keyIdHex) const;

    // A random-access, sealed view of a plaintext file: bytes [offset, offset+n)
    // of the sealed object are produced on demand, so any part of a multipart
    // upload can be made again without the earlier ones. Reads that go on where
    // the last one ended (or start at a chunk) are sealed in place in the
    // caller's buffer, a cache-sized piece at a time; others seal the whole
    // chunk they fall in aside and copy from it.
    class SealingReader {
    public:
        // With hashPlain, the plaintext's SHA-256 is computed on the way.
        SealingReader(const TreskCrypto& crypto, const std::filesystem::path& plainFile, std::string name,
                      StreamNonce nonce, bool hashPlain = false);
        ~SealingReader();
        uint64_t size() const { return sealedSize_; }
        uint64_t plainSize() const { return plainSize_; }
        // Fills buf with n sealed bytes starting at offset; throws kx::Error.
        void read(uint64_t offset, unsigned char* buf, size_t n);
        // The SHA-256 of the plaintext that was sealed, when every byte of the
        // file was read exactly once, in order (a whole upload); empty otherwise
        // (a resumed upload skipped some, a retry read some again).
        std::string plainSha256();

    private:
        void sealChunk(uint64_t index);
        void readPlain(unsigned char* buf, size_t n, uint64_t offset);
        void beginChunk(ChunkCipher& cipher, uint64_t index) const;
        const TreskCrypto& crypto_;
        std::string name_;
        UniqueFd fd_;
        uint64_t plainSize_ = 0;
        uint64_t sealedSize_ = 0;
        uint64_t chunks_ = 0;
        std::array<unsigned char, kHeaderSize> header_{};
        std::vector<unsigned char> plain_; // allocated when a whole chunk is sealed aside
        std::vector<unsigned char> sealed_;
        uint64_t cachedChunk_ = UINT64_MAX;
        std::unique_ptr<ChunkCipher> cipher_;
        uint64_t streamChunk_ = UINT64_MAX; // the chunk being sealed in place
        uint64_t streamAt_ = 0;             // bytes of it (ciphertext, then tag) produced
        bool tagReady_ = false;
        std::array<unsigned char, kTagSize> tag_{};
        uint64_t hashedUpTo_ = 0;
        std::optional<Sha256> hash_;
    };

private:
    std::array<unsigned char, kHeaderSize> makeHeader(uint64_t plainSize, const StreamNonce& nonce) const;
    const SymmetricKey& keyFor(std::string_view header, const std::string& name) const;
    SymmetricKey master_;
    std::vector<SymmetricKey> legacy_;
};

} // namespace kx
