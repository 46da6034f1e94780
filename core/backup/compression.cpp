#include "core/backup/compression.h"

#include "core/backup/crypto.h"
#include "core/platform/fs.h"
#include "core/platform/posix_file.h"
#include "core/platform/sha256.h"

#include <zstd.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kx {

namespace {

constexpr int kLevel = 3;
constexpr int kWorkers = 4;

// The sample worthCompressing takes: this many pieces of this size.
constexpr int kSamples = 4;
constexpr size_t kSampleSize = 1u << 20;

} // namespace

bool worthCompressing(const std::filesystem::path& source) {
    UniqueFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in) throw Error("could not read " + source.string() + " (" + fs::errnoText(errno) + ")");
    struct stat st {};
    if (::fstat(in.get(), &st) != 0)
        throw Error("could not read " + source.string() + " (" + fs::errnoText(errno) + ")");
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    std::vector<unsigned char> piece(kSampleSize), out(ZSTD_compressBound(kSampleSize));
    uint64_t taken = 0, shrunk = 0;
    for (int i = 0; i < kSamples; ++i) {
        const uint64_t at = size <= kSampleSize * kSamples ? i * kSampleSize : size / kSamples * i;
        if (at >= size) break;
        const ssize_t got = ::pread(in.get(), piece.data(), piece.size(), static_cast<off_t>(at));
        if (got < 0) throw Error("could not read " + source.string() + " (" + fs::errnoText(errno) + ")");
        const size_t n = ZSTD_compress(out.data(), out.size(), piece.data(), static_cast<size_t>(got), kLevel);
        if (ZSTD_isError(n)) throw Error(std::string("could not compress (") + ZSTD_getErrorName(n) + ")");
        taken += static_cast<uint64_t>(got);
        shrunk += n;
    }
    return taken == 0 || shrunk * 10 <= taken * 9;
}

CompressedFile compressFile(const std::filesystem::path& source, const std::filesystem::path& target) {
    UniqueFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in) throw Error("could not read " + source.string() + " (" + fs::errnoText(errno) + ")");
    UniqueFd out(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!out) throw Error("could not write " + target.string() + " (" + fs::errnoText(errno) + ")");
    std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx*)> cctx(ZSTD_createCCtx(), ZSTD_freeCCtx);
    if (!cctx) throw Error("could not start compressing (out of memory)");
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, kLevel);
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_checksumFlag, 1);
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_nbWorkers, kWorkers); // (one thread where the library has no others)
    std::vector<unsigned char> inBuf(ZSTD_CStreamInSize()), outBuf(ZSTD_CStreamOutSize());
    CompressedFile result;
    Sha256 hash;
    auto write = [&](size_t n) {
        hash.update(outBuf.data(), n);
        result.size += n;
        if (const int err = writeAll(out.get(), outBuf.data(), n))
            throw Error("could not write " + target.string() + " (" + fs::errnoText(err) + ")");
    };
    for (;;) {
        const ssize_t got = ::read(in.get(), inBuf.data(), inBuf.size());
        if (got < 0) {
            if (errno == EINTR) continue;
            throw Error("could not read " + source.string() + " (" + fs::errnoText(errno) + ")");
        }
        const ZSTD_EndDirective mode = got == 0 ? ZSTD_e_end : ZSTD_e_continue;
        ZSTD_inBuffer input{inBuf.data(), static_cast<size_t>(got), 0};
        for (bool done = false; !done;) {
            ZSTD_outBuffer output{outBuf.data(), outBuf.size(), 0};
            const size_t left = ZSTD_compressStream2(cctx.get(), &output, &input, mode);
            if (ZSTD_isError(left)) throw Error(std::string("could not compress (") + ZSTD_getErrorName(left) + ")");
            write(output.pos);
            done = mode == ZSTD_e_end ? left == 0 : input.pos == input.size;
        }
        if (got == 0) break;
    }
    if (const int err = out.close())
        throw Error("could not write " + target.string() + " (" + fs::errnoText(err) + ")");
    result.sha256 = hash.finishHex();
    return result;
}

struct Decompressor::State {
    std::unique_ptr<ZSTD_DCtx, size_t (*)(ZSTD_DCtx*)> dctx{ZSTD_createDCtx(), ZSTD_freeDCtx};
    std::vector<unsigned char> out = std::vector<unsigned char>(ZSTD_DStreamOutSize());
    Sink sink;
    size_t lastHint = 1; // 0 once a frame ended
};

Decompressor::Decompressor(Sink sink) : s_(std::make_unique<State>()) {
    if (!s_->dctx) throw Error("could not start decompressing (out of memory)");
    s_->sink = std::move(sink);
}

Decompressor::~Decompressor() = default;

void Decompressor::feed(const unsigned char* data, size_t n) {
    ZSTD_inBuffer input{data, n, 0};
    while (input.pos < input.size) {
        if (s_->lastHint == 0) throw SealError("the stored object holds more than its compressed content");
        ZSTD_outBuffer output{s_->out.data(), s_->out.size(), 0};
        const size_t hint = ZSTD_decompressStream(s_->dctx.get(), &output, &input);
        if (ZSTD_isError(hint))
            throw SealError(std::string("the stored object does not decompress (") + ZSTD_getErrorName(hint) + ")");
        s_->lastHint = hint;
        if (output.pos) s_->sink(s_->out.data(), output.pos);
    }
    // Output still held inside the decompressor once all input was taken.
    for (;;) {
        ZSTD_inBuffer none{nullptr, 0, 0};
        ZSTD_outBuffer output{s_->out.data(), s_->out.size(), 0};
        const size_t hint = ZSTD_decompressStream(s_->dctx.get(), &output, &none);
        if (ZSTD_isError(hint))
            throw SealError(std::string("the stored object does not decompress (") + ZSTD_getErrorName(hint) + ")");
        if (output.pos == 0) break;
        s_->lastHint = hint;
        s_->sink(s_->out.data(), output.pos);
    }
}

void Decompressor::finish() {
    if (s_->lastHint != 0) throw SealError("the stored object's compressed content is cut off");
}

} // namespace kx
