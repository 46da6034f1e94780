#include "core/backup/backup_engine.h"

#include "core/archive/archive_layout.h"
#include "core/backup/archive_walk.h"
#include "core/backup/restore_staging.h"
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

// A private scratch folder (0700) removed with everything in it when done.
class ScratchDir {
public:
    ScratchDir() {
        std::string base = (stdfs::temp_directory_path() / "kelvara-backup-XXXXXX").string();
        if (!::mkdtemp(base.data()))
            throw Error("could not make a private scratch folder (" + fs::errnoText(errno) + ")");
        path_ = base;
    }
    ~ScratchDir() {
        std::error_code ec;
        stdfs::remove_all(path_, ec);
    }
    const stdfs::path& path() const { return path_; }

private:
    stdfs::path path_;
};

// The resume file: a list of unfinished uploads.
struct ResumeEntry {
    std::string destination, name, fingerprint, keyId, nonce, uploadId;
    uint64_t partSize = 0;
    std::map<int, std::string> parts;
};

std::vector<ResumeEntry> loadResume(const std::optional<stdfs::path>& path) {
    std::vector<ResumeEntry> out;
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
            out.push_back(std::move(e));
        }
    } catch (const std::exception&) {
        out.clear();
    }
    return out;
}

void saveResume(const std::optional<stdfs::path>& path, const std::vector<ResumeEntry>& entries) {
    if (!path) return;
    json uploads = json::array();
    for (const auto& e : entries) {
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
    // Written atomically (temporary file, then rename) but not flushed to disk:
    // losing the latest version to a power cut only means resending a part.
    std::string text = json{{"uploads", uploads}}.dump(2);
    if (path->has_parent_path()) fs::createPrivateDirectories(path->parent_path());
    try {
        fs::writeFileAtomic(*path, text, fs::kPrivateFileMode, fs::Durability::renamedOnly);
    } catch (const Error& e) {
        throw Error("could not save the resume state " + path->string() + " (" + e.what() + ")");
    }
}

// Downloads and opens one object into a file, returning the plaintext hash.
std::string restoreObject(BackupDestination& dest, const TreskCrypto& crypto, const std::string& name,
                          uint64_t sealedSize, const stdfs::path& target, StreamNonce* nonceOut) {
    fs::createPrivateDirectories(target.parent_path());
    UniqueFd fd(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd) throw Error("could not write " + target.string() + " (" + fs::errnoText(errno) + ")");
    Sha256 hash;
    std::string head;
    auto info = dest.head(name);
    if (!info) throw BackupError("the stored object " + name + " is missing at " + dest.label());
    if (sealedSize && info->size != sealedSize)
        throw SealError("the stored object " + name + " is not the copy this backup recorded (its size differs)");
    TreskCrypto::Opener opener(crypto, name, info->size, [&](const unsigned char* p, size_t n) {
        hash.update(p, n);
        if (const int err = writeAll(fd.get(), p, n))
            throw Error("could not write the restored archive (" + fs::errnoText(err) + ")");
    });
    bool found = dest.get(name, [&](const unsigned char* p, size_t n) {
        if (head.size() < TreskCrypto::kHeaderSize)
            head.append(reinterpret_cast<const char*>(p), std::min(n, TreskCrypto::kHeaderSize - head.size()));
        opener.feed(p, n);
    });
    if (!found) throw BackupError("the stored object " + name + " is missing at " + dest.label());
    opener.finish();
    if (::fsync(fd.get()) != 0) throw Error("could not write " + target.string() + " (" + fs::errnoText(errno) + ")");
    if (const int err = fd.close()) throw Error("could not write " + target.string() + " (" + fs::errnoText(err) + ")");
    if (nonceOut) *nonceOut = TreskCrypto::nonceOf(head);
    return hash.finishHex();
}

} // namespace

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
    sqlite3_exec(src, "PRAGMA mmap_size=1073741824", nullptr, nullptr, nullptr); // fewer read calls
    if (sqlite3_open_v2(target.c_str(), &dst, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        std::string why = dst ? sqlite3_errmsg(dst) : "out of memory";
        closeBoth();
        throw Error("could not make a snapshot of the archive database (" + why + ")");
    }
    // The snapshot is scratch until it is sealed: no journal, no flushes.
    sqlite3_exec(dst, "PRAGMA synchronous=OFF; PRAGMA journal_mode=OFF; PRAGMA cache_size=-65536;", nullptr, nullptr,
                 nullptr);
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

BackupEngine::Uploaded BackupEngine::uploadFile(const stdfs::path& plain, const std::string& name,
                                                const std::string& fingerprint, ObjectClass cls, int threads,
                                                const std::function<void(uint64_t)>& sent,
                                                const std::function<void()>& partDone) {
    uint64_t plainSize = stdfs::file_size(plain);
    uint64_t sealedSize = TreskCrypto::sealedSize(plainSize);
    uint64_t partSize = options_.partSize ? options_.partSize : dest_->partSizeFor(sealedSize);
    Uploaded out;
    out.sealedSize = sealedSize;

    if (sealedSize <= partSize) {
        StreamNonce nonce = TreskCrypto::freshNonce();
        TreskCrypto::SealingReader reader(crypto_, plain, name, nonce);
        dest_->put(name, sealedSize, [&](uint64_t off, unsigned char* buf, size_t n) { reader.read(off, buf, n); }, cls,
                   {{"kx-plain-size", std::to_string(plainSize)}});
        out.nonce = lowerHex(nonce.data(), nonce.size());
        sent(sealedSize);
        partDone();
        return out;
    }

    const std::string identity = dest_->resumeIdentity();
    auto sameUpload = [&](const ResumeEntry& x) { return x.destination == identity && x.name == name; };
    // Every change of the resume file happens under resumeMutex_, re-reading the
    // file first, so uploads running side by side keep each other's entries.
    auto update = [&](const std::function<void(std::vector<ResumeEntry>&)>& change) {
        std::lock_guard<std::mutex> lock(resumeMutex_);
        std::vector<ResumeEntry> entries = loadResume(resumePath_);
        change(entries);
        saveResume(resumePath_, entries);
    };

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
        e.uploadId = dest_->beginUpload(name, partSize, cls, {{"kx-plain-size", std::to_string(plainSize)}});
        update([&](std::vector<ResumeEntry>& entries) {
            std::erase_if(entries, sameUpload);
            entries.push_back(e);
        });
        return e;
    };
    auto forget = [&] { update([&](std::vector<ResumeEntry>& entries) { std::erase_if(entries, sameUpload); }); };

    bool resumed = entry.has_value() && !entry->parts.empty();
    ResumeEntry e = entry ? *entry : startFresh();
    const int partCount = static_cast<int>((sealedSize + partSize - 1) / partSize);
    std::mutex partsMutex;
    for (int attempt = 0;; ++attempt) {
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
                TreskCrypto::SealingReader reader(crypto_, plain, name, *nonceFromHex(e.nonce));
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
        } catch (const UploadNotFound&) {
            // The destination forgot the upload (expired or aborted): start over once.
            forget();
            if (attempt > 0) throw;
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

UploadReceipt BackupEngine::backup(const std::string& remoteName, const stdfs::path& storeFile,
                                   VerificationLevel verification, const ProgressCallback& progress) {
    const std::string dbName = fullName(remoteName);
    const std::string manifestName = dbName + ".manifest";
    std::string area = remoteName.find('/') == std::string::npos ? "" : remoteName.substr(0, remoteName.rfind('/'));
    const std::string objectsPrefix = prefix_ + "/" + (area.empty() ? "" : area + "/") + "objects/";

    if (!fs::isRegularFile(storeFile)) throw Error("there is no archive database at " + storeFile.string());

    // The backup already there, read before anything at the destination changes.
    // One sealed with a key this keyring does not hold (a new machine, a reset
    // keyring) is never replaced: its phrase would then restore nothing.
    auto refuseForeign = [&](const std::optional<std::string>& manifest) {
        auto keyId = manifest ? TreskCrypto::keyIdOf(*manifest) : std::nullopt;
        if (keyId && !crypto_.holdsKey(*keyId))
            throw ForeignKeyBackupError("the destination holds a backup made with a different key; restore that key "
                                        "from its recovery phrase, or choose another destination");
    };
    refuseForeign(readRaw(manifestName));
    // One run at a time; what the previous run left is read once this run holds the lease.
    BackupLease lease(dest_, dbName + ".lease", options_.lease);
    std::optional<std::string> oldManifest = readRaw(manifestName);
    refuseForeign(oldManifest);
    // What killed runs of this backup left there, but for uploads this computer can still resume.
    {
        std::set<std::string> resumable;
        for (const auto& e : loadResume(resumePath_))
            if (e.destination == dest_->resumeIdentity()) resumable.insert(e.uploadId);
        dest_->sweepTemporaries(area.empty() ? prefix_ : prefix_ + "/" + area, !area.empty(), resumable);
    }

    ScratchDir scratch;
    stdfs::path snapshot = scratch.path() / ArchiveLayout::kDatabaseFile;
    // The snapshot and its fingerprint are made while the attachment files
    // upload (they do not depend on it); the database goes up afterwards.
    std::future<std::string> snapshotDone = std::async(std::launch::async, [&] {
        snapshotDatabase(storeFile, snapshot);
        return Sha256::hexOfFile(snapshot);
    });
    struct WaitForSnapshot {
        std::future<std::string>& f;
        ~WaitForSnapshot() {
            if (f.valid()) f.wait(); // never leave the scratch folder while the snapshot writes into it
        }
    } waitForSnapshot{snapshotDone};
    uint64_t dbPlainSize = stdfs::file_size(storeFile); // an estimate until the snapshot is made

    // The owner's attachment files (archive_walk.h).
    using Local = ArchiveFile;
    const stdfs::path attachments = ArchiveLayout::besideDatabase(storeFile.string()).attachments;
    std::vector<Local> files = listArchiveFiles(attachments);

    // What the previous backup already stored.
    std::map<std::string, json> previous;
    try {
        if (oldManifest) {
            json old = json::parse(crypto_.open(*oldManifest, manifestName));
            for (const auto& o : old.at("objects")) previous[o.at("path").get<std::string>()] = o;
        }
    } catch (const SealError&) {
        // Unreadable with this keyring: everything is sent again.
    } catch (const json::exception&) {
    }
    std::map<std::string, uint64_t> stored;
    for (auto& [n, size] : dest_->list(objectsPrefix)) stored[n] = size;

    std::vector<const Local*> toSend;
    json objects = json::array();
    std::map<std::string, json*> entryOf;
    for (const auto& f : files) {
        std::string name = objectsPrefix + crypto_.nameTag(f.path);
        auto prev = previous.find(f.path);
        auto remote = stored.find(name);
        bool present = prev != previous.end() && remote != stored.end() && prev->second.value("name", "") == name &&
                       prev->second.value("size", uint64_t(0)) == f.size &&
                       remote->second == prev->second.value("sealedSize", uint64_t(0));
        if (present) {
            objects.push_back(prev->second);
        } else {
            objects.push_back({{"path", f.path}, {"name", name}, {"size", f.size}});
            toSend.push_back(&f);
        }
    }

    BackupProgress p;
    uint64_t dbSealed = TreskCrypto::sealedSize(dbPlainSize);
    uint64_t dbPart = options_.partSize ? options_.partSize : dest_->partSizeFor(dbSealed);
    p.total = static_cast<int64_t>(dbSealed);
    for (const Local* f : toSend) p.total += static_cast<int64_t>(TreskCrypto::sealedSize(f->size));
    p.parts = static_cast<int>((dbSealed + dbPart - 1) / dbPart);
    for (const Local* f : toSend) {
        uint64_t sealed = TreskCrypto::sealedSize(f->size);
        uint64_t part = options_.partSize ? options_.partSize : dest_->partSizeFor(sealed);
        p.parts += sealed <= part ? 1 : static_cast<int>((sealed + part - 1) / part);
    }
    const int dbParts = static_cast<int>((dbSealed + dbPart - 1) / dbPart);
    std::recursive_mutex progressMutex;
    auto report = [&] {
        if (progress) progress(p);
    };
    auto sent = [&](uint64_t n) {
        std::lock_guard<std::recursive_mutex> lock(progressMutex);
        p.done += static_cast<int64_t>(n);
    };
    auto partDone = [&] {
        std::lock_guard<std::recursive_mutex> lock(progressMutex);
        ++p.part;
        report();
    };
    report();

    UploadReceipt receipt;
    // Attachments first, so the manifest written last only names stored objects.
    std::map<std::string, Uploaded> uploaded;
    std::set<std::string> vanished; // removed from the archive before they could be read
    std::mutex uploadedMutex;
    auto sendFiles = [&](size_t from) {
        parallelFor(toSend.size() - from, options_.threads, [&](size_t i) {
            const Local* f = toSend[from + i];
            std::string name = objectsPrefix + crypto_.nameTag(f->path);
            try {
                Uploaded u = uploadFile(f->file, name, "file:" + f->path + ":" + std::to_string(f->size),
                                        ObjectClass::data, 1, sent, partDone);
                std::lock_guard<std::mutex> lock(uploadedMutex);
                uploaded[f->path] = u;
            } catch (...) {
                if (fs::exists(f->file)) throw;
                std::lock_guard<std::mutex> lock(uploadedMutex);
                vanished.insert(f->path);
            }
        });
    };
    sendFiles(0);

    std::string fingerprint = snapshotDone.get();
    // Files an ingest stored while the snapshot was made: the snapshot may name them.
    const std::vector<Local> late = filesAddedSince(files, listArchiveFiles(attachments));
    const size_t lateFrom = toSend.size();
    for (const Local& f : late) {
        objects.push_back({{"path", f.path}, {"name", objectsPrefix + crypto_.nameTag(f.path)}, {"size", f.size}});
        toSend.push_back(&f);
        std::lock_guard<std::recursive_mutex> lock(progressMutex);
        uint64_t sealed = TreskCrypto::sealedSize(f.size);
        uint64_t part = options_.partSize ? options_.partSize : dest_->partSizeFor(sealed);
        p.total += static_cast<int64_t>(sealed);
        p.parts += sealed <= part ? 1 : static_cast<int>((sealed + part - 1) / part);
    }
    sendFiles(lateFrom);
    std::erase_if(toSend, [&](const Local* f) { return vanished.count(f->path) > 0; });
    for (auto it = objects.begin(); it != objects.end();) {
        if (vanished.count(it->at("path").get<std::string>())) it = objects.erase(it);
        else ++it;
    }

    for (const auto& [path, u] : uploaded) {
        receipt.resumed = receipt.resumed || u.resumed;
        receipt.bytes += u.sealedSize;
    }
    for (auto& o : objects) {
        auto it = uploaded.find(o.at("path").get<std::string>());
        if (it == uploaded.end()) continue;
        o["sealedSize"] = it->second.sealedSize;
        o["nonce"] = it->second.nonce;
    }

    dbPlainSize = stdfs::file_size(snapshot);
    {
        std::lock_guard<std::recursive_mutex> lock(progressMutex);
        uint64_t sealed = TreskCrypto::sealedSize(dbPlainSize);
        uint64_t part = options_.partSize ? options_.partSize : dest_->partSizeFor(sealed);
        p.total += static_cast<int64_t>(sealed) - static_cast<int64_t>(dbSealed);
        p.parts += static_cast<int>((sealed + part - 1) / part) - dbParts;
    }
    Uploaded db = uploadFile(snapshot, dbName, fingerprint, ObjectClass::data, options_.threads, sent, partDone);
    receipt.resumed = receipt.resumed || db.resumed;
    receipt.bytes += db.sealedSize;

    const std::string dbNonce = db.nonce;

    json manifest = {{"format", 1},
                     {"createdAt", formatISO8601(std::chrono::system_clock::now())},
                     {"remoteName", remoteName},
                     {"database",
                      {{"name", dbName},
                       {"size", dbPlainSize},
                       {"sha256", fingerprint},
                       {"sealedSize", db.sealedSize},
                       {"nonce", dbNonce}}},
                     {"objects", objects}};
    std::string manifestText = manifest.dump();
    dest_->flush();  // every object the manifest names is durable before the manifest is written
    lease.confirm(); // a run that lost its lease while stalled never writes over the one that took over
    std::string sealedManifest = crypto_.seal(manifestText, manifestName);
    dest_->put(manifestName, sealedManifest.size(),
               [&](uint64_t off, unsigned char* buf, size_t n) { std::memcpy(buf, sealedManifest.data() + off, n); },
               ObjectClass::control, {});
    receipt.bytes += sealedManifest.size();

    if (verification == VerificationLevel::none) return receipt;

    auto mismatch = [&](const std::string& what) {
        return BackupError("the copy stored at " + dest_->label() + " does not match what was sent (" + what +
                           "); run the backup again");
    };
    auto back = readSealed(manifestName);
    if (!back || *back != manifestText) throw mismatch("the backup's manifest");

    if (!dest_->canReadBackData()) {
        // Archival storage: compare size and the size metadata written with each object.
        auto check = [&](const std::string& name, uint64_t sealedSize, uint64_t plainSize) {
            auto info = dest_->head(name);
            if (!info || info->size != sealedSize) throw mismatch(name);
            auto m = info->metadata.find("kx-plain-size");
            if (m != info->metadata.end() && m->second != std::to_string(plainSize)) throw mismatch(name);
        };
        check(dbName, db.sealedSize, dbPlainSize);
        for (const Local* f : toSend)
            check(objectsPrefix + crypto_.nameTag(f->path), uploaded[f->path].sealedSize, f->size);
        receipt.verification = UploadReceipt::Verification::checkedByMetadata;
        return receipt;
    }

    // Reads an object back and opens it: it must authenticate under this key and
    // name and carry the nonce it was sealed with (so it is exactly what was sent).
    auto verifyObject = [&](const std::string& name, uint64_t sealedSize, const std::string& nonce,
                            const std::string& sha) {
        auto info = dest_->head(name);
        if (!info || info->size != sealedSize) throw mismatch(name + " has the wrong size");
        std::optional<Sha256> h;
        if (!sha.empty()) h.emplace();
        std::string head;
        TreskCrypto::Opener opener(crypto_, name, info->size, [&](const unsigned char* ptr, size_t n) {
            if (h) h->update(ptr, n);
        });
        try {
            if (!dest_->get(name, [&](const unsigned char* ptr, size_t n) {
                    if (head.size() < TreskCrypto::kHeaderSize)
                        head.append(reinterpret_cast<const char*>(ptr),
                                    std::min(n, TreskCrypto::kHeaderSize - head.size()));
                    opener.feed(ptr, n);
                }))
                throw mismatch(name + " is missing");
            opener.finish();
        } catch (const SealError& e) {
            throw mismatch(e.what());
        }
        StreamNonce got = TreskCrypto::nonceOf(head);
        if (lowerHex(got.data(), got.size()) != nonce) throw mismatch(name + " is another copy");
        if (h && h->finishHex() != sha) throw mismatch(name + " holds other content");
    };
    verifyObject(dbName, db.sealedSize, db.nonce, fingerprint);
    parallelFor(toSend.size(), options_.threads, [&](size_t i) {
        const Local* f = toSend[i];
        const Uploaded& u = uploaded.at(f->path);
        verifyObject(objectsPrefix + crypto_.nameTag(f->path), u.sealedSize, u.nonce, "");
    });
    receipt.verification = UploadReceipt::Verification::verified;
    return receipt;
}

RestoreReport BackupEngine::restore(const std::string& remoteName, const stdfs::path& targetFolder,
                                    const ProgressCallback& progress) {
    const std::string dbName = fullName(remoteName);
    const std::string manifestName = dbName + ".manifest";
    const OwnerPaths target = ArchiveLayout::inFolder(targetFolder.string());
    if (fs::exists(target.database))
        throw BackupError(targetFolder.string() + " already holds an archive; restore into an empty folder");
    requireEmptyRestoreTarget(targetFolder); // before anything is downloaded
    auto text = readSealed(manifestName);
    if (!text) throw BackupError("there is no backup of " + remoteName + " at " + dest_->label());
    json m = json::parse(*text, nullptr, false);
    if (!m.is_object() || m.value("format", 0) != 1 || !m.contains("database") || !m.contains("objects"))
        throw BackupError("the backup's manifest is not in a form this version understands");
    if (m.value("remoteName", "") != remoteName) throw SealError("the backup's manifest belongs to another archive");

    RestoreStaging staging(targetFolder);

    const json& dbEntry = m.at("database");
    BackupProgress p;
    const json& objects = m.at("objects");
    p.parts = 1;
    p.total = dbEntry.value("sealedSize", int64_t(0));
    for (const auto& o : objects) {
        if (!isArchiveFilePath(o.value("path", ""))) continue;
        ++p.parts;
        p.total += o.value("sealedSize", int64_t(0));
    }

    RestoreReport report;
    if (auto when = parseISO8601(m.value("createdAt", ""))) report.backedUpAt = *when;

    StreamNonce nonce{};
    std::string dbSha = restoreObject(*dest_, crypto_, dbName, dbEntry.value("sealedSize", uint64_t(0)),
                                      ArchiveLayout::inFolder(staging.path().string()).database, &nonce);
    std::string wantNonce = dbEntry.value("nonce", "");
    if (dbSha != dbEntry.value("sha256", "") || lowerHex(nonce.data(), nonce.size()) != wantNonce)
        throw SealError("the stored archive database is not the copy this backup recorded (an older or other copy "
                        "was put in its place)");
    report.databaseBytes = dbEntry.value("size", uint64_t(0));
    p.done += dbEntry.value("sealedSize", int64_t(0));
    ++p.part;
    if (progress) progress(p);

    for (const auto& o : objects) {
        std::string rel = o.value("path", "");
        checkRemoteName(rel, "attachment path");
        if (rel.rfind(attachmentsPrefix(), 0) != 0)
            throw SealError("the backup's manifest names a file outside the archive");
        if (!isArchiveFilePath(rel)) continue; // a file still being written when an older version backed it up
        std::string name = o.value("name", "");
        checkRemoteName(name, "object name");
        StreamNonce objectNonce{};
        restoreObject(*dest_, crypto_, name, o.value("sealedSize", uint64_t(0)), staging.path() / rel, &objectNonce);
        if (lowerHex(objectNonce.data(), objectNonce.size()) != o.value("nonce", ""))
            throw SealError("the stored object for " + rel +
                            " is not the copy this backup recorded (an older or "
                            "other copy was put in its place)");
        ++report.objects;
        p.done += o.value("sealedSize", int64_t(0));
        ++p.part;
        if (progress) progress(p);
    }

    staging.putInPlace();
    return report;
}

} // namespace kx
