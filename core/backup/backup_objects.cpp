#include "core/backup/backup_objects.h"

#include "core/backup/compression.h"
#include "core/platform/fs.h"
#include "core/platform/hex.h"
#include "core/platform/posix_file.h"
#include "core/platform/sha256.h"

#include <sodium.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace kx {

namespace stdfs = std::filesystem;
using nlohmann::json;

namespace {

// Thrown by a sink to stop a download once it has what it needs.
struct EnoughRead {};

} // namespace

std::optional<StreamNonce> nonceFromHex(const std::string& hex) {
    StreamNonce n{};
    size_t len = 0;
    if (sodium_hex2bin(n.data(), n.size(), hex.data(), hex.size(), nullptr, &len, nullptr) != 0 || len != n.size())
        return std::nullopt;
    return n;
}

std::optional<std::string> readHead(BackupDestination& dest, const std::string& name, uint64_t limit) {
    std::string bytes;
    try {
        if (!dest.get(name, [&](const unsigned char* p, size_t n) {
                bytes.append(reinterpret_cast<const char*>(p),
                             static_cast<size_t>(std::min<uint64_t>(n, limit - bytes.size())));
                if (bytes.size() >= limit) throw EnoughRead{};
            }))
            return std::nullopt;
    } catch (const EnoughRead&) {
    }
    return bytes;
}

std::string storedContentSha(const json& entry) {
    return entry.contains("encoding") ? entry.value("encodedSha256", "") : entry.value("sha256", "");
}

std::optional<std::string> openedNonce(const TreskCrypto& crypto, const std::string& name, uint64_t sealedSize,
                                       const std::string& sha, const std::function<bool(const ByteSink&)>& bytes) {
    Sha256 h;
    std::string head;
    std::function<void(const unsigned char*, size_t)> hashPlain;
    if (!sha.empty()) hashPlain = [&](const unsigned char* p, size_t n) { h.update(p, n); };
    try {
        TreskCrypto::Opener opener(crypto, name, sealedSize, hashPlain); // without a hash: opened, not kept
        if (!bytes([&](const unsigned char* p, size_t n) {
                if (head.size() < TreskCrypto::kHeaderSize)
                    head.append(reinterpret_cast<const char*>(p), std::min(n, TreskCrypto::kHeaderSize - head.size()));
                opener.feed(p, n);
            }))
            return std::nullopt;
        opener.finish();
    } catch (const SealError&) {
        return std::nullopt;
    }
    if (!sha.empty() && h.finishHex() != sha) return std::nullopt;
    StreamNonce got = TreskCrypto::nonceOf(head);
    return lowerHex(got.data(), got.size());
}

std::string restoreObject(BackupDestination& dest, const TreskCrypto& crypto, const std::string& name,
                          uint64_t sealedSize, const stdfs::path& target, StreamNonce* nonceOut,
                          const std::function<void()>& otherCopy, bool askSize, bool compressed, std::string* storedSha,
                          const std::function<bool(const ByteSink&)>& source) {
    fs::createPrivateDirectories(target.parent_path());
    UniqueFd fd(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd) throw Error("could not write " + target.string() + " (" + fs::errnoText(errno) + ")");
    Sha256 hash, storedHash;
    std::string head;
    // The manifest gives the size: an object of another size then fails to
    // open. Where another size says more than that (askSize), it is asked for
    // first and otherCopy called on a difference.
    uint64_t size = sealedSize;
    if (!size || askSize) {
        auto info = dest.head(name);
        if (!info) throw MissingObject("the stored object " + name + " is missing at " + dest.label());
        if (sealedSize && info->size != sealedSize) otherCopy();
        size = info->size;
    }
    auto write = [&](const unsigned char* p, size_t n) {
        hash.update(p, n);
        if (const int err = writeAll(fd.get(), p, n))
            throw Error("could not write the restored archive (" + fs::errnoText(err) + ")");
    };
    std::optional<Decompressor> decompressor;
    if (compressed) decompressor.emplace(write);
    TreskCrypto::Opener opener(crypto, name, size, [&](const unsigned char* p, size_t n) {
        if (!decompressor) return write(p, n);
        storedHash.update(p, n);
        decompressor->feed(p, n);
    });
    try {
        const ByteSink feed = [&](const unsigned char* p, size_t n) {
            if (head.size() < TreskCrypto::kHeaderSize)
                head.append(reinterpret_cast<const char*>(p), std::min(n, TreskCrypto::kHeaderSize - head.size()));
            opener.feed(p, n);
        };
        if (!(source ? source(feed) : dest.get(name, feed)))
            throw MissingObject("the stored object " + name + " is missing at " + dest.label());
        opener.finish();
    } catch (const SealError&) {
        // One of another size than recorded is another copy, not damage.
        if (auto info = size == sealedSize && !source ? dest.head(name) : std::nullopt;
            info && info->size != sealedSize)
            otherCopy();
        throw;
    }
    if (decompressor) {
        decompressor->finish();
        if (storedSha) *storedSha = storedHash.finishHex();
    }
    if (::fsync(fd.get()) != 0) throw Error("could not write " + target.string() + " (" + fs::errnoText(errno) + ")");
    if (const int err = fd.close()) throw Error("could not write " + target.string() + " (" + fs::errnoText(err) + ")");
    if (nonceOut) *nonceOut = TreskCrypto::nonceOf(head);
    return hash.finishHex();
}

std::string generationText(uint64_t generation, const std::string& at) {
    return "generation " + std::to_string(generation) + (at.empty() ? "" : ", made " + at);
}

BackupEngine::BackupEngine(TreskCrypto crypto, std::shared_ptr<BackupDestination> destination, std::string prefix,
                           std::optional<stdfs::path> resumeStatePath)
    : BackupEngine(std::move(crypto), std::move(destination), std::move(prefix), std::move(resumeStatePath),
                   Options{}) {}

BackupEngine::BackupEngine(TreskCrypto crypto, std::shared_ptr<BackupDestination> destination, std::string prefix,
                           std::optional<stdfs::path> resumeStatePath, Options options)
    : crypto_(std::move(crypto)), dest_(std::move(destination)), prefix_(std::move(prefix)),
      resumePath_(std::move(resumeStatePath)), options_(std::move(options)) {
    if (!dest_) throw BackupError("no destination was given");
    if (options_.threads <= 0)
        options_.threads = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 2u, 8u));
    checkRemoteName(prefix_, "name prefix");
}

std::string BackupEngine::fullName(const std::string& name) const {
    checkRemoteName(name);
    return prefix_ + "/" + name;
}

void BackupEngine::putSmall(const std::string& name, const std::string& plain, ObjectClass cls) {
    std::string sealed = crypto_.seal(plain, name);
    dest_->put(name, sealed.size(),
               [&](uint64_t off, unsigned char* buf, size_t n) { std::memcpy(buf, sealed.data() + off, n); }, cls,
               {{"kx-sealed-sha256", Sha256::hexOf(sealed)}});
}

std::optional<std::string> BackupEngine::readRaw(const std::string& name) {
    std::string bytes;
    bool found = dest_->get(name, [&](const unsigned char* p, size_t n) {
        if (bytes.size() + n > (256u << 20)) throw BackupError("the stored object " + name + " is unexpectedly large");
        bytes.append(reinterpret_cast<const char*>(p), n);
    });
    if (!found) return std::nullopt;
    return bytes;
}

std::optional<std::string> BackupEngine::readSealed(const std::string& name) {
    auto bytes = readRaw(name);
    if (!bytes) return std::nullopt;
    return crypto_.open(*bytes, name);
}

BackupEngine::ManifestInPlace BackupEngine::manifestInPlace(const std::string& manifestName) {
    // One copy as found: missing, sealed with another key, not opening, or opened.
    struct Found {
        std::optional<std::string> sealed;
        bool foreign = false, opens = false, saysCopy = false;
        uint64_t generation = 0;
        std::string trouble() const { return !sealed ? "missing" : "damaged"; }
    };
    auto look = [&](const std::string& name) {
        Found f;
        f.sealed = readRaw(name);
        if (!f.sealed) return f;
        if (auto id = TreskCrypto::keyIdOf(*f.sealed); id && !crypto_.holdsKey(*id)) {
            f.foreign = true;
            return f;
        }
        try {
            const json m = json::parse(crypto_.open(*f.sealed, manifestName), nullptr, false); // (copies sealed alike)
            f.opens = true;
            if (m.is_object()) {
                f.generation = m.value("generation", uint64_t(0));
                f.saysCopy = m.value("copies", 0) >= 2;
            }
        } catch (const SealError&) {
        }
        return f;
    };
    ManifestInPlace out;
    const Found manifest = look(manifestName), copy = look(manifestName + kManifestCopySuffix);
    if (manifest.foreign || (copy.foreign && !manifest.opens)) {
        out.sealed = manifest.foreign ? manifest.sealed : copy.sealed;
        return out;
    }
    if (manifest.opens && (!copy.opens || copy.generation <= manifest.generation)) {
        out.sealed = manifest.sealed;
        if (copy.opens && *copy.sealed != *manifest.sealed)
            out.copyTrouble = copy.generation < manifest.generation ? "older than the manifest" : "another manifest";
        else if (!copy.opens && (copy.sealed || manifest.saysCopy)) out.copyTrouble = copy.trouble();
        return out;
    }
    if (copy.opens) {
        out.sealed = copy.sealed;
        out.fromCopy = true;
        out.manifestTrouble = manifest.opens ? "older than its second copy" : manifest.trouble();
        return out;
    }
    const Found replaced = look(manifestName + kReplacedManifestSuffix);
    if (replaced.opens || replaced.foreign) {
        out.sealed = replaced.sealed;
        out.fromReplaced = true;
        out.manifestTrouble = manifest.trouble();
        if (copy.sealed || manifest.sealed) out.copyTrouble = copy.trouble();
        return out;
    }
    out.sealed = manifest.sealed ? manifest.sealed : copy.sealed;
    return out;
}

UploadReceipt BackupEngine::roundTrip(const std::string& key, const std::string& payload,
                                      VerificationLevel verification) {
    std::string name = fullName(key);
    std::string sealed = crypto_.seal(payload, name);
    dest_->put(name, sealed.size(),
               [&](uint64_t off, unsigned char* buf, size_t n) { std::memcpy(buf, sealed.data() + off, n); },
               ObjectClass::control, {});
    UploadReceipt r;
    r.bytes = sealed.size();
    if (verification == VerificationLevel::none) return r;
    auto back = readSealed(name);
    if (!back) throw BackupError("the test object was written but could not be found again at " + dest_->label());
    if (*back != payload)
        throw BackupError("the test object read back from " + dest_->label() + " differs from what was written");
    r.verification = UploadReceipt::Verification::verified;
    return r;
}

void BackupEngine::remove(const std::string& key) { dest_->remove(fullName(key)); }

void parallelFor(size_t count, int threads, const std::function<void(size_t)>& fn) {
    if (threads <= 1 || count <= 1) {
        for (size_t i = 0; i < count; ++i) fn(i);
        return;
    }
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr first;
    std::mutex m;
    auto worker = [&] {
        for (;;) {
            if (failed) return;
            size_t i = next++;
            if (i >= count) return;
            try {
                fn(i);
            } catch (...) {
                std::lock_guard<std::mutex> lock(m);
                if (!first) first = std::current_exception();
                failed = true;
                return;
            }
        }
    };
    std::vector<std::thread> pool;
    size_t n = std::min<size_t>(static_cast<size_t>(threads), count);
    for (size_t t = 0; t < n; ++t) pool.emplace_back(worker);
    for (auto& t : pool) t.join();
    if (first) std::rethrow_exception(first);
}

std::optional<std::string> BackupEngine::storedNonce(const std::string& name, uint64_t sealedSize) {
    auto info = dest_->head(name);
    if (!info || info->size != sealedSize) return std::nullopt;
    if (auto m = info->metadata.find("kx-nonce"); m != info->metadata.end())
        return nonceFromHex(m->second) ? std::optional<std::string>(m->second) : std::nullopt;
    if (!dest_->canReadBackData()) return std::nullopt;
    const auto head = readHead(*dest_, name, TreskCrypto::kHeaderSize);
    if (!head || head->size() < TreskCrypto::kHeaderSize) return std::nullopt;
    StreamNonce n = TreskCrypto::nonceOf(*head);
    return lowerHex(n.data(), n.size());
}

bool BackupEngine::fetchSealed(const std::string& name, const std::string& pack, uint64_t offset, uint64_t sealedSize,
                               const ByteSink& sink) {
    return pack.empty() ? dest_->get(name, sink) : dest_->getRange(pack, offset, sealedSize, sink);
}

std::optional<std::string> BackupEngine::checkStored(const std::string& name, uint64_t sealedSize,
                                                     const std::string& sha, const std::string& pack, uint64_t offset) {
    // No separate look at its size: an object of another size fails to open.
    return openedNonce(crypto_, name, sealedSize, sha,
                       [&](const ByteSink& sink) { return fetchSealed(name, pack, offset, sealedSize, sink); });
}

} // namespace kx
