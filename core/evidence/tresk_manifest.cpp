#include "core/evidence/tresk_manifest.h"

#include "core/archive/archive_layout.h"
#include "core/archive/archive_records.h"
#include "core/archive/tresk_store.h"
#include "core/evidence/attachment_bytes.h"
#include "core/evidence/digest.h"
#include "core/evidence/message_canonical.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"
#include "core/platform/hex.h"
#include "core/platform/sha256.h"

#include <SQLiteCpp/SQLiteCpp.h>
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
constexpr std::size_t kFingerprint = 8;

Sha256Digest genesisOf(const std::string& owner, int version) {
    std::string seed = version == 1 ? "kelvara-manifest-v1" : "kelvara-manifest-v2";
    seed.push_back('\0');
    seed += owner;
    return Sha256::of(seed);
}

bool isMessageRecord(std::string_view bytes) {
    return bytes.size() > 4 && bytes[4] == records::kMessage && bytes.substr(0, 4) == "KXR1";
}

// "record 1 matches the manifest" / "records 1 to 4 match the manifest".
std::string matchClause(std::int64_t n) {
    if (n == 1) return "record 1 matches the manifest";
    return "records 1 to " + std::to_string(n) + " match the manifest";
}

std::string count(std::int64_t n, const char* singular, const char* plural) {
    return std::to_string(n) + " " + (n == 1 ? singular : plural);
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
using Feed = std::function<bool(std::int64_t seq, std::string_view guid, std::string_view bytes)>;
using Source = std::function<void(const Feed&)>;

void pipelined(const Source& walk,
               const std::function<void(std::int64_t seq, std::string_view guid, std::string_view bytes)>& consume) {
    struct Batch {
        std::string bytes, guids;
        std::vector<std::pair<std::size_t, std::size_t>> ends; // (bytes end, guids end) per item
        std::vector<std::int64_t> seqs;
        void clear() {
            bytes.clear();
            guids.clear();
            ends.clear();
            seqs.clear();
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
                std::size_t from = 0, guidFrom = 0, n = 0;
                for (const auto& [end, guidEnd] : b->ends) {
                    consume(b->seqs[n++], std::string_view(b->guids).substr(guidFrom, guidEnd - guidFrom),
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
        walk([&](std::int64_t seq, std::string_view guid, std::string_view canonical) {
            current->bytes.append(canonical);
            current->guids.append(guid);
            current->ends.emplace_back(current->bytes.size(), current->guids.size());
            current->seqs.push_back(seq);
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
    if (f.version != 1 && f.version != 2) throw Error("it was written by a newer version of Kelvara");
    if (f.messageCount < 0 || f.recordCount < 0) throw Error("its counts are negative");
    if (f.messageCount > f.recordCount) throw Error("it counts more messages than records");
    if (!evidence::isSha256Hex(f.genesis) || !evidence::isSha256Hex(f.chainHead))
        throw Error("its chain values are not SHA-256 values");
    if (f.genesis != toHex(genesisOf(f.owner, f.version))) throw Error("its chain does not start from its owner");
    const std::int64_t interval = f.checkpointInterval;
    const std::int64_t expectedBlocks = (f.recordCount + interval - 1) / interval;
    if (static_cast<std::int64_t>(f.checkpoints.size()) != expectedBlocks)
        throw Error("it has the wrong number of checkpoints");
    std::int64_t previous = 0;
    for (const auto& c : f.checkpoints) {
        const std::int64_t expected = std::min(previous + interval, f.recordCount);
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
    nlohmann::json j = {{"kind", kKind},
                        {"version", f.version},
                        {"hash", "sha256"},
                        {"owner", f.owner},
                        {"generatedAt", formatISO8601(f.generatedAt)},
                        {"messageCount", f.messageCount},
                        {"checkpointInterval", f.checkpointInterval},
                        {"genesis", f.genesis},
                        {"chainHead", f.chainHead},
                        {"checkpoints", checkpoints}};
    if (f.version >= 2) j["recordCount"] = f.recordCount;
    return j;
}

TreskManifest::File fromJson(const nlohmann::json& j) {
    if (!j.is_object() || j.value("kind", "") != kKind) throw Error("it is not a Kelvara manifest");
    const int version = j.value("version", 0);
    if (version != 1 && version != 2) throw Error("it was written by a newer version of Kelvara");
    if (j.value("hash", "") != "sha256") throw Error("it uses an unknown hash");
    TreskManifest::File f;
    f.version = version;
    f.owner = j.at("owner").get<std::string>();
    auto at = parseISO8601(j.at("generatedAt").get<std::string>());
    if (!at) throw Error("its generation time is not a date");
    f.generatedAt = *at;
    f.messageCount = j.at("messageCount").get<std::int64_t>();
    f.recordCount = version == 1 ? f.messageCount : j.at("recordCount").get<std::int64_t>();
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
    if (next.recordCount < previous.recordCount) return false;
    for (std::int64_t i = 1; i <= previous.recordCount; ++i)
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

namespace {

// Read-only connections that all see one state of the archive, each holding a
// read transaction: every read of a generation or a check sees that state,
// whatever a run writes meanwhile. The transactions are begun while a witness
// connection sees no commit (its PRAGMA data_version unchanged around them); a
// busy writer that keeps committing leaves a single connection.
class Snapshots {
public:
    Snapshots(const std::string& path, int count) {
        if (!fs::isRegularFile(path)) throw Error("there is no archive at " + path);
        try {
            auto open = [&] {
                auto db = std::make_unique<SQLite::Database>(path, SQLite::OPEN_READONLY | SQLite::OPEN_NOMUTEX);
                db->setBusyTimeout(5000);
                db->exec("PRAGMA query_only = ON");
                db->exec("PRAGMA mmap_size = " + std::to_string(TreskStore::kWalkMapBytes / (std::max(1, count) + 1)));
                return db;
            };
            for (int i = 0; i < std::max(1, count); ++i) dbs_.push_back(open());
            auto witness = open();
            auto version = [&] { return witness->execAndGet("PRAGMA data_version").getInt64(); };
            for (int attempt = 0;; ++attempt) {
                const auto before = version();
                for (auto& db : dbs_) begin(*db);
                if (version() == before) break;
                for (auto& db : dbs_) db->exec("ROLLBACK");
                if (attempt == 4) {
                    dbs_.resize(1);
                    begin(*dbs_[0]);
                    break;
                }
            }
        } catch (const SQLite::Exception& e) {
            throw Error("the archive " + path + " could not be read: " + e.what());
        }
    }
    ~Snapshots() {
        for (auto& db : dbs_) try {
                db->exec("ROLLBACK");
            } catch (...) {
            }
    }
    std::size_t size() const { return dbs_.size(); }
    SQLite::Database& db(std::size_t i = 0) { return *dbs_[i]; }

private:
    static void begin(SQLite::Database& db) {
        db.exec("BEGIN");
        (void)db.execAndGet("SELECT count(*) FROM meta").getInt(); // the read transaction starts here
    }
    std::vector<std::unique_ptr<SQLite::Database>> dbs_;
};

// How many connections a check of the tables uses beside the chain's: every
// core but the two the chain keeps busy (reading and hashing), up to six. The
// check reads about four times what the chain hashes.
int checkConnections() {
    const unsigned cores = std::thread::hardware_concurrency();
    return static_cast<int>(std::clamp(cores > 2 ? cores - 2 : 1u, 1u, 6u));
}

// The chain over the records (on the first connection, hashing on a thread of
// its own) while the tables are checked on the others, side by side.
template <typename Chain>
auto chainAndCheck(Snapshots& snap, Chain&& chain) {
    std::vector<std::optional<records::TableDifference>> found;
    std::vector<std::exception_ptr> errors;
    std::vector<std::thread> threads;
    std::vector<records::CheckPart> parts;
    const bool apart = snap.size() > 1;
    parts = records::splitCheck(snap.db(apart ? 1 : 0), apart ? static_cast<int>(snap.size() - 1) : 1);
    found.resize(parts.size());
    errors.resize(parts.size());
    if (apart)
        for (std::size_t i = 0; i < parts.size(); ++i)
            threads.emplace_back([&, i] {
                try {
                    found[i] = records::checkTables(snap.db(i + 1), parts[i]);
                } catch (...) {
                    errors[i] = std::current_exception();
                }
            });
    std::exception_ptr chainError;
    decltype(chain(snap.db())) chained{};
    try {
        chained = chain(snap.db());
    } catch (...) {
        chainError = std::current_exception();
    }
    for (auto& t : threads) t.join();
    if (chainError) std::rethrow_exception(chainError);
    if (!apart) found[0] = records::checkTables(snap.db(), parts[0]);
    for (auto& e : errors)
        if (e) std::rethrow_exception(e);
    return std::make_pair(std::move(chained), records::firstOf(std::move(found)));
}

Source recordSource(SQLite::Database& db) {
    return [&db](const Feed& feed) {
        records::walk(db, [&](std::int64_t seq, std::string_view bytes) { return feed(seq, {}, bytes); });
    };
}

Source chainSource(const TreskManifest::RecordWalk& walk) {
    return [walk](const Feed& feed) {
        walk([&](std::int64_t seq, std::string_view bytes) { return feed(seq, {}, bytes); });
    };
}

TreskManifest::File chainOver(const Source& source, const std::string& owner, Date at, int checkpointInterval,
                              int version) {
    if (checkpointInterval < 1) throw Error("the checkpoint interval must be at least 1");
    TreskManifest::File f;
    f.version = version;
    f.owner = owner;
    f.generatedAt = std::chrono::floor<std::chrono::milliseconds>(at);
    f.checkpointInterval = checkpointInterval;
    const auto genesis = genesisOf(owner, version);
    f.genesis = toHex(genesis);
    Chain chain(genesis);
    std::string fingerprints;
    fingerprints.reserve(static_cast<std::size_t>(checkpointInterval) * kFingerprint);
    std::int64_t count = 0, messages = 0;
    pipelined(source, [&](std::int64_t, std::string_view, std::string_view bytes) {
        const auto& link = chain.add(bytes);
        if (version == 1 || isMessageRecord(bytes)) ++messages;
        fingerprints.append(reinterpret_cast<const char*>(link.data()), kFingerprint);
        if (++count % checkpointInterval == 0) {
            f.checkpoints.push_back({count, toHex(link), std::move(fingerprints)});
            fingerprints.clear();
        }
    });
    if (!fingerprints.empty()) f.checkpoints.push_back({count, toHex(chain.link()), std::move(fingerprints)});
    f.recordCount = count;
    f.messageCount = messages;
    f.chainHead = toHex(chain.link());
    return f;
}

} // namespace

TreskManifest::File TreskManifest::generate(const TreskStore& store, const std::string& owner, Date at,
                                            int checkpointInterval) {
    if (checkpointInterval < 1) throw Error("the checkpoint interval must be at least 1");
    Snapshots snap(store.path(), 1 + checkConnections());
    auto [f, d] = chainAndCheck(snap, [&](SQLite::Database& db) {
        return chainOver(recordSource(db), owner, at, checkpointInterval, kVersion);
    });
    if (d)
        throw Error("the archive no longer shows what it archived (" + d->what +
                    "), so it was changed outside Kelvara and no manifest was made; an earlier manifest is kept");
    return f;
}

TreskManifest::File TreskManifest::generate(const RecordWalk& walk, const std::string& owner, Date at,
                                            int checkpointInterval) {
    return chainOver(chainSource(walk), owner, at, checkpointInterval, kVersion);
}

namespace {

void writeManifest(const TreskManifest::File& file, const std::string& path, bool keepPrevious) {
    validate(file);
    const fs::stdfs::path target(path);
    if (target.has_parent_path()) fs::createPrivateDirectories(target.parent_path());

    // Keep an existing manifest that the new one does not extend (any existing
    // one when asked): it is the evidence of what the archive held before, and
    // only a person may drop it.
    std::string kept;
    if (fs::exists(path)) {
        std::string stamp;
        bool keep = true;
        try {
            if (auto old = TreskManifest::read(path)) {
                keep = keepPrevious || !extends(file, *old);
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

} // namespace

void TreskManifest::write(const File& file, const std::string& path) { writeManifest(file, path, false); }

void TreskManifest::writeKeepingPrevious(const File& file, const std::string& path) { writeManifest(file, path, true); }

namespace {

struct ChainOutcome {
    std::int64_t records = 0;  // records walked
    std::int64_t messages = 0; // messages among them
    std::optional<TreskManifest::FirstDifference> difference;
    bool missing = false;            // the record at the difference is not in the archive
    std::string described;           // what the differing record is, in words
    std::int64_t messagesBefore = 0; // messages before the difference
    // Gaps in the record numbering (first and last missing number), the first
    // few of them, and how many there are.
    std::vector<std::pair<std::int64_t, std::int64_t>> gaps;
    std::int64_t gapCount = 0;
    std::int64_t lastSeq = 0;
    // A record whose link matched the checkpoint after it but not its own
    // fingerprint: the manifest, not the archive, is damaged there.
    std::optional<std::pair<std::int64_t, std::int64_t>> damagedFingerprint; // (record, checkpoint)
};

// What the difference at a record names: "conversation", "attachment" or "message".
std::string subjectOf(std::string_view bytes) {
    if (bytes.size() <= 4) return "message";
    switch (bytes[4]) {
    case records::kConversation: return "conversation";
    case records::kAttachment:
    case records::kObject: return "attachment";
    default: return "message";
    }
}

constexpr std::size_t kGapsNamed = 5;

// "Record 14 is missing from the numbering" / "Records 14, 20 to 22 and 3 more
// gaps are missing from the numbering".
std::string gapSentence(const ChainOutcome& o) {
    std::string list;
    std::int64_t numbers = 0;
    for (std::size_t i = 0; i < o.gaps.size(); ++i) {
        const auto& [from, to] = o.gaps[i];
        numbers += to - from + 1;
        if (i > 0)
            list += i + 1 == o.gaps.size() && o.gapCount == static_cast<std::int64_t>(o.gaps.size()) ? " and " : ", ";
        list += from == to ? std::to_string(from) : std::to_string(from) + " to " + std::to_string(to);
    }
    const auto more = o.gapCount - static_cast<std::int64_t>(o.gaps.size());
    if (more > 0) list += " and " + count(more, "more gap", "more gaps");
    const bool one = numbers == 1 && more == 0;
    return std::string(one ? "Record " : "Records ") + list + (one ? " is" : " are") +
           " missing from the archive's numbering, so records were removed from it";
}

std::string fingerprintHex(const TreskManifest::File& m, std::int64_t position) {
    if (position < 1 || position > m.recordCount) return "";
    const auto fp = fingerprintAt(m, position);
    return lowerHex(reinterpret_cast<const unsigned char*>(fp.data()), kFingerprint);
}

ChainOutcome walkChain(const Source& source, const TreskManifest::File& manifest) {
    ChainOutcome o;
    Chain chain(genesisOf(manifest.owner, manifest.version));
    std::size_t nextCheckpoint = 0;
    const bool records = manifest.version >= 2;
    struct Suspect {
        TreskManifest::FirstDifference difference;
        std::string described;
        std::int64_t messagesBefore = 0;
    };
    std::optional<Suspect> suspect;
    const auto commitSuspect = [&] {
        o.difference = std::move(suspect->difference);
        o.described = std::move(suspect->described);
        o.messagesBefore = suspect->messagesBefore;
        suspect.reset();
    };
    pipelined(source, [&](std::int64_t seq, std::string_view guid, std::string_view bytes) {
        const std::int64_t position = ++o.records;
        const bool message = !records || isMessageRecord(bytes);
        if (message) ++o.messages;
        if (records) {
            if (seq != o.lastSeq + 1) {
                if (o.gaps.size() < kGapsNamed) o.gaps.emplace_back(o.lastSeq + 1, seq - 1);
                ++o.gapCount;
            }
            o.lastSeq = seq;
        }
        if (o.difference || position > manifest.recordCount) return; // only counting now
        auto differs = [&](std::string expected, std::string found) {
            o.difference = TreskManifest::FirstDifference{position,
                                                          records ? records::subjectGuid(bytes) : std::string(guid),
                                                          std::move(expected), std::move(found),
                                                          records ? subjectOf(bytes) : "message"};
            o.described = records ? records::describe(bytes) : "message " + std::string(guid);
            o.messagesBefore = o.messages - (message ? 1 : 0);
        };
        if (records && seq > position) {
            if (suspect) return commitSuspect();
            // The record at this position is gone: the archive skips from the one
            // before it to a later one, so nothing here tells what it was.
            o.difference = TreskManifest::FirstDifference{position, "", fingerprintHex(manifest, position),
                                                          "not in the archive"};
            o.missing = true;
            o.messagesBefore = o.messages - (message ? 1 : 0);
            return;
        }
        const auto& link = chain.add(bytes);
        const std::string_view found(reinterpret_cast<const char*>(link.data()), kFingerprint);
        if (!suspect && found != fingerprintAt(manifest, position)) {
            // Either this record or the manifest's fingerprint of it changed; the
            // full link at the block's checkpoint tells which.
            differs(fingerprintHex(manifest, position), lowerHex(link.data(), kFingerprint));
            suspect = Suspect{std::move(*o.difference), std::move(o.described), o.messagesBefore};
            o.difference.reset();
        }
        const auto& cp = manifest.checkpoints[nextCheckpoint];
        if (cp.position == position) {
            const std::string full = toHex(link);
            if (full == cp.link) {
                if (suspect) o.damagedFingerprint.emplace(suspect->difference.position, position);
                suspect.reset();
            } else if (suspect) {
                commitSuspect();
            } else {
                differs(cp.link, full);
            }
            ++nextCheckpoint;
        }
    });
    if (suspect) commitSuspect(); // the archive ended before the checkpoint
    return o;
}

// What the guid of a difference in the tables names (attachments are named by
// their message).
std::string tableSubject(const records::TableDifference& d) {
    const bool conversation = !d.guid.empty() && d.what.find("conversation " + d.guid) != std::string::npos;
    return conversation ? "conversation" : "message";
}

std::string subjectText(const std::string& described, const TreskManifest::FirstDifference& d) {
    if (!described.empty()) return " (" + described + ")";
    if (!d.guid.empty()) return " (of " + d.subject + " " + d.guid + ")";
    return "";
}

TreskManifest::VerificationResult judge(const TreskManifest::File& manifest, ChainOutcome o,
                                        const std::optional<records::TableDifference>& table,
                                        const std::function<std::int64_t(std::int64_t)>& messagesBefore) {
    using Status = TreskManifest::Status;
    TreskManifest::VerificationResult r;
    r.manifestCount = manifest.messageCount;
    r.archiveCount = o.messages;
    if (o.damagedFingerprint && !o.difference)
        throw Error("the manifest is damaged: the fingerprint it holds for record " +
                    std::to_string(o.damagedFingerprint->first) +
                    " is not that record's, although the archive's records give exactly the link it holds at record " +
                    std::to_string(o.damagedFingerprint->second) +
                    "; generate a new manifest (the damaged one is kept beside it)");
    const std::int64_t chainAt = o.difference ? o.difference->position : 0;
    const std::int64_t tableAt = table ? (table->position > 0 ? table->position : o.records + 1) : 0;
    if (o.difference && (!table || chainAt <= tableAt)) {
        if (o.missing && table && table->position == 0) {
            // What the tables still show and no record holds is what the missing record held.
            o.difference->guid = table->guid;
            o.difference->subject = tableSubject(*table);
            o.described = table->what;
        }
        r.status = static_cast<std::uint8_t>(Status::broken);
        r.unchangedCount = o.messagesBefore;
        const std::string what = "ecord " + std::to_string(chainAt) + subjectText(o.described, *o.difference);
        if (o.missing)
            r.note = "R" + what + " is missing from the archive" +
                     (chainAt > 1 ? "; " + matchClause(chainAt - 1) : "") + ".";
        else if (chainAt > 1) r.note = "R" + matchClause(chainAt - 1).substr(1) + "; r" + what + " does not.";
        else r.note = "R" + what + " does not match the manifest.";
        if (o.gapCount > 1 || (o.gapCount == 1 && !o.missing)) *r.note += " " + gapSentence(o) + ".";
        r.firstDifference = std::move(o.difference);
        return r;
    }
    if (table) {
        r.status = static_cast<std::uint8_t>(Status::broken);
        r.unchangedCount = messagesBefore(tableAt);
        r.firstDifference = TreskManifest::FirstDifference{tableAt, table->guid, fingerprintHex(manifest, tableAt),
                                                           "not what the archive shows", tableSubject(*table)};
        std::string what = table->what;
        if (!what.empty()) what[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(what[0])));
        r.note = table->position > 0 ? what + "; record " + std::to_string(tableAt) + " holds what was archived."
                                     : what + ".";
        if (o.gapCount > 0) *r.note += " " + gapSentence(o) + ".";
        return r;
    }
    if (o.gapCount > 0) {
        // Every record the manifest covers is there, but later ones were removed.
        const std::int64_t at = o.gaps.front().first;
        r.status = static_cast<std::uint8_t>(Status::broken);
        r.unchangedCount = messagesBefore(at);
        r.firstDifference = TreskManifest::FirstDifference{at, "", fingerprintHex(manifest, at), "not in the archive"};
        const std::int64_t matching = std::min(manifest.recordCount, at - 1);
        r.note = gapSentence(o) + (matching > 0 ? "; " + matchClause(matching) : "") + ".";
        return r;
    }
    if (o.records == manifest.recordCount) {
        r.status = static_cast<std::uint8_t>(Status::intact);
        r.unchangedCount = o.messages;
    } else if (o.records > manifest.recordCount) {
        r.status = static_cast<std::uint8_t>(Status::grown);
        r.unchangedCount = manifest.messageCount;
        const std::int64_t more = o.messages - manifest.messageCount;
        r.note = more > 0 ? count(more, "message was", "messages were") + " archived after the manifest."
                          : "Only details of messages already sealed (" +
                                count(o.records - manifest.recordCount, "record", "records") +
                                ": sources, versions, filled-in fields or attachment bytes) were archived after the "
                                "manifest.";
    } else {
        r.status = static_cast<std::uint8_t>(Status::shortened);
        r.unchangedCount = o.messages;
        r.note = "The archive ends early: " + count(manifest.recordCount - o.records, "record", "records") +
                 " at the end that the manifest covers " + (manifest.recordCount - o.records == 1 ? "is" : "are") +
                 " missing; everything still present matches.";
    }
    return r;
}

} // namespace

TreskManifest::VerificationResult TreskManifest::verify(const TreskStore& store, const File& manifest,
                                                        AttachmentBytes attachmentBytes) {
    validate(manifest);
    if (manifest.version == 1) {
        // Made before the records table: checked with the form it was made with.
        const auto walk = archiveWalk(store);
        auto r = judge(manifest,
                       walkChain(
                           [&](const Feed& feed) {
                               walk([&](const std::string& guid, std::string_view bytes) {
                                   return feed(0, guid, bytes);
                               });
                           },
                           manifest),
                       std::nullopt, [](std::int64_t) { return 0; });
        if (r.status == static_cast<std::uint8_t>(Status::broken)) {
            const auto& d = *r.firstDifference;
            r.status = static_cast<std::uint8_t>(Status::cannotJudge);
            r.note = "This manifest was made by an earlier version of Kelvara, whose chain also covered details that "
                     "later runs fill in, so the difference it finds at message " +
                     std::to_string(d.position) + (d.guid.empty() ? "" : " (" + d.guid + ")") +
                     " cannot be told apart from normal archiving. Generate a new manifest to check the archive from "
                     "now on.";
        }
        return r;
    }
    Snapshots snap(store.path(), 1 + checkConnections());
    auto [outcome, table] = chainAndCheck(snap,
                                          [&](SQLite::Database& db) { return walkChain(recordSource(db), manifest); });
    // Messages among the records before a position (only asked for a difference).
    const auto messagesBefore = [&](std::int64_t position) -> std::int64_t {
        std::int64_t n = 0;
        records::walk(snap.db(), [&](std::int64_t seq, std::string_view record) {
            if (seq >= position) return false;
            n += isMessageRecord(record) ? 1 : 0;
            return true;
        });
        return n;
    };
    auto r = judge(manifest, std::move(outcome), table, messagesBefore);
    if (attachmentBytes == AttachmentBytes::notChecked || r.status == static_cast<std::uint8_t>(Status::broken))
        return r;
    const auto problem = checkAttachmentBytes(store.path(), ArchiveLayout::besideDatabase(store.path()).attachments);
    if (!problem) return r;
    r.status = static_cast<std::uint8_t>(Status::broken);
    r.unchangedCount = problem->recordPosition > 0 ? messagesBefore(problem->recordPosition) : 0;
    r.firstDifference = FirstDifference{problem->recordPosition, problem->messageGuid, problem->key,
                                        problem->found.empty() ? "no stored file" : problem->found};
    r.note = problem->sentence();
    return r;
}

TreskManifest::VerificationResult TreskManifest::verify(const RecordWalk& walk, const File& manifest) {
    validate(manifest);
    if (manifest.version == 1) throw Error("a manifest of an earlier version can only be checked against an archive");
    return judge(manifest, walkChain(chainSource(walk), manifest), std::nullopt, [](std::int64_t) { return 0; });
}

} // namespace kx
