#include "core/backup/backup_engine.h"

#include "core/archive/archive_layout.h"
#include "core/archive/snapshot.h"
#include "core/backup/archive_walk.h"
#include "core/backup/backup_merge.h"
#include "core/backup/compression.h"
#include "core/backup/generation_memory.h"
#include "core/backup/machine_exchange.h"
#include "core/backup/record_memory.h"
#include "core/backup/restore_staging.h"
#include "core/backup/stored_audit.h"
#include "core/platform/fs.h"
#include "core/platform/hex.h"
#include "core/platform/json_file.h"
#include "core/platform/posix_file.h"
#include "core/platform/sha256.h"

#include <nlohmann/json.hpp>
#include <sodium.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <future>
#include <map>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace kx {

namespace stdfs = std::filesystem;
using nlohmann::json;

namespace {

// Attachment files are named in a backup's manifest by their path in the owner
// folder: "attachments/...".
std::string attachmentsPrefix() { return std::string(ArchiveLayout::kAttachmentsFolder) + "/"; }

std::optional<StreamNonce> nonceFromHex(const std::string& hex) {
    StreamNonce n{};
    size_t len = 0;
    if (sodium_hex2bin(n.data(), n.size(), hex.data(), hex.size(), nullptr, &len, nullptr) != 0 || len != n.size())
        return std::nullopt;
    return n;
}

// A private scratch folder (0700) removed with everything in it when done. It
// holds a copy of the owner's database, so it lies beside the archive's other
// snapshots: on disk rather than in a temporary folder that is often held in
// memory, and named by this process, so that the next run removes what a
// killed one left there.
class ScratchDir {
public:
    ScratchDir() {
        try {
            path_ = DatabaseSnapshot::makePrivateFolder("kelvara-backup-");
        } catch (const Error& e) {
            throw Error("could not make a private scratch folder (" + std::string(e.what()) + ")");
        }
    }
    ~ScratchDir() {
        std::error_code ec;
        stdfs::remove_all(path_, ec);
    }
    const stdfs::path& path() const { return path_; }

private:
    stdfs::path path_;
};

// The resume file: unfinished uploads, and objects to remove once a newer
// manifest no longer names them.
struct ResumeEntry {
    std::string destination, name, fingerprint, keyId, nonce, uploadId;
    uint64_t partSize = 0;
    std::map<int, std::string> parts;
};

struct CleanupEntry {
    std::string destination, name;
    bool operator==(const CleanupEntry&) const = default;
};

struct ResumeState {
    std::vector<ResumeEntry> uploads;
    std::vector<CleanupEntry> cleanup;
    json packs = json::array(); // as stored (backup_engine.h)
};

ResumeState loadResume(const std::optional<stdfs::path>& path) {
    ResumeState out;
    if (!path) return out;
    JsonLoad load = loadJsonFile(*path);
    if (load.state != JsonLoad::State::loaded) return out; // a damaged file only costs a fresh upload
    try {
        for (const auto& u : load.value.at("uploads")) {
            ResumeEntry e;
            e.destination = u.at("destination").get<std::string>();
            e.name = u.at("name").get<std::string>();
            e.fingerprint = u.at("fingerprint").get<std::string>();
            e.keyId = u.at("keyId").get<std::string>();
            e.nonce = u.at("nonce").get<std::string>();
            e.uploadId = u.at("uploadId").get<std::string>();
            e.partSize = u.at("partSize").get<uint64_t>();
            for (const auto& p : u.at("parts")) e.parts[p.at("number").get<int>()] = p.at("tag").get<std::string>();
            out.uploads.push_back(std::move(e));
        }
    } catch (const std::exception&) {
        out.uploads.clear();
    }
    try {
        if (load.value.contains("cleanup"))
            for (const auto& c : load.value.at("cleanup"))
                out.cleanup.push_back({c.at("destination").get<std::string>(), c.at("name").get<std::string>()});
    } catch (const std::exception&) {
        out.cleanup.clear();
    }
    if (const auto packs = load.value.find("packs"); packs != load.value.end() && packs->is_array()) out.packs = *packs;
    return out;
}

void saveResume(const std::optional<stdfs::path>& path, const ResumeState& state) {
    if (!path) return;
    json uploads = json::array();
    for (const auto& e : state.uploads) {
        json parts = json::array();
        for (const auto& [n, tag] : e.parts) parts.push_back({{"number", n}, {"tag", tag}});
        uploads.push_back({{"destination", e.destination},
                           {"name", e.name},
                           {"fingerprint", e.fingerprint},
                           {"keyId", e.keyId},
                           {"nonce", e.nonce},
                           {"partSize", e.partSize},
                           {"uploadId", e.uploadId},
                           {"parts", parts}});
    }
    json cleanup = json::array();
    for (const auto& c : state.cleanup) cleanup.push_back({{"destination", c.destination}, {"name", c.name}});
    // Written atomically (temporary file, then rename) but not flushed to disk:
    // losing the latest version to a power cut only means resending a part.
    json saved = {{"uploads", uploads}, {"cleanup", cleanup}};
    if (!state.packs.empty()) saved["packs"] = state.packs;
    std::string text = saved.dump(2);
    if (path->has_parent_path()) fs::createPrivateDirectories(path->parent_path());
    try {
        fs::writeFileAtomic(*path, text, fs::kPrivateFileMode, fs::Durability::renamedOnly);
    } catch (const Error& e) {
        throw Error("could not save the resume state " + path->string() + " (" + e.what() + ")");
    }
}

// Every change of the resume file happens under one lock, re-reading the file
// first, so uploads running side by side keep each other's entries.
void changeResume(std::mutex& m, const std::optional<stdfs::path>& path, const std::function<void(ResumeState&)>& fn) {
    if (!path) return;
    std::lock_guard<std::mutex> lock(m);
    ResumeState state = loadResume(path);
    fn(state);
    saveResume(path, state);
}

// Marks a manifest entry whose object was confirmed only by the store's own
// checksum when the run of that generation wrote it, not read back since.
constexpr const char* kStoreConfirmedField = "storeConfirmed";

// Thrown by a sink to stop a download once it has what it needs.
struct EnoughRead {};

// The first `limit` bytes of a stored object (all of it when it is shorter);
// none when there is no such object.
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

// The hash of what a manifest entry's object holds once opened: its compressed
// bytes when it is stored compressed, else the file's own.
std::string storedContentSha(const json& entry) {
    return entry.contains("encoding") ? entry.value("encodedSha256", "") : entry.value("sha256", "");
}

// A manifest entry of an object stored inside a pack names the pack and where in it.
constexpr const char* kPackField = "pack";
constexpr const char* kOffsetField = "offset";

// On destinations that pack small objects, files sealed to at most this many
// bytes (and to no more than one part) go into packs of about kPackTarget bytes.
constexpr uint64_t kPackMemberMax = 512u << 10;
constexpr uint64_t kPackTarget = 4u << 20;

// The object at the destination that holds an entry's sealed bytes.
std::string storedObjectOf(const json& entry) {
    return entry.contains(kPackField) ? entry.value(kPackField, "") : entry.value("name", "");
}

StoredObject recordedObject(const json& entry) {
    return StoredObject{entry.value("name", ""),
                        entry.value("sealedSize", uint64_t(0)),
                        entry.value("nonce", ""),
                        storedContentSha(entry),
                        false,
                        entry.value(kPackField, ""),
                        entry.value(kOffsetField, uint64_t(0))};
}

// Opens the sealed object that `bytes` streams under name and size without
// keeping its plaintext: its nonce (hex) when every byte came, it opened and
// (sha not empty) its plaintext hashes to sha; nothing otherwise.
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

// Some stores answer a write before it can be read back whole, so a copy that
// does not match yet is read again after short pauses before the run fails.
bool matchesSoon(const std::function<bool()>& matches) {
    for (int pause = 100;; pause *= 4) {
        if (matches()) return true;
        if (pause > 1600) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    }
}

// A stored object the manifest names is not at the destination.
class MissingObject : public BackupError {
public:
    using BackupError::BackupError;
};

// The state of a file (device, inode, size, modification and change times): a
// file found in the same state before and after it was read held the same
// bytes throughout. Empty when it cannot be told: unreadable, or changed in the
// last two seconds, where a later write in the same clock tick could leave the
// times alike (as databaseStamp).
std::string fileStamp(const stdfs::path& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) return {};
    const auto changed = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::seconds(st.st_ctim.tv_sec) +
                                                                        std::chrono::nanoseconds(st.st_ctim.tv_nsec)));
    if (changed > std::chrono::system_clock::now() - std::chrono::seconds(2)) return {};
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) + ":" +
           std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + ":" +
           std::to_string(st.st_ctim.tv_sec) + "." + std::to_string(st.st_ctim.tv_nsec);
}

// The rows of the messages table of a restored database; none when it cannot be read.
std::optional<int64_t> countMessages(const std::string& dbFile) {
    sqlite3* db = nullptr;
    std::optional<int64_t> count;
    if (sqlite3_open_v2(dbFile.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT count(*) FROM messages", -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW)
            count = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return count;
}

// Each file a restore left out, with what it is in the archive: an attachment
// is named with its file name and the messages it belongs to (by sender's date
// and GUID), as far as the restored database tells.
std::vector<std::string> describeLostFiles(const std::string& dbFile, const std::vector<std::string>& lost) {
    std::vector<std::string> out;
    if (lost.empty()) return out;
    sqlite3* db = nullptr;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_open_v2(dbFile.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK)
        sqlite3_prepare_v2(db,
                           "SELECT coalesce(a.file_name, a.guid), m.guid FROM attachments a "
                           "LEFT JOIN message_attachments ma ON ma.attachment_id = a.id "
                           "LEFT JOIN messages m ON m.id = ma.message_id WHERE a.object_key = ?1 ORDER BY m.date",
                           -1, &st, nullptr);
    for (const std::string& rel : lost) {
        std::string line = rel;
        if (st && rel.rfind(attachmentsPrefix(), 0) == 0) {
            const std::string key = rel.substr(rel.rfind('/') + 1);
            sqlite3_reset(st);
            sqlite3_bind_text(st, 1, key.c_str(), -1, SQLITE_TRANSIENT);
            std::string fileName, messages;
            while (sqlite3_step(st) == SQLITE_ROW) {
                if (const auto* f = sqlite3_column_text(st, 0)) fileName = reinterpret_cast<const char*>(f);
                if (const auto* g = sqlite3_column_text(st, 1))
                    messages += (messages.empty() ? "" : ", ") + std::string(reinterpret_cast<const char*>(g));
            }
            if (!fileName.empty())
                line += " (\"" + fileName + "\"" + (messages.empty() ? "" : ", of message " + messages) + ")";
        }
        out.push_back(line);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return out;
}

// Downloads and opens one object into a file, returning the plaintext hash.
// A compressed object (compression.h) is decompressed on the way; storedSha
// then gets the hash of its compressed bytes. source, when given, streams the
// sealed bytes (false: not there) instead of the object stored under name.
std::string restoreObject(BackupDestination& dest, const TreskCrypto& crypto, const std::string& name,
                          uint64_t sealedSize, const stdfs::path& target, StreamNonce* nonceOut,
                          const std::function<void()>& otherCopy, bool askSize, bool compressed = false,
                          std::string* storedSha = nullptr, const std::function<bool(const ByteSink&)>& source = {}) {
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

} // namespace

namespace {

// The contents a manifest records for its database; nothing when it records none.
std::optional<ArchiveContents> contentsIn(const json& manifest) {
    if (!manifest.is_object()) return std::nullopt;
    const auto c = manifest.find("contents");
    if (c == manifest.end() || !c->is_object()) return std::nullopt;
    ArchiveContents out{c->value("records", int64_t(0)), c->value("digest", ""), c->value("messages", int64_t(0)), {}};
    if (out.records <= 0 || out.digest.empty()) return std::nullopt;
    if (auto points = c->find("checkpoints"); points != c->end() && points->is_array())
        for (const auto& p : *points)
            if (p.is_string()) out.checkpoints.push_back(p.get<std::string>());
    return out;
}

std::string plural(int64_t n, const std::string& one, const std::string& many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string generationText(uint64_t generation, const std::string& at) {
    return "generation " + std::to_string(generation) + (at.empty() ? "" : ", made " + at);
}

std::string foundText(const RolledBack& r, const std::string& destinationLabel) {
    if (r.foundGeneration == 0 && r.foundAt.empty())
        return "The backup this computer last wrote to " + destinationLabel + " (" +
               generationText(r.rememberedGeneration, r.rememberedAt) + ") is no longer there";
    return "The backup at " + destinationLabel + " (" + generationText(r.foundGeneration, r.foundAt) +
           ") is older than the one this computer last wrote there (" +
           generationText(r.rememberedGeneration, r.rememberedAt) +
           "): it was rolled back, by a sync app, a snapshot being put back or by hand";
}

} // namespace

bool restartResumes(const std::exception& failure) {
    return !dynamic_cast<const ForeignKeyBackupError*>(&failure) &&
           !dynamic_cast<const DestinationUnusable*>(&failure) && !dynamic_cast<const BackupBusyError*>(&failure) &&
           !dynamic_cast<const UnmergeableBackupError*>(&failure);
}

std::string rolledBackAfterRestore(const RolledBack& r, const std::string& destinationLabel) {
    return foundText(r, destinationLabel) + ". What was restored is that older backup: messages archived after it "
                                            "are not in it.";
}

std::string databaseStamp(const stdfs::path& file) {
    const auto now = std::chrono::system_clock::now();
    std::string stamp;
    for (const std::string suffix : {"", "-wal"}) {
        struct stat st {};
        const std::string path = file.string() + suffix;
        if (::stat(path.c_str(), &st) != 0) {
            if (errno != ENOENT || suffix.empty()) return {};
            stamp += "|none";
            continue;
        }
        if (!suffix.empty() && st.st_size == 0) { // holds nothing, like none (a read-only open leaves one)
            stamp += "|none";
            continue;
        }
        const auto mtime = std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(
                std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
        if (mtime > now - std::chrono::seconds(2)) return {}; // written just now: a write in the same tick could hide
        stamp += "|" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) +
                 ":" + std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
    }
    return stamp.substr(1);
}

void snapshotDatabase(const stdfs::path& source, const stdfs::path& target) {
    sqlite3* src = nullptr;
    sqlite3* dst = nullptr;
    auto closeBoth = [&] {
        if (src) sqlite3_close(src);
        if (dst) sqlite3_close(dst);
    };
    if (!fs::isRegularFile(source)) throw Error("there is no archive database at " + source.string());
    if (sqlite3_open_v2(source.c_str(), &src, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        std::string why = src ? sqlite3_errmsg(src) : "out of memory";
        closeBoth();
        throw Error("could not open the archive database " + source.string() + " (" + why + ")");
    }
    sqlite3_busy_timeout(src, 10000);
    if (sqlite3_open_v2(target.c_str(), &dst, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        std::string why = dst ? sqlite3_errmsg(dst) : "out of memory";
        closeBoth();
        throw Error("could not make a snapshot of the archive database (" + why + ")");
    }
    // The snapshot is scratch until it is sealed: no journal, no flushes. Its
    // page cache stays small: the copy passes every page through it once, and a
    // large one only costs memory to fill (several times slower for 100 MB).
    sqlite3_exec(dst, "PRAGMA synchronous=OFF; PRAGMA journal_mode=OFF;", nullptr, nullptr, nullptr);
    sqlite3_backup* b = sqlite3_backup_init(dst, "main", src, "main");
    if (!b) {
        std::string why = sqlite3_errmsg(dst);
        closeBoth();
        throw Error("could not make a snapshot of the archive database (" + why + ")");
    }
    int rc;
    int busyRounds = 0;
    // One step copies every page under one read transaction, so the copy is of
    // one moment even while the archive is being written.
    while ((rc = sqlite3_backup_step(b, -1)) == SQLITE_OK || rc == SQLITE_BUSY || rc == SQLITE_LOCKED) {
        if (rc != SQLITE_OK) {
            if (++busyRounds > 600) break;
            sqlite3_sleep(50);
        }
    }
    sqlite3_backup_finish(b);
    if (rc != SQLITE_DONE) {
        std::string why = sqlite3_errstr(rc);
        closeBoth();
        throw Error("could not make a snapshot of the archive database " + source.string() + " (" + why + ")");
    }
    // The snapshot is one self-contained file.
    sqlite3_exec(dst, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr);
    closeBoth();
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

BackupEngine::Uploaded BackupEngine::uploadFile(const stdfs::path& plain, const std::string& name,
                                                const std::string& fingerprint, ObjectClass cls, int threads,
                                                const std::function<void(uint64_t)>& sent,
                                                const std::function<void()>& partDone, bool hashPlain) {
    uint64_t plainSize = stdfs::file_size(plain);
    uint64_t sealedSize = TreskCrypto::sealedSize(plainSize);
    uint64_t partSize = options_.partSize ? options_.partSize : dest_->partSizeFor(sealedSize);
    Uploaded out;
    out.sealedSize = sealedSize;

    if (sealedSize <= partSize) {
        StreamNonce nonce = TreskCrypto::freshNonce();
        out.nonce = lowerHex(nonce.data(), nonce.size());
        TreskCrypto::SealingReader reader(crypto_, plain, name, nonce, hashPlain);
        out.storeConfirmed =
            dest_->putConfirmed(name, sealedSize,
                                [&](uint64_t off, unsigned char* buf, size_t n) { reader.read(off, buf, n); }, cls,
                                {{"kx-plain-size", std::to_string(plainSize)}, {"kx-nonce", out.nonce}});
        out.sealedPlainSha = reader.plainSha256();
        sent(sealedSize);
        partDone();
        return out;
    }

    const std::string identity = dest_->resumeIdentity();
    auto sameUpload = [&](const ResumeEntry& x) { return x.destination == identity && x.name == name; };
    auto update = [&](const std::function<void(std::vector<ResumeEntry>&)>& change) {
        changeResume(resumeMutex_, resumePath_, [&](ResumeState& st) { change(st.uploads); });
    };

    // An upload recorded by an earlier run continues only with the same bytes:
    // the fingerprint is the plaintext's content hash, so a file that changed
    // starts afresh with a fresh nonce and no nonce ever seals two plaintexts.
    std::optional<ResumeEntry> entry;
    update([&](std::vector<ResumeEntry>& entries) {
        for (auto it = entries.begin(); it != entries.end();) {
            if (sameUpload(*it)) {
                bool same = it->fingerprint == fingerprint && it->keyId == crypto_.keyId() &&
                            it->partSize == partSize && nonceFromHex(it->nonce).has_value();
                if (same && !entry) {
                    entry = *it;
                    ++it;
                    continue;
                }
                // Another file, key or part size: never splice; drop the old upload.
                dest_->abortUpload(it->name, it->uploadId);
                it = entries.erase(it);
                continue;
            }
            ++it;
        }
    });

    auto startFresh = [&] {
        ResumeEntry e;
        e.destination = identity;
        e.name = name;
        e.fingerprint = fingerprint;
        e.keyId = crypto_.keyId();
        StreamNonce n = TreskCrypto::freshNonce();
        e.nonce = lowerHex(n.data(), n.size());
        e.partSize = partSize;
        e.uploadId = dest_->beginUpload(name, partSize, cls,
                                        {{"kx-plain-size", std::to_string(plainSize)}, {"kx-nonce", e.nonce}});
        update([&](std::vector<ResumeEntry>& entries) {
            std::erase_if(entries, sameUpload);
            entries.push_back(e);
        });
        return e;
    };
    auto forget = [&] { update([&](std::vector<ResumeEntry>& entries) { std::erase_if(entries, sameUpload); }); };
    const int partCount = static_cast<int>((sealedSize + partSize - 1) / partSize);
    // The run that recorded an upload may have completed it and stopped before
    // forgetting it: the object is then in place, sealed with the recorded nonce.
    auto alreadyStored = [&](const ResumeEntry& e) {
        if (storedNonce(name, sealedSize) != e.nonce) return false;
        forget();
        sent(sealedSize);
        for (int i = 0; i < partCount; ++i) partDone();
        out.resumed = true;
        out.nonce = e.nonce;
        return true;
    };

    bool stale = entry.has_value(); // recorded by an earlier run
    if (stale && alreadyStored(*entry)) return out;
    bool resumed = stale && !entry->parts.empty();
    ResumeEntry e = entry ? *entry : startFresh();
    std::mutex partsMutex;
    if (!dest_->partsSideBySide()) threads = 1;
    for (int attempt = 0;; ++attempt) {
        // Parts stored one after the other are sealed by one reader, which then
        // knows the hash of the plaintext it sealed when it read all of it.
        std::optional<TreskCrypto::SealingReader> inOrder;
        if (threads == 1) inOrder.emplace(crypto_, plain, name, *nonceFromHex(e.nonce), hashPlain);
        std::vector<int> todo;
        for (int part = 1; part <= partCount; ++part) {
            if (e.parts.count(part)) {
                sent(std::min(partSize, sealedSize - static_cast<uint64_t>(part - 1) * partSize));
                partDone();
            } else {
                todo.push_back(part);
            }
        }
        try {
            parallelFor(todo.size(), threads, [&](size_t i) {
                int part = todo[i];
                uint64_t off = static_cast<uint64_t>(part - 1) * partSize;
                uint64_t n = std::min(partSize, sealedSize - off);
                std::optional<TreskCrypto::SealingReader> own;
                if (!inOrder) own.emplace(crypto_, plain, name, *nonceFromHex(e.nonce));
                TreskCrypto::SealingReader& reader = inOrder ? *inOrder : *own;
                std::string tag = dest_->uploadPart(name, e.uploadId, part, off, n,
                                                    [&](uint64_t o, unsigned char* buf, size_t k) {
                                                        reader.read(o, buf, k);
                                                    });
                {
                    std::lock_guard<std::mutex> lock(partsMutex);
                    e.parts[part] = tag;
                    ResumeEntry snapshot = e;
                    update([&](std::vector<ResumeEntry>& entries) {
                        for (auto& x : entries)
                            if (sameUpload(x)) x = snapshot;
                    });
                    sent(n);
                    partDone();
                }
                if (options_.afterPart) options_.afterPart(name, part);
            });
            std::vector<std::pair<int, std::string>> parts(e.parts.begin(), e.parts.end());
            dest_->completeUpload(name, e.uploadId, parts);
            if (inOrder) out.sealedPlainSha = inOrder->plainSha256();
        } catch (const UploadNotFound&) {
            // The destination forgot the upload (expired, aborted or completed):
            // use what is stored when it is this upload, else start over once.
            if (stale && attempt == 0 && alreadyStored(e)) return out;
            forget();
            if (attempt > 0) throw;
            resumed = false;
            e = startFresh();
            continue;
        } catch (const DestinationRefused&) {
            // An upload from an earlier run that the destination now refuses,
            // whatever became of it, never blocks the backup: the object starts again.
            if (!stale || attempt > 0) throw;
            if (alreadyStored(e)) return out;
            dest_->abortUpload(name, e.uploadId);
            forget();
            resumed = false;
            e = startFresh();
            continue;
        }
        break;
    }
    forget();
    out.resumed = resumed;
    out.nonce = e.nonce;
    return out;
}

// One backup run. BackupEngine::backup calls its phases in order; each reads
// what the earlier ones found and leaves what the later ones need.
class BackupEngine::Run {
public:
    using Local = ArchiveFile;

    Run(BackupEngine& engine, const std::string& remoteName, const stdfs::path& storeFile,
        VerificationLevel verification, const ProgressCallback& progress)
        : e(engine), remoteName_(remoteName), storeFile_(storeFile), verification_(verification), progress_(progress),
          legacyDbName_(e.fullName(remoteName)), manifestName_(legacyDbName_ + ".manifest"),
          area_(remoteName.find('/') == std::string::npos ? "" : remoteName.substr(0, remoteName.rfind('/'))),
          objectsPrefix_(e.prefix_ + "/" + (area_.empty() ? "" : area_ + "/") + "objects/"),
          identity_(e.dest_->resumeIdentity()) {
        if (!fs::isRegularFile(storeFile_)) throw Error("there is no archive database at " + storeFile_.string());
    }
    ~Run() {
        if (snapshotDone_.valid()) snapshotDone_.wait(); // never leave the scratch folder while the snapshot writes
    }
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    // The backup already there, read before anything at the destination changes.
    // One sealed with a key this keyring does not hold (a new machine, a reset
    // keyring) is never replaced: its phrase would then restore nothing.
    void refuseAForeignKey() { refuseForeign(e.manifestInPlace(manifestName_).sealed); }

    // One run at a time; what the previous run left is read once this run holds the lease.
    void takeLease() { lease_.emplace(e.dest_, legacyDbName_ + ".lease", e.options_.lease); }

    // What the backup in place consists of (read under the lease), its
    // generation against the one this computer last wrote there, and what
    // killed runs left at the destination.
    void readWhatIsInPlace();

    // What the backup in place holds that the local archive lacks is merged
    // into the local archive first (backup_merge.h), so replacing it loses
    // nothing; one that cannot be merged is refused while it is still whole.
    void mergeWhatOnlyTheBackupHolds();

    // The database snapshot is started (unless the file has not changed since
    // the backup in place), and the files of the archive are listed.
    void startSnapshot();

    // Which files need sending: those the backup in place does not hold as
    // they are now, less those an interrupted run already stored.
    void plan() { toSend_ = classify(allFiles()); }

    // A rolling share of what the backup in place holds is read back, all of it
    // on request (stored_audit.h); damaged objects are reported and sent again.
    void audit();

    // Attachment and evidence files, then the database, each read back as soon
    // as it is written unless an object store's own checksum confirmed it (a
    // later run's rotation reads it back); nothing the manifest in place names
    // is written over.
    void uploadAndVerify();

    // The commit point: the manifest switches the backup over to the new objects.
    void switchManifest();

    // Only now is what the replaced manifest alone named (and what stopped runs
    // left behind) removed. A removal that fails is tried again by the next run.
    void sweep();

    UploadReceipt receipt;

private:
    void refuseForeign(const std::optional<std::string>& manifest) const {
        auto keyId = manifest ? TreskCrypto::keyIdOf(*manifest) : std::nullopt;
        if (keyId && !e.crypto_.holdsKey(*keyId))
            throw ForeignKeyBackupError("the destination holds a backup made with a different key; restore that key "
                                        "from its recovery phrase, or choose another destination");
    }
    // The snapshot, its fingerprint and its compressed form (compression.h;
    // none when compressing it would not shrink it), made while the attachment
    // files upload.
    struct Snapshot {
        std::string sha256;
        std::optional<CompressedFile> compressed;
    };
    stdfs::path packedSnapshot() const {
        return scratch_->path() / (std::string(ArchiveLayout::kDatabaseFile) + ".zst");
    }
    void snapshotNow() {
        if (snapshotDone_.valid()) return;
        snapshotDone_ = std::async(std::launch::async, [this] {
            snapshotDatabase(storeFile_, snapshot_);
            Snapshot made{Sha256::hexOfFile(snapshot_), {}};
            if (worthCompressing(snapshot_)) made.compressed = compressFile(snapshot_, packedSnapshot());
            return made;
        });
    }
    std::vector<const Local*> allFiles() const {
        std::vector<const Local*> all;
        for (const Local& f : files_) all.push_back(&f);
        return all;
    }
    bool underThisBackup(const std::string& n) const {
        return n == legacyDbName_ || n.compare(0, objectsPrefix_.size(), objectsPrefix_) == 0;
    }
    // Names that may be left over once the new manifest is in place: recorded
    // before anything is written, so a run stopped at any point leaves them known.
    void noteForCleanup(const std::vector<std::string>& names) {
        changeResume(e.resumeMutex_, e.resumePath_, [&](ResumeState& st) {
            for (const auto& n : names) {
                CleanupEntry c{identity_, n};
                if (std::find(st.cleanup.begin(), st.cleanup.end(), c) == st.cleanup.end()) st.cleanup.push_back(c);
            }
        });
    }
    // Where an object is stored: alone (pack empty), or in a pack at offset.
    struct Place {
        std::string nonce, pack;
        uint64_t offset = 0;
    };
    // Objects an interrupted run already stored, alone or in a pack it recorded,
    // are taken as they are when they open and hold the expected content, and
    // not sent again.
    std::optional<Place> adopt(const std::string& name, uint64_t sealedSize, const std::string& sha) {
        if (auto remote = stored_.find(name); remote != stored_.end() && remote->second == sealedSize) {
            auto nonce = e.dest_->canReadBackData() ? e.checkStored(name, sealedSize, sha)
                                                    : e.storedNonce(name, sealedSize);
            if (nonce) return Place{*nonce, "", 0};
        }
        auto packed = packedEarlier_.find(name);
        if (packed == packedEarlier_.end() || packed->second.value("sealedSize", uint64_t(0)) != sealedSize)
            return std::nullopt;
        Place at{packed->second.value("nonce", ""), packed->second.value(kPackField, ""),
                 packed->second.value(kOffsetField, uint64_t(0))};
        if (!heldAsRecorded(packed->second) || e.checkStored(name, sealedSize, sha, at.pack, at.offset) != at.nonce)
            return std::nullopt;
        return at;
    }
    // Whether the destination lists the object an entry records at its size
    // (inside its pack, when it is packed).
    bool heldAsRecorded(const json& entry) const {
        const uint64_t sealed = entry.value("sealedSize", uint64_t(0));
        auto remote = stored_.find(storedObjectOf(entry));
        if (remote == stored_.end()) return false;
        return entry.contains(kPackField) ? remote->second >= entry.value(kOffsetField, uint64_t(0)) + sealed
                                          : remote->second == sealed;
    }
    // What the manifest the backup in place replaced names, when it is older:
    // once this run's manifest is in place nothing names it any more, and what
    // the two newer manifests do not share with it goes (sweep).
    void readReplacedManifest(uint64_t inPlaceGeneration) {
        try {
            const auto sealed = e.readRaw(manifestName_ + kReplacedManifestSuffix);
            if (!sealed) return;
            const json m = json::parse(e.crypto_.open(*sealed, manifestName_));
            const int format = m.value("format", 0);
            if (m.value("generation", uint64_t(0)) >= inPlaceGeneration || format < 1 ||
                m.value("remoteName", "") != remoteName_)
                return;
            replacedNames_.insert(format == 1 ? legacyDbName_ : m.at("database").value("name", ""));
            for (const auto& o : m.at("objects")) replacedNames_.insert(storedObjectOf(o));
        } catch (const std::exception&) {
            // Unreadable: what only it named stays, as stray objects do.
        }
    }
    bool packed(uint64_t sealed) const {
        return e.dest_->packsSmallObjects() && sealed <= std::min(kPackMemberMax, partSize(sealed));
    }
    std::vector<const Local*> classify(const std::vector<const Local*>& candidates);
    bool checkWritten(const std::string& name, const Uploaded& u, const std::string& sha);
    void sendFiles(const std::vector<const Local*>& list);
    void sendAlone(const Local* f);
    void sendPack(const std::vector<const Local*>& members);
    void sendDatabase();
    uint64_t partSize(uint64_t sealed) const {
        return e.options_.partSize ? e.options_.partSize : e.dest_->partSizeFor(sealed);
    }
    void countIn(uint64_t sealed) { // into the progress total
        std::lock_guard<std::recursive_mutex> lock(progressMutex_);
        uint64_t part = partSize(sealed);
        p_.total += static_cast<int64_t>(sealed);
        p_.parts += sealed <= part ? 1 : static_cast<int>((sealed + part - 1) / part);
    }
    void report() {
        if (progress_) progress_(p_);
    }
    void sent(uint64_t n) {
        std::lock_guard<std::recursive_mutex> lock(progressMutex_);
        p_.done += static_cast<int64_t>(n);
    }
    void partDone() {
        std::lock_guard<std::recursive_mutex> lock(progressMutex_);
        ++p_.part;
        report();
    }
    BackupError mismatch(const std::string& what) const {
        return BackupError("the copy stored at " + e.dest_->label() + " does not match what was sent (" + what +
                           "); run the backup again");
    }

    BackupEngine& e;
    const std::string remoteName_;
    const stdfs::path storeFile_;
    VerificationLevel verification_;
    const ProgressCallback& progress_;
    const std::string legacyDbName_, manifestName_, area_, objectsPrefix_, identity_;

    std::optional<BackupLease> lease_;
    std::optional<std::string> oldManifest_;
    bool keepOldManifest_ = false; // it opened, and it is the manifest itself rather than the kept copy
    std::map<std::string, json> previous_;
    std::optional<json> previousDb_;
    json inPlace_; // the manifest in place, when it opened
    // The digest of the local records the backup in place holds, when the check
    // before the run read it; the new manifest's contents carry it on.
    std::optional<RecordDigest> heldRecords_;
    // Where this computer keeps the digest of the records each run's contents
    // were taken of (record_memory.h), and the store file's identity before the
    // snapshot was taken.
    std::optional<RecordMemory> recordMemory_;
    std::string storeIdentity_;
    int inPlaceFormat_ = 0;
    // Why a manifest found in place (and its kept earlier copy) could not be
    // opened: what that backup holds cannot be known, so it is never replaced.
    std::optional<std::string> unreadableInPlace_;
    std::string previousAuditNext_; // where the read-back of stored objects goes on (stored_audit.h)
    std::set<std::string> oldNames_;
    std::set<std::string> replacedNames_; // of the manifest the one in place replaced (readReplacedManifest)
    // Packs holding an object found damaged: every object in them is read back.
    std::set<std::string> suspectPacks_;
    std::optional<GenerationMemory> memory_;
    std::optional<RolledBack> rolledBack_;
    uint64_t generation_ = 1;
    std::map<std::string, uint64_t> stored_; // what the destination holds under the objects' prefix
    // Objects earlier runs stored in packs, by name, as the resume state records
    // them: entries with "name", "sealedSize", "nonce", "pack" and "offset".
    std::map<std::string, json> packedEarlier_;

    std::optional<ScratchDir> scratch_;
    stdfs::path snapshot_;
    std::future<Snapshot> snapshotDone_; // (after scratch_: it goes first)
    std::future<bool> databaseCheck_;    // whether the database object in place is intact
    std::string sourceStamp_;
    stdfs::path attachments_;
    std::vector<Local> files_, lateFiles_;

    std::vector<std::string> damaged_;           // stored copies found damaged, each sent again
    std::map<std::string, json> entries_;        // the new manifest's objects, by path
    std::map<std::string, std::string> shaOf_;   // content hashes of the files not kept
    std::map<std::string, std::string> stampOf_; // their states while hashed (fileStamp), when steady
    std::set<std::string> vanished_;             // removed from the archive before they could be read
    std::mutex entriesMutex_;
    std::vector<std::string> toWrite_;
    std::vector<const Local*> toSend_;
    bool dbDamaged_ = false;
    bool dbReadBack_ = false; // the database object in place was read back whole by this run
    std::string auditNext_;

    BackupProgress p_;
    uint64_t dbSealed_ = 0; // the database's estimated share of the progress
    int dbParts_ = 0;
    std::recursive_mutex progressMutex_;
    std::map<std::string, Uploaded> uploaded_;
    std::mutex uploadedMutex_;
    json objects_ = json::array();
    json dbEntry_;
};

void BackupEngine::Run::readWhatIsInPlace() {
    const ManifestInPlace found = e.manifestInPlace(manifestName_);
    oldManifest_ = found.sealed;
    refuseForeign(oldManifest_);
    // A copy of the manifest that is missing, damaged or older than the other
    // is written again by this run's switch.
    if (!found.manifestTrouble.empty()) damaged_.push_back(kDamagedManifest);
    if (!found.copyTrouble.empty()) damaged_.push_back(kDamagedManifestCopy);
    // What killed runs of this backup left there, but for uploads this computer can still resume.
    {
        const ResumeState resume = loadResume(e.resumePath_);
        std::set<std::string> resumable;
        for (const auto& u : resume.uploads)
            if (u.destination == identity_) resumable.insert(u.uploadId);
        for (const auto& pack : resume.packs) {
            if (!pack.is_object() || pack.value("destination", "") != identity_ || !pack.contains("members")) continue;
            const std::string name = pack.value("name", "");
            if (!underThisBackup(name)) continue;
            for (const auto& m : pack.at("members"))
                if (m.is_object() && m.contains("name")) {
                    json& entry = packedEarlier_[m.value("name", "")] = m;
                    entry[kPackField] = name;
                }
        }
        e.dest_->sweepTemporaries(area_.empty() ? e.prefix_ : e.prefix_ + "/" + area_, !area_.empty(), resumable);
    }
    // Its objects stay untouched until the new manifest has replaced it; only
    // then is what it alone named removed.
    RolledBack seen;
    try {
        if (oldManifest_) {
            json old = json::parse(e.crypto_.open(*oldManifest_, manifestName_));
            const int format = old.value("format", 0);
            inPlace_ = old;
            inPlaceFormat_ = format;
            previousAuditNext_ = old.value("auditNext", "");
            seen.foundGeneration = old.value("generation", uint64_t(0));
            seen.foundAt = old.value("createdAt", "");
            for (const auto& o : old.at("objects")) {
                previous_[o.at("path").get<std::string>()] = o;
                oldNames_.insert(storedObjectOf(o));
            }
            // The first layout kept the database under the archive's own name and
            // overwrote it in place, so an unfinished run could leave another copy
            // there: it is never reused, only replaced.
            if (format >= 2) {
                previousDb_ = old.at("database");
                oldNames_.insert(previousDb_->value("name", ""));
            } else {
                oldNames_.insert(legacyDbName_);
            }
            keepOldManifest_ = !found.fromReplaced;
            if (keepOldManifest_) readReplacedManifest(seen.foundGeneration);
        }
    } catch (const SealError& x) {
        unreadableInPlace_ = x.what();
    } catch (const json::exception& x) {
        unreadableInPlace_ = x.what();
    }
    oldNames_.erase("");
    toWrite_.assign(oldNames_.begin(), oldNames_.end());
    auditNext_ = previousAuditNext_;
    // A destination that holds an older backup than this computer wrote there
    // was rolled back: everything it holds is read back, and the run says so.
    if (e.options_.generations) memory_.emplace(*e.options_.generations);
    if (e.resumePath_) recordMemory_.emplace(e.resumePath_->parent_path() / RecordMemory::kFileName);
    generation_ = seen.foundGeneration + 1;
    if (auto last = memory_ ? memory_->lastWritten(identity_, manifestName_) : std::nullopt) {
        if (last->generation > seen.foundGeneration) {
            seen.rememberedGeneration = last->generation;
            seen.rememberedAt = last->createdAt;
            rolledBack_ = seen;
            if (verification_ == VerificationLevel::readBack) verification_ = VerificationLevel::everything;
        }
        generation_ = std::max(generation_, last->generation + 1);
    }
    for (auto& [n, size] : e.dest_->list(objectsPrefix_)) stored_[n] = size;
}

void BackupEngine::Run::mergeWhatOnlyTheBackupHolds() {
    if (unreadableInPlace_)
        throw UnmergeableBackupError("the backup at " + e.dest_->label() +
                                     " may hold messages this archive lacks, but its manifest could not be opened (" +
                                     *unreadableInPlace_ +
                                     "), so it was left as it is and nothing was backed up; move what the destination "
                                     "holds aside, or back up to another destination");
    const std::optional<ArchiveContents> theirs = contentsIn(inPlace_);
    auto refuse = [&](const std::string& why, const std::string& what) {
        std::string held = "the backup at " + e.dest_->label() + " (" +
                           generationText(inPlace_.value("generation", uint64_t(0)), inPlace_.value("createdAt", ""));
        if (theirs) held += ", holding " + plural(theirs->messages, "message", "messages");
        throw UnmergeableBackupError(held + ") may hold messages this archive lacks, but " + why +
                                     ", so it was left as it is and nothing was backed up; " + what);
    };
    const std::string keep = "restore it into an empty folder with kxctl restore to keep what it holds, or back up "
                             "to another destination";
    if (inPlaceFormat_ > 3) refuse("it was made by a newer version of Kelvara", "update Kelvara here, or " + keep);
    // The first layout kept the database under the archive's own name,
    // overwritten in place by every run: the copy there may be a later,
    // unfinished run's rather than the one its manifest records. Any copy that
    // opens under that name is this owner's archive, and is taken in.
    const bool firstLayout = !previousDb_ && inPlaceFormat_ == 1 && inPlace_.contains("database");
    if ((!previousDb_ && !firstLayout) || !isArchiveStore(storeFile_)) return;
    const json& db = previousDb_ ? *previousDb_ : inPlace_.at("database");
    // This very file, as it stands, is what the backup in place holds.
    const std::string stamp = databaseStamp(storeFile_);
    if (!stamp.empty() && db.value("sourceStamp", "") == stamp) return;
    // The local archive grew from what the backup holds (the usual case).
    HeldRecords held;
    if (theirs) {
        const auto known = recordMemory_ ? recordMemory_->recall(e.crypto_, RecordMemory::identityOf(storeFile_),
                                                                 identity_, manifestName_)
                                         : std::nullopt;
        held = recordsHeld(storeFile_, *theirs, known ? &*known : nullptr);
    }
    if (held.all) {
        heldRecords_ = std::move(held.digest);
        return;
    }

    ScratchDir scratch;
    const stdfs::path storedDb = scratch.path() / "backup-tresk.db";
    const std::string dbName = firstLayout ? legacyDbName_ : db.value("name", "");
    try {
        checkRemoteName(dbName, "object name");
        StreamNonce nonce{};
        std::string storedSha;
        const bool compressed = db.value("encoding", "") == kZstdEncoding;
        if (db.contains("encoding") && !compressed)
            throw BackupError("its database is stored in a form this version does not know");
        const std::string sha = restoreObject(
            *e.dest_, e.crypto_, dbName, firstLayout ? 0 : db.value("sealedSize", uint64_t(0)), storedDb, &nonce,
            [] { throw SealError("another copy than the one recorded"); }, firstLayout, compressed, &storedSha);
        if (!firstLayout &&
            (sha != db.value("sha256", "") || lowerHex(nonce.data(), nonce.size()) != db.value("nonce", "") ||
             (compressed && storedSha != db.value("encodedSha256", ""))))
            throw SealError("it does not match its manifest");
        if (firstLayout && !isArchiveStore(storedDb)) throw SealError("it is not an archive");
    } catch (const UnmergeableBackupError&) {
        throw;
    } catch (const std::exception& x) {
        refuse(std::string("its database could not be read (") + x.what() + ")", keep);
    }
    if (e.options_.mergeStep) e.options_.mergeStep("fetched");

    // Attachment files come from the backup's own objects, checked as a restore checks them.
    auto fetch = [&](const std::string& rel, const stdfs::path& target) {
        auto o = previous_.find(rel);
        if (o == previous_.end()) return false;
        try {
            const std::string name = o->second.value("name", ""), pack = o->second.value(kPackField, "");
            const uint64_t sealedSize = o->second.value("sealedSize", uint64_t(0));
            checkRemoteName(name, "object name");
            if (!pack.empty()) checkRemoteName(pack, "object name");
            StreamNonce nonce{};
            const std::string sha = restoreObject(
                *e.dest_, e.crypto_, name, sealedSize, target, &nonce,
                [] { throw SealError("another copy than the one recorded"); }, false, false, nullptr,
                [&](const ByteSink& sink) {
                    return e.fetchSealed(name, pack, o->second.value(kOffsetField, uint64_t(0)), sealedSize, sink);
                });
            return lowerHex(nonce.data(), nonce.size()) == o->second.value("nonce", "") &&
                   sha == o->second.value("sha256", sha);
        } catch (const MissingObject&) {
            return false;
        } catch (const BackupError&) {
            throw; // the destination cannot be reached: the run stops
        } catch (const std::exception&) {
            return false; // damaged: the attachment is kept without its file
        }
    };
    MergeResult r;
    try {
        r = mergeStoredArchive(
            storedDb, storeFile_, scratch.path(), fetch,
            [&] {
                if (e.options_.mergeStep) e.options_.mergeStep("commit");
            },
            held.shared);
    } catch (const UnmergeableBackupError& x) {
        refuse(x.what(), keep);
    }
    if (r.messagesAdded || r.messagesGrown || r.attachmentsAdded)
        receipt.merged = MergedBackup{r.messagesAdded,
                                      r.messagesGrown,
                                      r.attachmentsAdded,
                                      r.attachmentsMissing,
                                      inPlace_.value("generation", uint64_t(0)),
                                      inPlace_.value("createdAt", "")};
}

void BackupEngine::Run::startSnapshot() {
    scratch_.emplace();
    snapshot_ = scratch_->path() / ArchiveLayout::kDatabaseFile;
    // The snapshot and its fingerprint are made while the attachment files
    // upload (they do not depend on it); the database goes up afterwards. A
    // database that has not changed since the backup in place is not read.
    sourceStamp_ = databaseStamp(storeFile_);
    storeIdentity_ = RecordMemory::identityOf(storeFile_);
    const bool dbUnchanged = [&] {
        if (!previousDb_ || sourceStamp_.empty() || previousDb_->value("sourceStamp", "") != sourceStamp_) return false;
        auto remote = stored_.find(previousDb_->value("name", ""));
        return remote != stored_.end() && remote->second == previousDb_->value("sealedSize", uint64_t(0));
    }();
    // The owner's attachment and evidence files (archive_walk.h).
    attachments_ = ArchiveLayout::besideDatabase(storeFile_.string()).attachments;
    files_ = listArchiveFiles(attachments_);
    for (Local& f : listEvidenceFiles(storeFile_.parent_path())) files_.push_back(std::move(f));
    if (!dbUnchanged) snapshotNow();
    // The database object in place is read back while the run hashes and
    // plans: it is the largest object, and one that every run checks.
    if (verification_ != VerificationLevel::none && previousDb_)
        databaseCheck_ = std::async(std::launch::async,
                                    [this, o = recordedObject(*previousDb_)] { return e.storedIntact(o); });
}

std::vector<const BackupEngine::Run::Local*> BackupEngine::Run::classify(const std::vector<const Local*>& candidates) {
    // Files the backup in place already holds are kept; the others get names
    // derived from their content, so nothing a manifest names is ever written over.
    std::vector<const Local*> fresh, send;
    for (const Local* f : candidates) {
        auto prev = previous_.find(f->path);
        bool present = false;
        if (prev != previous_.end() && prev->second.value("size", uint64_t(0)) == f->size) {
            present = heldAsRecorded(prev->second);
            // The file is as it was backed up, but its stored copy is gone or
            // changed size: damage at rest, sent again and said.
            if (!present && keepOldManifest_) {
                std::lock_guard<std::mutex> lock(entriesMutex_);
                damaged_.push_back(f->path);
                if (prev->second.contains(kPackField)) suspectPacks_.insert(prev->second.value(kPackField, ""));
            }
        }
        if (present && !isEvidenceFilePath(f->path)) entries_[f->path] = prev->second;
        else fresh.push_back(f); // (evidence files are rewritten in place: their content decides)
    }
    parallelFor(fresh.size(), e.options_.threads, [&](size_t k) {
        const Local* f = fresh[k];
        std::string sha, stamp;
        try {
            stamp = fileStamp(f->file);
            sha = Sha256::hexOfFile(f->file);
            if (fileStamp(f->file) != stamp) stamp.clear();
        } catch (const Error&) {
            if (fs::exists(f->file)) throw;
            std::lock_guard<std::mutex> lock(entriesMutex_);
            vanished_.insert(f->path);
            return;
        }
        const std::string name = objectsPrefix_ + e.crypto_.nameTag("attachment:" + f->path + ":" + sha);
        const uint64_t sealedSize = TreskCrypto::sealedSize(f->size);
        if (auto prev = previous_.find(f->path); prev != previous_.end() && prev->second.value("name", "") == name &&
                                                 prev->second.value("size", uint64_t(0)) == f->size &&
                                                 heldAsRecorded(prev->second)) {
            std::lock_guard<std::mutex> lock(entriesMutex_);
            entries_[f->path] = prev->second; // an evidence file as it was backed up
            return;
        }
        std::optional<Place> held = adopt(name, sealedSize, sha);
        json o = {{"path", f->path}, {"name", name}, {"size", f->size}, {"sha256", sha}, {"sealedSize", sealedSize}};
        if (held) {
            o["nonce"] = held->nonce;
            if (!held->pack.empty()) {
                o[kPackField] = held->pack;
                o[kOffsetField] = held->offset;
            }
        }
        std::lock_guard<std::mutex> lock(entriesMutex_);
        entries_[f->path] = std::move(o);
        shaOf_[f->path] = sha;
        stampOf_[f->path] = stamp;
        if (!held) {
            send.push_back(f);
            if (!packed(sealedSize)) toWrite_.push_back(name); // (a pack is noted when it is made)
        }
    });
    std::sort(send.begin(), send.end(), [](const Local* x, const Local* y) { return x->path < y->path; });
    noteForCleanup(toWrite_);
    return send;
}

void BackupEngine::Run::audit() {
    if (verification_ != VerificationLevel::none) {
        std::vector<StoredObject> kept;
        std::vector<const Local*> keptFiles;
        const std::set<const Local*> sending(toSend_.begin(), toSend_.end());
        for (const Local* f : allFiles()) {
            auto entry = entries_.find(f->path);
            auto prev = previous_.find(f->path);
            if (sending.count(f) || entry == entries_.end() || prev == previous_.end() || entry->second != prev->second)
                continue;
            kept.push_back(recordedObject(entry->second));
            keptFiles.push_back(f);
        }
        // The database object, which every restore needs, is read back by every
        // run: it has been since the files were listed.
        std::optional<size_t> database;
        if (previousDb_) {
            database = kept.size();
            kept.push_back(recordedObject(*previousDb_));
        }
        const size_t cycle = e.dest_->readsAreCharged() ? kAuditCycle : kFolderAuditCycle;
        // Objects only the store's checksum confirmed are read back by the run a
        // cycle after the one that wrote them at the latest, wherever the rotation stands.
        for (size_t i = 0; i < keptFiles.size(); ++i) {
            const json& entry = entries_.at(keptFiles[i]->path);
            kept[i].due = entry.contains(kStoreConfirmedField) &&
                          generation_ + 1 >= entry.value(kStoreConfirmedField, uint64_t(0)) + cycle;
        }
        const AuditPlan plan = planAudit(kept, previousAuditNext_, verification_ == VerificationLevel::everything,
                                         cycle, database);
        auditNext_ = plan.next;
        receipt.storedChecked = plan.chosen.size();
        std::vector<size_t> others;
        std::copy_if(plan.chosen.begin(), plan.chosen.end(), std::back_inserter(others),
                     [&](size_t i) { return i != database; });
        std::vector<size_t> found = e.auditStored(kept, others);
        // A pack that holds one damaged object may have been replaced whole (by
        // another pack sealed with this key, say): every other object in it is
        // read back by this run too, so none of them is left for later runs.
        std::set<std::string> suspect = suspectPacks_;
        for (size_t i : found)
            if (!kept[i].pack.empty()) suspect.insert(kept[i].pack);
        if (!suspect.empty()) {
            const std::set<size_t> read(others.begin(), others.end());
            std::vector<size_t> more;
            for (size_t i = 0; i < keptFiles.size(); ++i)
                if (!read.count(i) && suspect.count(kept[i].pack)) more.push_back(i);
            for (size_t i : e.auditStored(kept, more)) found.push_back(i);
            std::sort(found.begin(), found.end());
            others.insert(others.end(), more.begin(), more.end());
            receipt.storedChecked += more.size();
        }
        for (size_t i : others) // read back whole: no longer only confirmed by the store
            if (!std::binary_search(found.begin(), found.end(), i))
                entries_.at(keptFiles[i]->path).erase(kStoreConfirmedField);
        if (database) {
            dbReadBack_ = databaseCheck_.get();
            if (!dbReadBack_) found.push_back(*database);
        }
        std::vector<const Local*> again;
        for (size_t i : found) {
            if (i == keptFiles.size()) {
                dbDamaged_ = true; // sent again below, whether or not it changed since
                damaged_.push_back(kDamagedDatabase);
                continue;
            }
            damaged_.push_back(keptFiles[i]->path);
            previous_.erase(keptFiles[i]->path);
            entries_.erase(keptFiles[i]->path);
            again.push_back(keptFiles[i]);
        }
        if (!again.empty()) {
            for (const Local* f : classify(again)) toSend_.push_back(f);
            std::sort(toSend_.begin(), toSend_.end(), [](const Local* x, const Local* y) { return x->path < y->path; });
        }
    }

    const uint64_t dbPlainSize = stdfs::file_size(storeFile_); // an estimate until the snapshot is made
    dbSealed_ = TreskCrypto::sealedSize(dbPlainSize);
    const uint64_t dbPart = partSize(dbSealed_);
    dbParts_ = static_cast<int>((dbSealed_ + dbPart - 1) / dbPart);
    p_.total = static_cast<int64_t>(dbSealed_);
    p_.parts = dbParts_;
    for (const Local* f : toSend_) countIn(TreskCrypto::sealedSize(f->size));
    report();
}

// What this run wrote is checked before the manifest names it, so a copy that
// does not match never replaces the backup in place. Each object is checked as
// soon as it is written, while other files are still being sent.
bool BackupEngine::Run::checkWritten(const std::string& name, const Uploaded& u, const std::string& sha) {
    if (verification_ == VerificationLevel::none) return false;
    if (!e.dest_->canReadBackData()) {
        // Archival storage: compare size and the metadata written with each object.
        if (!matchesSoon([&] { return e.storedNonce(name, u.sealedSize) == u.nonce; })) throw mismatch(name);
        return false;
    }
    if (!u.sealedPlainSha.empty() && u.sealedPlainSha != sha) throw mismatch(name); // changed while read
    // Where reading back is charged, an object the store's own checksum
    // confirmed it received whole, sealed from exactly the content named, is
    // read back later by the rotation (within a cycle of runs) instead of now.
    if (u.storeConfirmed && !u.sealedPlainSha.empty() && verification_ == VerificationLevel::readBack &&
        e.dest_->readsAreCharged())
        return true;
    // The object read back must open under this key and name, carry the nonce
    // it was sealed with (so it is exactly what was sent) and hold the content
    // sent. Content hashed while it was sealed is not hashed again: opening
    // proves the object holds exactly the plaintext that was sealed.
    const std::string readSha = u.sealedPlainSha.empty() ? sha : std::string();
    if (!matchesSoon([&] { return e.checkStored(name, u.sealedSize, readSha) == u.nonce; })) throw mismatch(name);
    return false;
}

void BackupEngine::Run::sendFiles(const std::vector<const Local*>& list) {
    // Small files go into packs (in path order, so that files of one
    // conversation tend to share one); the others are stored alone.
    std::vector<std::vector<const Local*>> packs;
    std::vector<const Local*> alone;
    uint64_t filling = 0;
    for (const Local* f : list) {
        const uint64_t sealed = TreskCrypto::sealedSize(f->size);
        if (!packed(sealed)) {
            alone.push_back(f);
            continue;
        }
        if (packs.empty() || filling + sealed > kPackTarget) {
            packs.emplace_back();
            filling = 0;
        }
        packs.back().push_back(f);
        filling += sealed;
    }
    parallelFor(packs.size() + alone.size(), e.options_.threads, [&](size_t i) {
        if (i < packs.size()) sendPack(packs[i]);
        else sendAlone(alone[i - packs.size()]);
    });
}

void BackupEngine::Run::sendAlone(const Local* f) {
    const std::string name = entries_.at(f->path).at("name").get<std::string>();
    const std::string& sha = shaOf_.at(f->path);
    const std::string& stamp = stampOf_.at(f->path);
    Uploaded u;
    try {
        // A file that stays as it was hashed is not hashed again while sealed.
        u = e.uploadFile(
            f->file, name, "sha256:" + sha, ObjectClass::data, 1, [this](uint64_t n) { sent(n); },
            [this] { partDone(); }, stamp.empty());
    } catch (...) {
        if (fs::exists(f->file)) throw;
        std::lock_guard<std::mutex> lock(uploadedMutex_);
        vanished_.insert(f->path);
        return;
    }
    if (!stamp.empty() && !u.resumed && fileStamp(f->file) == stamp) u.sealedPlainSha = sha; // sealed as hashed
    u.storeConfirmed = checkWritten(name, u, sha);
    std::lock_guard<std::mutex> lock(uploadedMutex_);
    uploaded_[f->path] = u;
}

// A pack is written whole in one request, under a name never used before, and
// checked as any object is: read back at once, or, where the store's own
// checksum confirmed it and reading back is charged, by the rotation of a later
// run (each object in it is marked as any object would be).
void BackupEngine::Run::sendPack(const std::vector<const Local*>& members) {
    const StreamNonce tag = TreskCrypto::freshNonce();
    const std::string pack = objectsPrefix_ + e.crypto_.nameTag("pack:" + lowerHex(tag.data(), tag.size()));
    noteForCleanup({pack});
    std::string bytes;
    std::vector<std::pair<const Local*, Uploaded>> in;
    for (const Local* f : members) {
        const std::string& name = entries_.at(f->path).at("name").get_ref<const std::string&>();
        const std::string& stamp = stampOf_.at(f->path);
        Uploaded u;
        u.pack = pack;
        u.offset = bytes.size();
        try {
            const StreamNonce nonce = TreskCrypto::freshNonce();
            TreskCrypto::SealingReader reader(e.crypto_, f->file, name, nonce, stamp.empty());
            u.sealedSize = reader.size();
            u.nonce = lowerHex(nonce.data(), nonce.size());
            bytes.resize(u.offset + u.sealedSize);
            reader.read(0, reinterpret_cast<unsigned char*>(bytes.data()) + u.offset, u.sealedSize);
            u.sealedPlainSha = reader.plainSha256();
        } catch (...) {
            if (fs::exists(f->file)) throw;
            bytes.resize(u.offset);
            std::lock_guard<std::mutex> lock(uploadedMutex_);
            vanished_.insert(f->path);
            continue;
        }
        if (!stamp.empty() && fileStamp(f->file) == stamp) u.sealedPlainSha = shaOf_.at(f->path); // sealed as hashed
        in.emplace_back(f, std::move(u));
    }
    if (in.empty()) return;
    const bool confirmed = e.dest_->putConfirmed(pack, bytes.size(),
                                                 [&](uint64_t off, unsigned char* buf, size_t n) {
                                                     std::memcpy(buf, bytes.data() + off, n);
                                                 },
                                                 ObjectClass::data, {});
    sent(bytes.size());
    for (size_t i = 0; i < in.size(); ++i) partDone();

    bool sealedAsNamed = true;
    for (const auto& [f, u] : in) {
        if (!u.sealedPlainSha.empty() && u.sealedPlainSha != shaOf_.at(f->path)) throw mismatch(pack); // changed
        sealedAsNamed = sealedAsNamed && !u.sealedPlainSha.empty();
    }
    const bool readLater = confirmed && sealedAsNamed && verification_ == VerificationLevel::readBack &&
                           e.dest_->readsAreCharged();
    if (verification_ != VerificationLevel::none && !readLater) {
        // Read back once, whole; every object in it must open under its own
        // name, carry its nonce and (when not hashed while sealed) its content.
        const bool holds = matchesSoon([&] {
            const auto back = readHead(*e.dest_, pack, bytes.size() + 1); // (a longer one is not what was sent)
            if (!back || back->size() != bytes.size()) return false;
            return std::all_of(in.begin(), in.end(), [&](const auto& member) {
                const auto& [f, u] = member;
                const std::string sha = u.sealedPlainSha.empty() ? shaOf_.at(f->path) : std::string();
                return openedNonce(e.crypto_, entries_.at(f->path).value("name", ""), u.sealedSize, sha,
                                   [&](const ByteSink& sink) {
                                       sink(reinterpret_cast<const unsigned char*>(back->data()) + u.offset,
                                            u.sealedSize);
                                       return true;
                                   }) == u.nonce;
            });
        });
        if (!holds) throw mismatch(pack);
    }
    // A later run stopped before its manifest names them takes them over.
    json recorded = json::array();
    for (const auto& [f, u] : in)
        recorded.push_back({{"name", entries_.at(f->path).value("name", "")},
                            {kOffsetField, u.offset},
                            {"sealedSize", u.sealedSize},
                            {"nonce", u.nonce}});
    changeResume(e.resumeMutex_, e.resumePath_, [&](ResumeState& st) {
        st.packs.push_back({{"destination", identity_}, {"name", pack}, {"members", recorded}});
    });
    std::lock_guard<std::mutex> lock(uploadedMutex_);
    for (auto& [f, u] : in) {
        u.storeConfirmed = readLater;
        uploaded_[f->path] = std::move(u);
    }
}

void BackupEngine::Run::uploadAndVerify() {
    sendFiles(toSend_);
    if (dbDamaged_) snapshotNow();
    if (snapshotDone_.valid()) snapshotDone_.wait();
    // Files an ingest stored while the snapshot was made: the snapshot may name them.
    lateFiles_ = filesAddedSince(files_, listArchiveFiles(attachments_));
    std::vector<const Local*> late;
    for (const Local& f : lateFiles_) late.push_back(&f);
    const std::vector<const Local*> lateSend = classify(late);
    for (const Local* f : lateSend) countIn(TreskCrypto::sealedSize(f->size));
    sendFiles(lateSend);
    for (const auto& path : vanished_) entries_.erase(path);

    for (const auto& [path, u] : uploaded_) {
        receipt.resumed = receipt.resumed || u.resumed;
        receipt.bytes += u.sealedSize;
        json& o = entries_.at(path);
        o["sealedSize"] = u.sealedSize;
        o["nonce"] = u.nonce;
        if (!u.pack.empty()) {
            o[kPackField] = u.pack;
            o[kOffsetField] = u.offset;
        }
        if (u.storeConfirmed) {
            o[kStoreConfirmedField] = generation_;
            ++receipt.storeConfirmed;
        }
    }
    for (const auto& [path, o] : entries_) objects_.push_back(o);
    sendDatabase();
}

void BackupEngine::Run::sendDatabase() {
    std::optional<Snapshot> made;
    if (snapshotDone_.valid()) made = snapshotDone_.get();
    const std::string fingerprint = made ? made->sha256 : previousDb_->value("sha256", "");
    const uint64_t dbPlainSize = fs::exists(snapshot_) ? stdfs::file_size(snapshot_)
                                                       : previousDb_->value("size", uint64_t(0));
    auto dropDbFromProgress = [&] {
        std::lock_guard<std::recursive_mutex> lock(progressMutex_);
        p_.total -= static_cast<int64_t>(dbSealed_);
        p_.parts -= dbParts_;
        report();
    };
    if (previousDb_ && !dbDamaged_ && previousDb_->value("sha256", "") == fingerprint &&
        previousDb_->value("size", uint64_t(0)) == dbPlainSize) {
        auto remote = stored_.find(previousDb_->value("name", ""));
        if (remote != stored_.end() && remote->second == previousDb_->value("sealedSize", uint64_t(0))) {
            dbEntry_ = *previousDb_; // unchanged since the backup in place
            if (dbReadBack_) dbEntry_.erase(kStoreConfirmedField);
            if (sourceStamp_.empty()) dbEntry_.erase("sourceStamp");
            else dbEntry_["sourceStamp"] = sourceStamp_;
            dropDbFromProgress();
            return;
        }
        if (keepOldManifest_) damaged_.push_back(kDamagedDatabase); // gone or changed size at rest
    }
    // Stored compressed (compression.h), what is sealed, checked and resumed is
    // the compressed file; else the snapshot itself, under a name of its own.
    if (!made) throw BackupError("the snapshot of the archive database was not made");
    const std::optional<CompressedFile>& compressed = made->compressed;
    const stdfs::path stored = compressed ? packedSnapshot() : snapshot_;
    const std::string storedSha = compressed ? compressed->sha256 : fingerprint;
    const std::string dbName = objectsPrefix_ + e.crypto_.nameTag("database:" + remoteName_ + ":" + fingerprint +
                                                                  (compressed ? std::string(":") + kZstdEncoding : ""));
    const uint64_t dbSealedSize = TreskCrypto::sealedSize(compressed ? compressed->size : dbPlainSize);
    std::optional<std::string> dbNonce;
    if (auto held = adopt(dbName, dbSealedSize, storedSha)) dbNonce = held->nonce;
    bool dbStoreConfirmed = false;
    if (dbNonce) {
        dropDbFromProgress();
    } else {
        noteForCleanup({dbName});
        {
            std::lock_guard<std::recursive_mutex> lock(progressMutex_);
            uint64_t part = partSize(dbSealedSize);
            p_.total += static_cast<int64_t>(dbSealedSize) - static_cast<int64_t>(dbSealed_);
            p_.parts += static_cast<int>((dbSealedSize + part - 1) / part) - dbParts_;
        }
        Uploaded db = e.uploadFile(
            stored, dbName, "sha256:" + storedSha, ObjectClass::data, e.options_.threads,
            [this](uint64_t n) { sent(n); }, [this] { partDone(); });
        dbStoreConfirmed = checkWritten(dbName, db, storedSha);
        receipt.resumed = receipt.resumed || db.resumed;
        receipt.bytes += db.sealedSize;
        dbNonce = db.nonce;
    }
    dbEntry_ = {{"name", dbName},
                {"size", dbPlainSize},
                {"sha256", fingerprint},
                {"sealedSize", dbSealedSize},
                {"nonce", *dbNonce}};
    if (compressed) {
        dbEntry_["encoding"] = kZstdEncoding;
        dbEntry_["encodedSize"] = compressed->size;
        dbEntry_["encodedSha256"] = compressed->sha256;
    }
    if (!sourceStamp_.empty()) dbEntry_["sourceStamp"] = sourceStamp_;
    if (dbStoreConfirmed) {
        dbEntry_[kStoreConfirmedField] = generation_;
        ++receipt.storeConfirmed;
    }
}

void BackupEngine::Run::switchManifest() {
    receipt.damaged = damaged_;
    // Damage found whose file left this computer before it could be sent again.
    for (const auto& d : damaged_)
        if (vanished_.count(d)) receipt.unrepaired.push_back(d);
    const std::string createdAt = formatISO8601(std::chrono::system_clock::now());
    const bool anyPacked = std::any_of(objects_.begin(), objects_.end(),
                                       [](const json& o) { return o.contains(kPackField); });
    json manifest = {{"format", anyPacked ? 3 : 2}, {"generation", generation_},
                     {"createdAt", createdAt},      {"remoteName", remoteName_},
                     {"database", dbEntry_},        {"objects", objects_},
                     {"auditNext", auditNext_},     {"copies", 2}};
    // What the database holds, so that the next run can tell cheaply whether
    // this backup holds anything its archive lacks (backup_merge.h).
    std::optional<ArchiveContents> contents;
    std::optional<RecordDigest> taken; // of the snapshot's records, which the store goes on from
    if (fs::exists(snapshot_))
        contents = archiveContents(snapshot_, heldRecords_ ? &*heldRecords_ : nullptr, &taken.emplace());
    else if (auto c = contentsIn(inPlace_);
             c && previousDb_ && dbEntry_.value("name", "") == previousDb_->value("name", ""))
        contents = c; // the database in place is kept as it is
    if (contents)
        manifest["contents"] = {{"records", contents->records},
                                {"digest", contents->digest},
                                {"messages", contents->messages},
                                {"checkpoints", contents->checkpoints}};
    if (const auto& head = e.options_.manifestHead)
        manifest["manifestHead"] = {{"recordCount", head->recordCount},
                                    {"chainHead", head->chainHead},
                                    {"generatedAt", head->generatedAt}};
    if (const auto& anchors = e.options_.pendingAnchors) {
        json waiting = json::parse(*anchors, nullptr, false);
        if (waiting.is_array() && !waiting.empty()) manifest["pendingAnchors"] = std::move(waiting);
    }
    std::string manifestText = manifest.dump();
    e.dest_->flush();  // every object the manifest names is durable before the manifest is written
    lease_->confirm(); // a run that lost its lease while stalled never writes over the one that took over
    // The manifest being replaced is kept first, as it is: a store that writes an
    // object in place and is stopped while it writes the new one still holds a whole one.
    if (keepOldManifest_) {
        const std::string& kept = *oldManifest_;
        e.dest_->put(manifestName_ + kReplacedManifestSuffix, kept.size(),
                     [&](uint64_t off, unsigned char* buf, size_t n) { std::memcpy(buf, kept.data() + off, n); },
                     ObjectClass::control, {});
        receipt.bytes += kept.size();
    }
    // Its second copy goes first: a run stopped between the two leaves the
    // newer one in place, which the next run takes (and names the other).
    const std::string sealedManifest = e.crypto_.seal(manifestText, manifestName_);
    const std::string copyName = manifestName_ + kManifestCopySuffix;
    for (const std::string* name : {&copyName, &manifestName_}) {
        e.dest_->put(*name, sealedManifest.size(),
                     [&](uint64_t off, unsigned char* buf, size_t n) {
                         std::memcpy(buf, sealedManifest.data() + off, n);
                     },
                     ObjectClass::control, {});
        receipt.bytes += sealedManifest.size();
    }
    if (verification_ != VerificationLevel::none) {
        for (const std::string* name : {&copyName, &manifestName_})
            if (!matchesSoon([&] { return e.readRaw(*name) == sealedManifest; }))
                throw mismatch(*name == copyName ? "the second copy of the backup's manifest"
                                                 : "the backup's manifest");
        receipt.verification = e.dest_->canReadBackData() ? UploadReceipt::Verification::verified
                                                          : UploadReceipt::Verification::checkedByMetadata;
        if (!receipt.unrepaired.empty()) receipt.verification = UploadReceipt::Verification::notChecked;
    }
    receipt.generation = generation_;
    receipt.rolledBack = rolledBack_;
    try {
        if (memory_) memory_->remember(identity_, manifestName_, {generation_, createdAt});
    } catch (const std::exception&) {
        // The backup stands; only the next run's look for a rollback knows less.
    }
    try {
        // Kept only when the store is still the file the snapshot was taken of.
        if (recordMemory_ && contents && taken && !storeIdentity_.empty() &&
            RecordMemory::identityOf(storeFile_) == storeIdentity_)
            recordMemory_->remember(e.crypto_, storeIdentity_, identity_, manifestName_, *taken);
    } catch (const std::exception&) {
        // The backup stands; only the next run's check reads every record again.
    }
}

void BackupEngine::Run::sweep() {
    // What the new manifest names, and what the one it replaced names: that
    // backup is now the previous one, and stays whole until a later run
    // replaces it in turn. A cleanup entry for one of the latter stays for it.
    std::set<std::string> named = {dbEntry_.value("name", "")};
    for (const auto& o : objects_) named.insert(storedObjectOf(o));
    std::set<std::string> keep = named;
    keep.insert(oldNames_.begin(), oldNames_.end());
    std::vector<CleanupEntry> pending;
    changeResume(e.resumeMutex_, e.resumePath_, [&](ResumeState& st) {
        for (const auto& c : st.cleanup)
            if (c.destination == identity_ && underThisBackup(c.name)) pending.push_back(c);
    });
    if (!e.resumePath_)
        for (const auto& n : toWrite_) pending.push_back({identity_, n});
    // What only the backup before the previous one named, whichever computer wrote it.
    for (const auto& n : replacedNames_)
        if (!keep.count(n) && underThisBackup(n)) pending.push_back({identity_, n});
    std::vector<CleanupEntry> settled;
    for (const auto& c : pending) {
        if (keep.count(c.name) && !named.count(c.name)) continue; // the previous backup's, for a later run
        if (!keep.count(c.name)) {
            try {
                checkRemoteName(c.name, "object name");
                e.dest_->remove(c.name);
            } catch (const BackupError&) {
                continue;
            }
        }
        settled.push_back(c);
    }
    // Unfinished uploads of content this backup no longer holds are abandoned.
    std::vector<ResumeEntry> abandoned;
    changeResume(e.resumeMutex_, e.resumePath_, [&](ResumeState& st) {
        std::erase_if(st.cleanup, [&](const CleanupEntry& c) {
            return std::find(settled.begin(), settled.end(), c) != settled.end();
        });
        std::erase_if(st.uploads, [&](const ResumeEntry& u) {
            if (u.destination != identity_ || !underThisBackup(u.name)) return false;
            abandoned.push_back(u);
            return true;
        });
        // Packs are named by the manifest now, or removed above.
        json packs = json::array();
        for (const auto& pack : st.packs)
            if (!pack.is_object() || pack.value("destination", "") != identity_ ||
                !underThisBackup(pack.value("name", "")))
                packs.push_back(pack);
        st.packs = std::move(packs);
    });
    for (const auto& u : abandoned) e.dest_->abortUpload(u.name, u.uploadId);
}

UploadReceipt BackupEngine::backup(const std::string& remoteName, const stdfs::path& storeFile,
                                   VerificationLevel verification, const ProgressCallback& progress) {
    Run run(*this, remoteName, storeFile, verification, progress);
    run.refuseAForeignKey();
    run.takeLease();
    run.readWhatIsInPlace();
    run.mergeWhatOnlyTheBackupHolds();
    run.startSnapshot();
    run.plan();
    run.audit();
    run.uploadAndVerify();
    // Everything the new manifest names is stored and checked; the backup in
    // place is still whole, and everything it held is in what replaces it: the
    // merge above ran under this run's lease, so no other run changed it since.
    run.switchManifest();
    if (!options_.machineID.empty()) {
        const size_t slash = remoteName.rfind('/');
        try {
            exchangeMachineReports(*dest_, crypto_,
                                   prefix_ + "/" + (slash == std::string::npos ? "" : remoteName.substr(0, slash + 1)),
                                   options_.machineID, storeFile, std::chrono::system_clock::now());
        } catch (const std::exception&) {
            // The backup stands; "Your Macs" lists the others after a later run.
        }
    }
    run.sweep();
    return run.receipt;
}

RestoreReport BackupEngine::restore(const std::string& remoteName, const stdfs::path& targetFolder,
                                    const ProgressCallback& progress, bool previousBackup) {
    const std::string legacyDbName = fullName(remoteName);
    const std::string manifestName = legacyDbName + ".manifest";
    const OwnerPaths target = ArchiveLayout::inFolder(targetFolder.string());
    if (fs::exists(target.database))
        throw BackupError(targetFolder.string() + " already holds an archive; restore into an empty folder");
    requireEmptyRestoreTarget(targetFolder); // before anything is downloaded
    RestoreReport report;
    std::optional<std::string> sealed;
    if (previousBackup) {
        sealed = readRaw(manifestName + kReplacedManifestSuffix);
        if (!sealed) throw BackupError("there is no earlier backup of " + remoteName + " at " + dest_->label());
        report.fromReplacedManifest = true;
    } else {
        ManifestInPlace found = manifestInPlace(manifestName);
        sealed = std::move(found.sealed);
        report.fromManifestCopy = found.fromCopy;
        report.fromReplacedManifest = found.fromReplaced;
        report.manifestTrouble = found.manifestTrouble;
    }
    if (!sealed) throw BackupError("there is no backup of " + remoteName + " at " + dest_->label());
    json m = json::parse(crypto_.open(*sealed, manifestName), nullptr, false); // (the kept copy is sealed alike)
    const int format = m.is_object() ? m.value("format", 0) : 0;
    if (format < 1 || format > 3 || !m.contains("database") || !m.contains("objects"))
        throw BackupError("the backup's manifest is not in a form this version understands");
    if (m.value("remoteName", "") != remoteName) throw SealError("the backup's manifest belongs to another archive");
    report.generation = m.value("generation", uint64_t(0));
    if (auto when = parseISO8601(m.value("createdAt", ""))) report.backedUpAt = *when;
    if (const auto head = m.find("manifestHead"); head != m.end() && head->is_object()) {
        CarriedManifestHead carried{head->value("recordCount", int64_t(0)), head->value("chainHead", ""),
                                    head->value("generatedAt", "")};
        if (carried.recordCount > 0 && !carried.chainHead.empty()) report.manifestHead = std::move(carried);
    }
    if (const auto anchors = m.find("pendingAnchors"); anchors != m.end() && anchors->is_array())
        report.pendingAnchors = anchors->dump();
    if (options_.generations && !previousBackup) { // (an earlier backup, asked for, is older by design)
        auto last = GenerationMemory(*options_.generations).lastWritten(dest_->resumeIdentity(), manifestName);
        if (last && last->generation > report.generation)
            report.rolledBack = RolledBack{report.generation, m.value("createdAt", ""), last->generation,
                                           last->createdAt};
    }

    // A stored object that is not the copy the manifest records. In the first
    // layout a backup run that stopped between writing its objects and its
    // manifest left exactly that; since then objects are never written over, so
    // a difference means someone put another copy there.
    auto notRecorded = [&](const std::string& what) {
        if (format == 1)
            throw BackupError("the backup at " + dest_->label() + " is unfinished: a backup run stopped after it " +
                              "replaced " + what + " but before it recorded the new copy, so it cannot be restored " +
                              "as it stands. Run the backup again from the computer that holds the archive to store " +
                              "a complete one");
        throw SealError(what + " is not the copy this backup recorded (an older or other copy was put in its place)");
    };
    auto objectName = [&](const std::string& name) {
        checkRemoteName(name, "object name");
        if (name.compare(0, prefix_.size() + 1, prefix_ + "/") != 0)
            throw SealError("the backup's manifest names an object outside its own place");
        return name;
    };

    RestoreStaging staging(targetFolder);

    const json& dbEntry = m.at("database");
    const std::string dbName = format == 1 ? legacyDbName : objectName(dbEntry.value("name", ""));
    BackupProgress p;
    const json& objects = m.at("objects");
    p.parts = 1;
    p.total = dbEntry.value("sealedSize", int64_t(0));
    for (const auto& o : objects) {
        if (!isArchiveFilePath(o.value("path", ""))) continue;
        ++p.parts;
        p.total += o.value("sealedSize", int64_t(0));
    }

    const std::string stagedDb = ArchiveLayout::inFolder(staging.path().string()).database;
    try {
        StreamNonce nonce{};
        const bool compressed = dbEntry.value("encoding", "") == kZstdEncoding;
        if (dbEntry.contains("encoding") && !compressed)
            throw BackupError("the backup's database is stored in a form this version does not know");
        std::string storedSha;
        std::string dbSha = restoreObject(
            *dest_, crypto_, dbName, dbEntry.value("sealedSize", uint64_t(0)), stagedDb, &nonce,
            [&] { notRecorded("the stored archive database"); }, format == 1, compressed, &storedSha);
        if (dbSha != dbEntry.value("sha256", "") ||
            lowerHex(nonce.data(), nonce.size()) != dbEntry.value("nonce", "") ||
            (compressed && storedSha != dbEntry.value("encodedSha256", "")))
            notRecorded("the stored archive database");
    } catch (const Error& e) {
        // Without its database nothing of the archive can be restored. The
        // backup before this one may still hold a whole one: it is offered.
        if (format == 1 || previousBackup || report.fromReplacedManifest) throw;
        if (auto earlier = previousBackupAt(manifestName, remoteName, dbName))
            throw EarlierBackupAvailable(std::string(e.what()) + "; the backup before it, made " + *earlier +
                                         ", is still there whole and can be restored instead");
        throw;
    }
    report.databaseBytes = dbEntry.value("size", uint64_t(0));
    report.messages = countMessages(stagedDb);
    p.done += dbEntry.value("sealedSize", int64_t(0));
    ++p.part;
    if (progress) progress(p);

    // Every file that opens and matches is restored; one that does not is left
    // out, named, and the archive put in place is said to be incomplete. Files
    // are fetched side by side, those stored in packs a pack at a time; a
    // failure to reach the destination stops it all.
    struct Wanted {
        std::string rel, name;
        const json* entry;
    };
    struct Fetch { // one object at the destination: a file's own, or a pack
        std::string pack;
        std::vector<Wanted> files;
    };
    std::vector<Fetch> fetches;
    std::map<std::string, size_t> packFetch;
    for (const auto& o : objects) {
        std::string rel = o.value("path", "");
        checkRemoteName(rel, "attachment path");
        if (rel.rfind(attachmentsPrefix(), 0) != 0 && !isEvidenceFilePath(rel))
            throw SealError("the backup's manifest names a file outside the archive");
        if (!isArchiveFilePath(rel)) continue; // a file still being written when an older version backed it up
        Wanted w{rel, objectName(o.value("name", "")), &o};
        if (!o.contains(kPackField)) {
            fetches.push_back({"", {std::move(w)}});
            continue;
        }
        const std::string pack = objectName(o.value(kPackField, ""));
        auto [at, added] = packFetch.emplace(pack, fetches.size());
        if (added) fetches.push_back({pack, {}});
        fetches[at->second].files.push_back(std::move(w));
    }
    std::vector<std::string> lost;
    std::mutex restoredMutex;
    auto restoreFile = [&](const Wanted& w, const std::function<bool(const ByteSink&)>& source) {
        const json& o = *w.entry;
        const stdfs::path file = staging.path() / w.rel;
        bool ok = true;
        try {
            StreamNonce objectNonce{};
            std::string sha = restoreObject(
                *dest_, crypto_, w.name, o.value("sealedSize", uint64_t(0)), file, &objectNonce,
                [&] { notRecorded("the stored object for " + w.rel); }, format == 1, false, nullptr, source);
            if (lowerHex(objectNonce.data(), objectNonce.size()) != o.value("nonce", "") ||
                (o.contains("sha256") && sha != o.value("sha256", "")))
                notRecorded("the stored object for " + w.rel);
        } catch (const SealError&) {
            if (format == 1) throw;
            ok = false;
        } catch (const MissingObject&) {
            if (format == 1) throw;
            ok = false;
        }
        if (!ok) {
            std::error_code ec;
            stdfs::remove(file, ec); // never a file that did not check out
        }
        std::lock_guard<std::mutex> lock(restoredMutex);
        if (ok) ++report.objects;
        else lost.push_back(w.rel);
        p.done += o.value("sealedSize", int64_t(0));
        ++p.part;
        if (progress) progress(p);
    };
    parallelFor(fetches.size(), options_.threads, [&](size_t i) {
        const Fetch& f = fetches[i];
        if (f.pack.empty()) return restoreFile(f.files.front(), {});
        // The pack is read once, up to the end of the last file it holds here.
        uint64_t end = 0;
        for (const Wanted& w : f.files)
            end = std::max(end, w.entry->value(kOffsetField, uint64_t(0)) + w.entry->value("sealedSize", uint64_t(0)));
        const std::optional<std::string> bytes = readHead(*dest_, f.pack, end);
        for (const Wanted& w : f.files)
            restoreFile(w, [&](const ByteSink& sink) {
                const uint64_t offset = w.entry->value(kOffsetField, uint64_t(0));
                if (!bytes) return false;
                if (offset < bytes->size())
                    sink(reinterpret_cast<const unsigned char*>(bytes->data()) + offset,
                         static_cast<size_t>(
                             std::min<uint64_t>(w.entry->value("sealedSize", uint64_t(0)), bytes->size() - offset)));
                return true;
            });
    });
    std::sort(lost.begin(), lost.end());
    for (const std::string& rel : lost) { // and no folder made only for a file left out
        std::error_code ec;
        for (stdfs::path dir = (staging.path() / rel).parent_path(); dir != staging.path() && stdfs::is_empty(dir, ec);
             dir = dir.parent_path())
            stdfs::remove(dir, ec);
    }
    report.unrestored = describeLostFiles(stagedDb, lost);

    staging.putInPlace();
    return report;
}

std::optional<std::string> BackupEngine::previousBackupAt(const std::string& manifestName,
                                                          const std::string& remoteName, const std::string& dbName) {
    try {
        auto sealed = readRaw(manifestName + kReplacedManifestSuffix);
        if (!sealed) return std::nullopt;
        json m = json::parse(crypto_.open(*sealed, manifestName));
        const int format = m.value("format", 0);
        if (format < 2 || format > 3 || m.value("remoteName", "") != remoteName) return std::nullopt;
        const json& db = m.at("database");
        const std::string name = db.value("name", "");
        if (name == dbName || name.compare(0, prefix_.size() + 1, prefix_ + "/") != 0) return std::nullopt;
        checkRemoteName(name, "object name");
        auto nonce = checkStored(name, db.value("sealedSize", uint64_t(0)), storedContentSha(db));
        if (!nonce || *nonce != db.value("nonce", "")) return std::nullopt;
        return m.value("createdAt", std::string("at an unknown time"));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

} // namespace kx
