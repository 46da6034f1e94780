#include "core/backup/backup_engine.h"

#include "core/archive/archive_layout.h"
#include "core/archive/snapshot.h"
#include "core/backup/archive_walk.h"
#include "core/backup/backup_merge.h"
#include "core/backup/backup_objects.h"
#include "core/backup/backup_resume.h"
#include "core/backup/compression.h"
#include "core/backup/generation_memory.h"
#include "core/backup/machine_exchange.h"
#include "core/backup/record_memory.h"
#include "core/backup/stored_audit.h"
#include "core/platform/fs.h"
#include "core/platform/hex.h"
#include "core/platform/sha256.h"

#include <SQLiteCpp/Backup.h>
#include <SQLiteCpp/SQLiteCpp.h>
#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <future>
#include <map>
#include <set>
#include <sys/stat.h>
#include <thread>

namespace kx {

namespace stdfs = std::filesystem;
using nlohmann::json;

namespace {

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

// Marks a manifest entry whose object was confirmed only by the store's own
// checksum when the run of that generation wrote it, not read back since.
constexpr const char* kStoreConfirmedField = "storeConfirmed";

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

// Some stores answer a write before it can be read back whole, so a copy that
// does not match yet is read again after short pauses before the run fails.
bool matchesSoon(const std::function<bool()>& matches) {
    for (int pause = 100;; pause *= 4) {
        if (matches()) return true;
        if (pause > 1600) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    }
}

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

} // namespace

bool restartResumes(const std::exception& failure) {
    return !dynamic_cast<const ForeignKeyBackupError*>(&failure) &&
           !dynamic_cast<const DestinationUnusable*>(&failure) && !dynamic_cast<const BackupBusyError*>(&failure) &&
           !dynamic_cast<const UnmergeableBackupError*>(&failure);
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
    if (!fs::isRegularFile(source)) throw Error("there is no archive database at " + source.string());
    std::optional<SQLite::Database> src;
    try {
        src.emplace(source.string(), SQLite::OPEN_READONLY, 10000);
    } catch (const SQLite::Exception& e) {
        throw Error("could not open the archive database " + source.string() + " (" + e.what() + ")");
    }
    int rc = SQLITE_OK;
    try {
        SQLite::Database dst(target.string(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
        // The snapshot is scratch until it is sealed: no journal, no flushes. Its
        // page cache stays small: the copy passes every page through it once, and a
        // large one only costs memory to fill (several times slower for 100 MB).
        dst.exec("PRAGMA synchronous=OFF; PRAGMA journal_mode=OFF;");
        {
            SQLite::Backup b(dst, *src);
            int busyRounds = 0;
            // One step copies every page under one read transaction, so the copy is of
            // one moment even while the archive is being written.
            while ((rc = b.executeStep(-1)) == SQLITE_OK || rc == SQLITE_BUSY || rc == SQLITE_LOCKED) {
                if (rc != SQLITE_OK) {
                    if (++busyRounds > 600) break;
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                }
            }
        }
        if (rc != SQLITE_DONE)
            throw Error("could not make a snapshot of the archive database " + source.string() + " (" +
                        sqlite3_errstr(rc) + ")");
        // The snapshot is one self-contained file.
        dst.exec("PRAGMA journal_mode=DELETE");
    } catch (const SQLite::Exception& e) {
        throw Error("could not make a snapshot of the archive database " + source.string() + " (" + e.what() + ")");
    }
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

} // namespace kx
