#include "core/evidence/tresk_manifest.h"

#include "core/archive/archive_layout.h"
#include "core/evidence/digest.h"
#include "core/evidence/message_canonical.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"
#include "core/platform/hex.h"
#include "core/platform/sha256.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace kx {

namespace {

constexpr const char* kKind = "kelvara-manifest";
constexpr int kVersion = 1;
constexpr std::size_t kFingerprint = 8;

Sha256Digest genesisOf(const std::string& owner) {
    std::string seed = "kelvara-manifest-v1";
    seed.push_back('\0');
    seed += owner;
    return Sha256::of(seed);
}

// Chains messages: link[i] = SHA-256(link[i-1] || u64be(len) || canonical).
// One digest object serves every link, so the million short inputs of a large
// archive do not each set one up.
class Chain {
public:
    explicit Chain(const Sha256Digest& genesis) : link_(genesis) {}
    const Sha256Digest& add(std::string_view canonical) {
        std::uint8_t len[8];
        const std::uint64_t n = canonical.size();
        for (int i = 0; i < 8; ++i) len[i] = static_cast<std::uint8_t>(n >> (56 - 8 * i));
        hash_.update(link_.data(), link_.size());
        hash_.update(len, sizeof len);
        hash_.update(canonical);
        link_ = hash_.finish();
        return link_;
    }
    const Sha256Digest& link() const { return link_; }

private:
    Sha256 hash_;
    Sha256Digest link_;
};

// Reads the archive on the calling thread and chains on a second one, so the
// database and the hashing work side by side. Messages travel in batches through
// a short queue; `consume` sees every message in order on the second thread.
void pipelined(const TreskManifest::MessageWalk& walk,
               const std::function<void(std::string_view guid, std::string_view canonical)>& consume) {
    struct Batch {
        std::string bytes, guids;
        std::vector<std::pair<std::size_t, std::size_t>> ends; // (bytes end, guids end) per message
        void clear() {
            bytes.clear();
            guids.clear();
            ends.clear();
        }
    };
    constexpr std::size_t kBatchMessages = 4096, kQueued = 4;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::unique_ptr<Batch>> full, spare;
    bool finished = false, stop = false;
    std::exception_ptr consumerError;

    std::thread consumer([&] {
        for (;;) {
            std::unique_ptr<Batch> b;
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [&] { return !full.empty() || finished || stop; });
                if (stop) return;
                if (full.empty()) return; // finished and drained
                b = std::move(full.front());
                full.pop_front();
            }
            changed.notify_all();
            try {
                std::size_t from = 0, guidFrom = 0;
                for (const auto& [end, guidEnd] : b->ends) {
                    consume(std::string_view(b->guids).substr(guidFrom, guidEnd - guidFrom),
                            std::string_view(b->bytes).substr(from, end - from));
                    from = end;
                    guidFrom = guidEnd;
                }
            } catch (...) {
                std::lock_guard<std::mutex> lock(mutex);
                consumerError = std::current_exception();
                stop = true;
                changed.notify_all();
                return;
            }
            b->clear();
            {
                std::lock_guard<std::mutex> lock(mutex);
                spare.push_back(std::move(b));
            }
            changed.notify_all();
        }
    });

    auto current = std::make_unique<Batch>();
    auto hand = [&](bool last) {
        std::unique_lock<std::mutex> lock(mutex);
        if (!current->ends.empty()) {
            changed.wait(lock, [&] { return full.size() < kQueued || stop; });
            full.push_back(std::move(current));
            if (!spare.empty()) {
                current = std::move(spare.front());
                spare.pop_front();
            } else {
                current = std::make_unique<Batch>();
            }
        }
        if (last) finished = true;
        changed.notify_all();
    };
    try {
        walk([&](const std::string& guid, std::string_view canonical) {
            current->bytes.append(canonical);
            current->guids.append(guid);
            current->ends.emplace_back(current->bytes.size(), current->guids.size());
            if (current->ends.size() >= kBatchMessages) hand(false);
            std::lock_guard<std::mutex> lock(mutex);
            return !stop;
        });
        hand(true);
    } catch (...) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stop = true;
        }
        changed.notify_all();
        consumer.join();
        throw;
    }
    consumer.join();
    if (consumerError) std::rethrow_exception(consumerError);
}

std::string_view fingerprintAt(const TreskManifest::File& f, std::int64_t position) {
    const auto interval = static_cast<std::int64_t>(f.checkpointInterval);
    const auto block = static_cast<std::size_t>((position - 1) / interval);
    const auto offset = static_cast<std::size_t>((position - 1) % interval) * kFingerprint;
    return std::string_view(f.checkpoints[block].fingerprints).substr(offset, kFingerprint);
}

// Checks the structure of a manifest; throws kx::Error naming what is wrong.
void validate(const TreskManifest::File& f) {
    if (f.checkpointInterval < 1) throw Error("its checkpoint interval is not a positive number");
    if (f.messageCount < 0) throw Error("its message count is negative");
    if (!evidence::isSha256Hex(f.genesis) || !evidence::isSha256Hex(f.chainHead))
        throw Error("its chain values are not SHA-256 values");
    if (f.genesis != toHex(genesisOf(f.owner))) throw Error("its chain does not start from its owner");
    const std::int64_t interval = f.checkpointInterval;
    const std::int64_t expectedBlocks = (f.messageCount + interval - 1) / interval;
    if (static_cast<std::int64_t>(f.checkpoints.size()) != expectedBlocks)
        throw Error("it has the wrong number of checkpoints");
    std::int64_t previous = 0;
    for (const auto& c : f.checkpoints) {
        const std::int64_t expected = std::min(previous + interval, f.messageCount);
        if (c.position != expected) throw Error("a checkpoint is at the wrong position");
        if (!evidence::isSha256Hex(c.link)) throw Error("a checkpoint's link is not a SHA-256 value");
        if (c.fingerprints.size() != static_cast<std::size_t>(c.position - previous) * kFingerprint)
            throw Error("a checkpoint's fingerprints do not match its messages");
        previous = c.position;
    }
    const std::string head = f.checkpoints.empty() ? f.genesis : f.checkpoints.back().link;
    if (head != f.chainHead) throw Error("its head is not the end of its chain");
}

nlohmann::json toJson(const TreskManifest::File& f) {
    nlohmann::json checkpoints = nlohmann::json::array();
    for (const auto& c : f.checkpoints)
        checkpoints.push_back(
            {{"position", c.position}, {"link", c.link}, {"fingerprints", evidence::base64Encode(c.fingerprints)}});
    return {{"kind", kKind},
            {"version", kVersion},
            {"hash", "sha256"},
            {"owner", f.owner},
            {"generatedAt", formatISO8601(f.generatedAt)},
            {"messageCount", f.messageCount},
            {"checkpointInterval", f.checkpointInterval},
            {"genesis", f.genesis},
            {"chainHead", f.chainHead},
            {"checkpoints", checkpoints}};
}

TreskManifest::File fromJson(const nlohmann::json& j) {
    if (!j.is_object() || j.value("kind", "") != kKind) throw Error("it is not a Kelvara manifest");
    if (j.value("version", 0) != kVersion) throw Error("it was written by a newer version of Kelvara");
    if (j.value("hash", "") != "sha256") throw Error("it uses an unknown hash");
    TreskManifest::File f;
    f.owner = j.at("owner").get<std::string>();
    auto at = parseISO8601(j.at("generatedAt").get<std::string>());
    if (!at) throw Error("its generation time is not a date");
    f.generatedAt = *at;
    f.messageCount = j.at("messageCount").get<std::int64_t>();
    f.checkpointInterval = j.at("checkpointInterval").get<int>();
    f.genesis = j.at("genesis").get<std::string>();
    f.chainHead = j.at("chainHead").get<std::string>();
    for (const auto& c : j.at("checkpoints")) {
        TreskManifest::Checkpoint cp;
        cp.position = c.at("position").get<std::int64_t>();
        cp.link = c.at("link").get<std::string>();
        if (!evidence::base64Decode(c.at("fingerprints").get<std::string>(), cp.fingerprints))
            throw Error("a checkpoint's fingerprints are not base64");
        f.checkpoints.push_back(std::move(cp));
    }
    validate(f);
    return f;
}

// True when `next` covers every message of `previous` with the same chain.
bool extends(const TreskManifest::File& next, const TreskManifest::File& previous) {
    if (next.owner != previous.owner || next.genesis != previous.genesis) return false;
    if (next.messageCount < previous.messageCount) return false;
    for (std::int64_t i = 1; i <= previous.messageCount; ++i)
        if (fingerprintAt(next, i) != fingerprintAt(previous, i)) return false;
    // Full links wherever both have a checkpoint at the same position.
    for (const auto& old : previous.checkpoints) {
        auto it = std::find_if(next.checkpoints.begin(), next.checkpoints.end(),
                               [&](const TreskManifest::Checkpoint& c) { return c.position == old.position; });
        if (it != next.checkpoints.end() && it->link != old.link) return false;
    }
    return true;
}

std::string compactStamp(Date d) {
    // "2026-12-09T04:30:00.123Z" -> "20261209T043000Z"
    std::string iso = formatISO8601(d), out;
    for (char c : iso.substr(0, 19))
        if (c != '-' && c != ':') out.push_back(c);
    return out + "Z";
}

} // namespace

std::string TreskManifest::path(const std::string& destinationRoot, const std::string& owner) {
    return ArchiveLayout(destinationRoot).owner(owner).manifest;
}

std::optional<TreskManifest::File> TreskManifest::read(const std::string& path) {
    auto bytes = fs::readFileIfExists(path);
    if (!bytes) return std::nullopt;
    nlohmann::json j = nlohmann::json::parse(*bytes, nullptr, false);
    if (j.is_discarded()) throw Error("the manifest " + path + " is damaged: it is not valid JSON");
    try {
        return fromJson(j);
    } catch (const nlohmann::json::exception&) {
        throw Error("the manifest " + path + " is damaged: a field is missing or of the wrong kind");
    } catch (const Error& e) {
        throw Error("the manifest " + path + " is damaged: " + e.what());
    }
}

TreskManifest::File TreskManifest::generate(const TreskStore& store, const std::string& owner, Date at,
                                            int checkpointInterval) {
    return generate(archiveWalk(store), owner, at, checkpointInterval);
}

TreskManifest::File TreskManifest::generate(const MessageWalk& walk, const std::string& owner, Date at,
                                            int checkpointInterval) {
    if (checkpointInterval < 1) throw Error("the checkpoint interval must be at least 1");
    File f;
    f.owner = owner;
    f.generatedAt = std::chrono::floor<std::chrono::milliseconds>(at);
    f.checkpointInterval = checkpointInterval;
    const auto genesis = genesisOf(owner);
    f.genesis = toHex(genesis);
    Chain chain(genesis);
    std::string fingerprints;
    fingerprints.reserve(static_cast<std::size_t>(checkpointInterval) * kFingerprint);
    std::int64_t count = 0;
    pipelined(walk, [&](std::string_view, std::string_view canonical) {
        const auto& link = chain.add(canonical);
        fingerprints.append(reinterpret_cast<const char*>(link.data()), kFingerprint);
        if (++count % checkpointInterval == 0) {
            f.checkpoints.push_back({count, toHex(link), std::move(fingerprints)});
            fingerprints.clear();
        }
    });
    if (!fingerprints.empty()) f.checkpoints.push_back({count, toHex(chain.link()), std::move(fingerprints)});
    f.messageCount = count;
    f.chainHead = toHex(chain.link());
    return f;
}

void TreskManifest::write(const File& file, const std::string& path) {
    validate(file);
    const fs::stdfs::path target(path);
    if (target.has_parent_path()) fs::createPrivateDirectories(target.parent_path());

    // Keep an existing manifest that the new one does not extend: it is the
    // evidence of what the archive held before, and only a person may drop it.
    std::string kept;
    if (fs::exists(path)) {
        std::string stamp;
        bool keep = true;
        try {
            if (auto old = read(path)) {
                keep = !extends(file, *old);
                stamp = compactStamp(old->generatedAt);
            }
        } catch (const Error&) {
            stamp = "damaged-" + compactStamp(std::chrono::system_clock::now());
        }
        if (keep) {
            const std::string base = (target.parent_path() / ("tresk.manifest.superseded-" + stamp)).string();
            for (int n = 1; n < 1000 && kept.empty(); ++n) {
                const std::string candidate = base + (n == 1 ? "" : "-" + std::to_string(n)) + ".json";
                if (::link(path.c_str(), candidate.c_str()) == 0) kept = candidate;
                else if (errno != EEXIST)
                    throw Error("the existing manifest could not be kept beside the new one: " + fs::errnoText(errno));
            }
            if (kept.empty()) throw Error("the existing manifest could not be kept beside the new one");
        }
    }
    try {
        fs::writeFileAtomic(path, toJson(file).dump(1) + "\n");
    } catch (...) {
        if (!kept.empty()) ::unlink(kept.c_str()); // the old manifest is still in place
        throw;
    }
}

TreskManifest::VerificationResult TreskManifest::verify(const TreskStore& store, const File& manifest) {
    return verify(archiveWalk(store), manifest);
}

TreskManifest::VerificationResult TreskManifest::verify(const MessageWalk& walk, const File& manifest) {
    validate(manifest);
    VerificationResult r;
    r.manifestCount = manifest.messageCount;
    Chain chain(genesisOf(manifest.owner));
    std::int64_t position = 0;
    std::size_t nextCheckpoint = 0;
    pipelined(walk, [&](std::string_view guid, std::string_view canonical) {
        ++position;
        if (r.firstDifference || position > manifest.messageCount) return; // only counting now
        const auto& link = chain.add(canonical);
        const std::string_view found(reinterpret_cast<const char*>(link.data()), kFingerprint);
        const std::string_view expected = fingerprintAt(manifest, position);
        if (found != expected) {
            r.firstDifference = FirstDifference{position, std::string(guid),
                                                lowerHex(reinterpret_cast<const unsigned char*>(expected.data()),
                                                         kFingerprint),
                                                lowerHex(link.data(), kFingerprint)};
            return;
        }
        const auto& cp = manifest.checkpoints[nextCheckpoint];
        if (cp.position == position) {
            const std::string full = toHex(link);
            if (full != cp.link) r.firstDifference = FirstDifference{position, std::string(guid), cp.link, full};
            ++nextCheckpoint;
        }
    });
    r.archiveCount = position;
    if (r.firstDifference) {
        r.status = static_cast<std::uint8_t>(Status::broken);
        r.unchangedCount = r.firstDifference->position - 1;
        r.note = "Messages 1 to " + std::to_string(r.unchangedCount) + " match the manifest; message " +
                 std::to_string(r.firstDifference->position) + " and what follows do not.";
    } else if (position == manifest.messageCount) {
        r.status = static_cast<std::uint8_t>(Status::intact);
        r.unchangedCount = position;
    } else if (position > manifest.messageCount) {
        r.status = static_cast<std::uint8_t>(Status::grown);
        r.unchangedCount = manifest.messageCount;
        r.note = std::to_string(position - manifest.messageCount) + " messages were archived after the manifest.";
    } else {
        r.status = static_cast<std::uint8_t>(Status::shortened);
        r.unchangedCount = position;
        r.note = std::to_string(manifest.messageCount - position) + " messages at the end are missing.";
    }
    return r;
}

} // namespace kx
