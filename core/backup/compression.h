#pragma once
// Compression of what a backup stores (zstd), before it is sealed.
//
// A backup compresses the database snapshot (text and indexes, which shrink to
// a third or less) into a file of its own and seals that, unless a sample of it
// does not shrink. Its manifest entry
// then carries "encoding": "zstd" with the compressed bytes' size and hash
// beside the plain ones; an entry without "encoding" holds the plain bytes, as
// every object of earlier versions does.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace kx {

inline constexpr const char* kZstdEncoding = "zstd";

struct CompressedFile {
    uint64_t size = 0;
    std::string sha256; // of the compressed bytes (hex)
};

// Compresses `source` into `target` (created 0600), on several threads. Throws kx::Error.
CompressedFile compressFile(const std::filesystem::path& source, const std::filesystem::path& target);

// Whether compressing `source` is likely to shrink it by a tenth or more, told
// by compressing a few pieces spread over it. A file of data that is already
// compressed or random is better stored as it is. Throws kx::Error.
bool worthCompressing(const std::filesystem::path& source);

// Decompresses a stream fed in pieces, handing the plain bytes on. Throws
// SealError for bytes that are not one whole zstd frame.
class Decompressor {
public:
    using Sink = std::function<void(const unsigned char* data, size_t n)>;
    explicit Decompressor(Sink sink);
    ~Decompressor();
    Decompressor(const Decompressor&) = delete;
    Decompressor& operator=(const Decompressor&) = delete;
    void feed(const unsigned char* data, size_t n);
    // Throws SealError when the frame did not end.
    void finish();

private:
    struct State;
    std::unique_ptr<State> s_;
};

} // namespace kx
