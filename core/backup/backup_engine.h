#pragma once
// Backs one owner's archive up to a destination, and restores it.
//
// Objects written under the name prefix P ("kelvara") for a remote name R
// ("jorin/tresk.db", whose folder A is "jorin"):
//   P/R.lease           while a run is under way: its lease (backup_lease.h)
//   P/R.manifest        the sealed manifest of this backup (JSON, below); always
//                       in the standard storage class so the next run can read it
//   P/R.manifest.copy   a second copy of P/R.manifest, byte for byte, written
//                       just before it: either one that opens is the backup in
//                       place (the newer generation when both open and differ),
//                       so one damaged, missing or older copy loses nothing, and
//                       the next run names it and writes both again
//   P/R.manifest.replaced  the manifest the last run replaced, byte for byte; it
//                       stands in when neither copy of P/R.manifest opens, and
//                       is what a restore of the previous backup reads. Every
//                       object it names stays at the destination until a later
//                       run has replaced it in turn, so it restores whole
//   P/A/objects/<tag>   one sealed object per attachment file and one for the
//                       database snapshot, named by a keyed hash of what it holds
//                       ("attachment:<path>:<sha256>", "database:R:<sha256>"), so
//                       an object is uploaded once and names reveal nothing
//   P/A/objects/<tag>   also, on destinations that pack small objects
//                       (BackupDestination::packsSmallObjects), a pack: the sealed
//                       objects of several small files one after the other, each
//                       sealed under its own name as it would be stored alone, so
//                       that one request stores many (its tag is keyed from a
//                       random text)
//   P/A/machines/<id>   each Mac's run report for this owner (machine_exchange.h);
//                       outside the manifest: a restore neither needs nor reads them
// Every object is sealed under its full name (crypto.h), so moving objects about
// on the destination makes them fail to open.
//
// The manifest is the commit point. A run writes new content under new names
// only, never over an object the manifest in place names (but one found damaged,
// which is replaced whole or not at all), checks what it wrote,
// then replaces the manifest; what neither the new manifest nor the one it
// replaced names is removed only after that (so the backup before the latest
// stays whole too). A run stopped at any point therefore leaves the previous backup
// whole, and the next run takes over the objects it already stored (they are
// listed, opened and compared with the content they should hold) instead of
// sending them again.
//
// Manifest (JSON before sealing): {"format":2, "generation": one more than the
// manifest it replaced (and than any this computer wrote there,
// generation_memory.h), "createdAt": ISO 8601, "remoteName": R, "database":
// {"name", "size", "sha256", "encoding", "encodedSize", "encodedSha256",
// "sealedSize", "nonce", "sourceStamp"}, "objects": [{"path", "name", "size",
// "sha256", "sealedSize", "nonce"}], "auditNext": the object name after which the
// next run goes on reading stored objects back (stored_audit.h), "manifestHead":
// {"recordCount", "chainHead", "generatedAt"} where the owner's manifest head
// was pinned (CarriedManifestHead), "pendingAnchors": the seals of exports
// still waiting for their anchor on this computer (pending_anchor_store.h),
// when any, "contents": {"records", "digest", "messages"} of the database
// (ArchiveContents, backup_merge.h), "copies": 2 (the manifest has its second
// copy; without it a missing second copy is not damage)}. An object entry (or the database's)
// carries "storeConfirmed": G while its object has not been read back since
// the run of generation G wrote it to an object store whose own checksum
// confirmed what it received; the run of generation G + kAuditCycle - 1 reads
// it back at the latest. An object entry with "pack" (the pack's full name) and
// "offset" is stored inside that pack, sealedSize bytes from offset; the
// manifest is then of format 3, which earlier versions refuse rather than
// misread. A pack stays while any entry names it. "encoding"
// ("zstd", compression.h) says the object holds the compressed file, of
// encodedSize bytes hashing to encodedSha256; without it the object holds the
// file itself. "objects" holds the attachment files and the evidence files
// (archive_walk.h). Manifests without "generation" count as generation 0. sourceStamp (databaseStamp) is
// the state the database file had before its snapshot was taken: a run that
// finds the file in that state again keeps the stored copy without reading the
// file. size is in plaintext bytes, sha256 the plaintext's hash, nonce
// (32 hex digits) the stream nonce the object was sealed with. Every sealing
// draws a fresh nonce and the seal authenticates it, so an object that opens and
// carries the recorded nonce is exactly the one this backup wrote: an older
// genuine copy put back in its place is refused by a restore. Format 1 (earlier
// versions) kept the database at P/R and its objects without "sha256"; such
// backups still restore, and the next run carries their objects over.
//
// Resume state ("resume-state.json", written atomically; it holds no secret):
// {"uploads": [{"destination", "name", "fingerprint", "keyId", "nonce",
// "partSize", "uploadId", "parts": [{"number", "tag"}]}], "cleanup":
// [{"destination", "name"}], "packs": [{"destination", "name", "members":
// [{"name", "offset", "sealedSize", "nonce"}]}]}. A pack entry lists what a run
// stored and checked in a pack, so that a later run takes those objects over
// (read back and compared, as any object a stopped run stored) instead of
// sending them again; pack entries go once a manifest was switched. An upload entry is reused only when destination,
// name, content hash ("sha256:<hex>") and key id all match; otherwise the old
// upload is aborted and the object starts afresh, so parts of different
// contents or keys are never joined and a nonce never seals two plaintexts. An
// entry whose upload was in fact completed is recognised by the stored object's
// size and nonce; one the destination refuses starts its object again. Cleanup
// entries name objects that may be unneeded once a newer manifest is in place
// (the ones the manifest being replaced named, and the ones a run set out to
// write); they are removed after the next manifest switch unless it names them.
#include "core/backup/backup_lease.h"
#include "core/backup/crypto.h"
#include "core/backup/destination.h"
#include "core/backup/stored_audit.h"
#include "core/platform/time.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kx {

// The destination already holds a backup of this archive sealed with a key this
// keyring does not hold; the engine then changes nothing there.
class ForeignKeyBackupError : public BackupError {
public:
    using BackupError::BackupError;
};

// A destination found holding an older backup than this computer last wrote
// there (generation_memory.h).
struct RolledBack {
    uint64_t foundGeneration = 0; // 0: no backup there at all
    std::string foundAt;          // ISO 8601; empty when none
    uint64_t rememberedGeneration = 0;
    std::string rememberedAt;
};

// Said after a backup that failed where running it again takes up what was
// already stored; restartResumes tells whether that is so for a failure (it is
// not for a destination that cannot be used as set up, another key's backup or
// a run already under way, or a backup in place that cannot be merged).
inline constexpr const char* kRestartResumesSentence =
    "Anything already uploaded is kept, so restarting resumes rather than starting over.";
bool restartResumes(const std::exception& failure);

// The head of the owner's manifest chain as this computer last pinned it
// (record count and chain head, hex), carried in a backup's manifest so that a
// restore on another computer can pin it again: a manifest later copied back
// over a newer one is then still noticed.
struct CarriedManifestHead {
    int64_t recordCount = 0;
    std::string chainHead;
    std::string generatedAt; // ISO 8601
};

// What a run took from the backup it replaced into the local archive before
// backing it up (backup_merge.h): that backup held messages, versions,
// sightings or files this archive lacked.
struct MergedBackup {
    int64_t messagesAdded = 0; // messages this archive did not hold at all
    int64_t messagesGrown = 0; // held, with less of them than the backup had
    int64_t attachmentsAdded = 0;
    std::vector<std::string> attachmentsMissing; // GUIDs whose bytes the backup could not give
    uint64_t generation = 0;                     // of the backup merged
    std::string createdAt;                       // ISO 8601; empty when unknown
};

struct UploadReceipt {
    // notChecked: nothing was read back; checkedByMetadata: size and checksum
    // metadata match (archival storage that cannot be read at once); verified:
    // every object written was read back, opened and its hash compared, but
    // those an object store's own checksum confirmed (storeConfirmed).
    enum class Verification { notChecked, checkedByMetadata, verified };
    uint64_t bytes = 0; // sealed bytes written by this run
    Verification verification = Verification::notChecked;
    bool resumed = false; // an interrupted upload was continued
    // Objects stored by earlier runs that this run read back (stored_audit.h);
    // of those and of what the destination lists, the damaged ones
    // ("attachments/...", kDamagedDatabase, kDamagedManifest,
    // kDamagedManifestCopy), each sent again, and those it could not send
    // again because this computer no longer holds them. A run with any of the
    // last is not verified. A pack in which one object was found damaged has
    // every object in it read back by the same run (storedChecked counts them).
    size_t storedChecked = 0;
    // Objects this run wrote to an object store that were not read back yet:
    // the store's own checksum confirmed it received each whole, and a later
    // run reads each back within kAuditCycle runs (the manifest marks them).
    size_t storeConfirmed = 0;
    std::vector<std::string> damaged;
    std::vector<std::string> unrepaired;
    uint64_t generation = 0; // of the manifest this run wrote
    // The destination held an older backup than this computer wrote there; this
    // run read back everything it holds and brought it up to date.
    std::optional<RolledBack> rolledBack;
    // The backup in place held what this archive lacked; it was merged in first.
    std::optional<MergedBackup> merged;
};

// How a receipt's damaged names the stored files that are not attachment or
// evidence files: the database object, and the two copies of the manifest
// (missing, damaged, or older than the other copy).
inline constexpr const char* kDamagedDatabase = "the archive database";
inline constexpr const char* kDamagedManifest = "the backup's manifest";
inline constexpr const char* kDamagedManifestCopy = "the second copy of the backup's manifest";

// How much a backup checks of what it stored.
//   none        writes only.
//   readBack    also reads back every object it stored, opens it and compares
//               it, and a rolling share of what earlier runs stored
//               (stored_audit.h); what the application asks for.
//   everything  as readBack, but every object the backup consists of.
enum class VerificationLevel { none, readBack, everything };

struct BackupProgress {
    int64_t done = 0;  // sealed bytes sent so far
    int64_t total = 0; // sealed bytes this run sends
    int part = 0;      // upload step under way (database parts, then files)
    int parts = 0;
};

// The backup the latest one replaced, as a restore that could not give the
// latest one whole found it still there: its database opens and matches, and
// (whole) so does every file it names.
struct EarlierBackup {
    uint64_t generation = 0;
    std::string createdAt; // ISO 8601; empty when unknown
    bool whole = false;    // its files were read back too
};

struct RestoreReport {
    uint64_t databaseBytes = 0;
    size_t objects = 0;
    std::optional<Date> backedUpAt;
    uint64_t generation = 0;         // 0: a backup made before generations were kept
    std::optional<int64_t> messages; // rows of the restored database's messages table
    // The manifest head the backup carried, when it carried one.
    std::optional<CarriedManifestHead> manifestHead;
    // The seals waiting for their anchor the backup carried (a JSON array); empty when none.
    std::string pendingAnchors;
    // Which copy of the manifest gave the backup restored, and why not the
    // manifest itself: fromManifestCopy, its second copy; fromReplacedManifest,
    // the manifest the latest one replaced (asked for, or neither copy of the
    // latest opened). manifestTrouble says what was wrong with the manifest
    // ("missing", "damaged", "older than its second copy"); empty when it was read.
    bool fromManifestCopy = false;
    bool fromReplacedManifest = false;
    std::string manifestTrouble;
    // Older than the backup this computer last wrote to the destination.
    std::optional<RolledBack> rolledBack;
    // Files that did not open or match and were left out of the restored
    // archive, each with what it was ("attachments/... ("IMG_1.jpg", of message
    // <guid>)"). The archive put in place is then incomplete.
    std::vector<std::string> unrestored;
    // When files were left out: the backup the latest one replaced, when its
    // database and every file it names are still there and open and match, so
    // that restore(..., previousBackup) gives it whole (without what was backed
    // up after it).
    std::optional<EarlierBackup> earlierWhole;
};

// The latest backup's database object is damaged or missing, and the backup
// before it is still at the destination with a database that opens and
// matches: restore(..., previousBackup). what() says both; failure says only
// what went wrong.
class EarlierBackupAvailable : public BackupError {
public:
    EarlierBackupAvailable(const std::string& failure, EarlierBackup earlier);
    std::string failure;
    EarlierBackup earlier;
};

// The sentence that says a destination was found rolled back after a restore
// (which restored it as it is); a backup's is its story's (backup_story.h).
std::string rolledBackAfterRestore(const RolledBack& r, const std::string& destinationLabel);

// Appended to the manifest's name for the copy of the manifest a run replaced,
// and for the manifest's second copy.
inline constexpr const char* kReplacedManifestSuffix = ".replaced";
inline constexpr const char* kManifestCopySuffix = ".copy";

using ProgressCallback = std::function<void(const BackupProgress&)>;

class BackupEngine {
public:
    struct Options {
        uint64_t partSize = 0; // 0: the destination's choice
        // Parts and files in flight at once (0: one per processor, 2 to 8).
        // Parts of one object may then finish out of order; the resume state
        // records each finished part by number.
        int threads = 0;
        // Called after each stored part (test hook for interruptions).
        std::function<void(const std::string& name, int partNumber)> afterPart;
        // The lease that keeps a second run of the same backup out (backup_lease.h).
        LeaseOptions lease;
        // Where this computer remembers the generation it last wrote to each
        // destination (generation_memory.h); none: rollbacks are not looked for.
        std::optional<std::filesystem::path> generations;
        // The pinned head of the owner's manifest chain, carried in the
        // manifest this run writes.
        std::optional<CarriedManifestHead> manifestHead;
        // The seals waiting for their anchor (a JSON array, carried_head.h),
        // carried in the manifest this run writes.
        std::optional<std::string> pendingAnchors;
        // Called while a run merges a backup into the local archive: after its
        // database was fetched and just before the merge is committed (test hook
        // for interruptions).
        std::function<void(const char* step)> mergeStep;
        // This machine's identity: its run report for the owner goes with the
        // backup and the other Macs' come back into the archive root
        // (machine_exchange.h). Empty: reports do not travel.
        std::string machineID;
    };

    BackupEngine(TreskCrypto crypto, std::shared_ptr<BackupDestination> destination, std::string prefix,
                 std::optional<std::filesystem::path> resumeStatePath);
    BackupEngine(TreskCrypto crypto, std::shared_ptr<BackupDestination> destination, std::string prefix,
                 std::optional<std::filesystem::path> resumeStatePath, Options options);

    // Seals payload, stores it under prefix/key in the standard class, reads it
    // back, opens it and compares. Throws BackupError or SealError.
    UploadReceipt roundTrip(const std::string& key, const std::string& payload, VerificationLevel verification);
    // Removes prefix/key. Throws BackupError.
    void remove(const std::string& key);

    // Backs up the archive whose database is storeFile (its attachments are the
    // "attachments" folder beside it) under remoteName. A destination whose
    // backup of remoteName was sealed with a key this keyring does not hold is
    // never taken over: ForeignKeyBackupError before anything there changes.
    // Before the backup in place is replaced, whatever it holds that the local
    // archive lacks is merged into the local archive (backup_merge.h; the
    // receipt's merged says what); a backup that cannot be merged is refused
    // with UnmergeableBackupError before anything there changes.
    // While another run of the same backup holds its lease: BackupBusyError.
    // Throws BackupError,
    // SealError or kx::Error with a sentence fragment.
    UploadReceipt backup(const std::string& remoteName, const std::filesystem::path& storeFile,
                         VerificationLevel verification, const ProgressCallback& progress = {});

    // Rebuilds the archive folder of remoteName into targetFolder (which must not
    // hold a "tresk.db" yet): everything is written to a hidden folder beside it
    // and moved into place once the database opened and matched. A file whose
    // object does not open, match or exist is left out and named in the report's
    // unrestored. A database that does not throws, EarlierBackupAvailable when
    // the backup before this one still holds a whole one. previousBackup:
    // restores the backup the latest one replaced.
    RestoreReport restore(const std::string& remoteName, const std::filesystem::path& targetFolder,
                          const ProgressCallback& progress = {}, bool previousBackup = false);

private:
    class Run; // one backup run, phase by phase (backup_run.cpp)
    struct Uploaded {
        uint64_t sealedSize = 0;
        std::string nonce; // hex
        bool resumed = false;
        // The SHA-256 of the plaintext as it was read while sealing (hex), hashed
        // on the way or known from a file that stayed as it was hashed before;
        // empty when the object was sealed in parts or taken over as stored.
        std::string sealedPlainSha;
        // The store's own checksum confirmed it received exactly what was sent
        // (BackupDestination::putConfirmed).
        bool storeConfirmed = false;
        std::string pack; // stored inside this pack, at offset; empty: stored alone
        uint64_t offset = 0;
    };
    Uploaded uploadFile(const std::filesystem::path& plain, const std::string& name, const std::string& fingerprint,
                        ObjectClass cls, int threads, const std::function<void(uint64_t)>& sent,
                        const std::function<void()>& partDone, bool hashPlain = true);
    void putSmall(const std::string& name, const std::string& plain, ObjectClass cls);
    std::optional<std::string> readSealed(const std::string& name);
    // The sealed manifest of the backup in place, and what was wrong with the
    // copies not read.
    struct ManifestInPlace {
        std::optional<std::string> sealed;        // nothing when no copy exists
        bool fromCopy = false;                    // the manifest's second copy
        bool fromReplaced = false;                // the manifest the latest one replaced
        std::string manifestTrouble, copyTrouble; // "missing", "damaged", "older than ..."; empty: sound
    };
    // The manifest when it opens (or is sealed with a key this keyring does not
    // hold), else its second copy, the newer of the two when both open; else the
    // copy of the one it replaced when that opens; else whatever the manifest's
    // name holds.
    ManifestInPlace manifestInPlace(const std::string& manifestName);
    // The nonce of the object stored under name when it has that sealed size
    // (from its metadata, else its header); nothing when absent or another size.
    std::optional<std::string> storedNonce(const std::string& name, uint64_t sealedSize);
    // Reads back the objects stored by earlier runs at the indices chosen
    // (stored_audit.cpp), side by side; returns the indices of the damaged ones.
    std::vector<size_t> auditStored(const std::vector<StoredObject>& objects, const std::vector<size_t>& chosen);
    // Whether one stored object is the copy its manifest records (stored_audit.cpp).
    bool storedIntact(const StoredObject& object);
    // Reads the object back whole: its nonce when it has that sealed size, opens
    // under this keyring and name and (sha not empty) holds plaintext with that
    // hash; nothing otherwise. pack: the object is stored in that pack at
    // offset. Throws BackupError when it cannot be read at all.
    std::optional<std::string> checkStored(const std::string& name, uint64_t sealedSize, const std::string& sha,
                                           const std::string& pack = {}, uint64_t offset = 0);
    // Streams the sealed bytes of the object sealed under name: its own object,
    // or (pack not empty) sealedSize bytes of that pack from offset. False when
    // the object or its pack is not there.
    bool fetchSealed(const std::string& name, const std::string& pack, uint64_t offset, uint64_t sealedSize,
                     const ByteSink& sink);
    std::optional<std::string> readRaw(const std::string& name);
    // When the kept copy of the manifest the latest one replaced opens and its
    // database object (another one than dbName) checks out: that backup. With
    // readWhole, only when every file object it names checks out too; the
    // stored copies in readWhole (backup_restore.cpp), which the restore
    // read whole, are not read again.
    std::optional<EarlierBackup> previousBackupAt(const std::string& manifestName, const std::string& remoteName,
                                                  const std::string& dbName,
                                                  const std::set<std::string>* readWhole = nullptr);
    std::string fullName(const std::string& name) const;

    TreskCrypto crypto_;
    std::shared_ptr<BackupDestination> dest_;
    std::string prefix_;
    std::optional<std::filesystem::path> resumePath_;
    Options options_;
    std::mutex resumeMutex_; // guards the resume file while parts finish on several threads
};

// Runs fn(0) ... fn(count - 1) on up to `threads` threads; after the first
// failure no new index starts, and that failure is rethrown once all stop.
void parallelFor(size_t count, int threads, const std::function<void(size_t)>& fn);

// What identifies the state of an archive database file without reading it:
// device, inode, size and modification time of the file and of its "-wal" (an
// empty "-wal", which a read-only open such as the snapshot leaves, counts as
// none: it holds nothing). Empty
// when it cannot be told (unreadable, or written in the last two seconds, where
// a later write in the same clock tick could leave the times alike).
std::string databaseStamp(const std::filesystem::path& file);

// Takes a consistent copy of a SQLite database with SQLite's online backup
// (never a plain copy of a file that may be written meanwhile). The source is
// opened read-only. Throws kx::Error.
void snapshotDatabase(const std::filesystem::path& source, const std::filesystem::path& target);

} // namespace kx
