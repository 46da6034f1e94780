#pragma once
// Taking into the local archive what a stored backup holds and the archive
// lacks, before a backup run replaces that backup.
//
// Several computers of one owner, or an archive rebuilt after it was lost, may
// back up to the same place; the last run must never leave the destination
// holding fewer messages than it held. A run therefore learns, before it
// replaces the backup in place, whether that backup holds messages, versions,
// sightings or attachments the local archive lacks, and adds them to the local
// archive the way an ingest of another source would: by GUID, through the
// store's writer, so every addition is a new record and nothing is rewritten.
//
// The cheap test. Every manifest records the contents of the database it
// names ("contents": the number of records, a digest of the first that many
// records' bodies in the order they were taken in, and the number of
// messages). The records table only ever grows, so a local archive whose first
// records hash alike holds everything that backup holds, and the database
// object is not fetched. An ordinary run (the same archive backs up to the same
// place again) need not read the local records again: this computer keeps the
// digest its last run took (record_memory.h), checks cheaply that the store
// still goes on from it, and hashes only the records added since; the contents
// of the backup it writes carry that digest on. A run whose database did not
// change since the backup in place does not even do that.
// Only a backup written by another computer or another archive fetches the
// database object. A record says what was taken in, not where it was stored, so
// two archives that took in the same things in the same order (one rebuilt from
// the same Messages database) share their first records; only messages with a
// record after the shared ones are compared, message by message.
#include "core/backup/destination.h"

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct XXH3_state_s;
namespace SQLite {
class Database;
}

namespace kx {

// What an archive database holds, as the manifest records it.
struct ArchiveContents {
    int64_t records = 0;
    // Hex XXH3-128 of the first `records` record bodies, each after its 4-byte
    // big-endian length (a fast hash: the manifest is sealed, so nobody forges it).
    std::string digest;
    int64_t messages = 0;
    // The digests of the first kRecordsPerCheckpoint, 2 x kRecordsPerCheckpoint, ...
    // records: how far another store shares this one's first records.
    std::vector<std::string> checkpoints;
    bool operator==(const ArchiveContents&) const = default;
};

inline constexpr int64_t kRecordsPerCheckpoint = 8192;

// The digest of a store's first records, which can be carried on over the
// records appended after them (the records table only ever grows).
class RecordDigest {
public:
    RecordDigest();
    RecordDigest(const RecordDigest& other);
    RecordDigest& operator=(const RecordDigest& other);
    ~RecordDigest();
    int64_t records() const { return records_; }
    std::string hex() const;
    const std::vector<std::string>& checkpoints() const { return checkpoints_; }
    // Takes in the records of db after those taken in so far, up to `upTo` in
    // all (every one when nothing); false when db's records do not go on from
    // the ones taken in (goesOnIn).
    bool extend(SQLite::Database& db, std::optional<int64_t> upTo);
    // Whether db still holds, at their places, the last record taken in and the
    // one that ended each checkpoint: a cheap test that db is the store (or a
    // copy of it) these records were read from, not a proof that it holds them.
    bool goesOnIn(SQLite::Database& db) const;

    // The digest as this computer keeps it between runs (record_memory.h), and
    // back: nothing when what is kept is not whole, does not add up to the
    // digest it claims, or was written with another build of the hash.
    nlohmann::json kept() const;
    static std::optional<RecordDigest> fromKept(const nlohmann::json& kept);

private:
    XXH3_state_s* state_;
    int64_t records_ = 0;
    int64_t lastSeq_ = 0;
    uint64_t last_ = 0; // a hash of the last record taken in
    std::vector<std::string> checkpoints_;
    // Where each checkpoint ended: its last record's seq and hash.
    std::vector<std::pair<int64_t, uint64_t>> marks_;
};

// Of the store at dbFile; nothing when the file is not a store that keeps
// records (a store of the first format, or not a store). Given the digest of
// this store's first records (taken of the file it was copied from), only the
// records after those are read. Throws kx::Error when it cannot be read.
// The digest of all its records is left in `all` when given.
std::optional<ArchiveContents> archiveContents(const std::filesystem::path& dbFile, const RecordDigest* first = nullptr,
                                               RecordDigest* all = nullptr);

// How much of what a database with these contents holds the store at dbFile
// holds for certain: all of it when its first `contents.records` records are
// exactly those the contents describe, or else the number of first records
// both share as far as the contents' checkpoints tell. With all of it, the
// digest of those records is kept, for archiveContents to carry on from.
// Given a digest taken earlier of this store's first records (no more than the
// contents name), the records it covers are not read again when the store
// still goes on from it; otherwise every record is.
struct HeldRecords {
    bool all = false;
    int64_t shared = 0;
    std::optional<RecordDigest> digest;
    int64_t read = 0; // records of the store this check read
};
HeldRecords recordsHeld(const std::filesystem::path& dbFile, const ArchiveContents& contents,
                        const RecordDigest* known = nullptr);

// Whether the store holds all of what a database with these contents holds.
inline bool holdsAllOf(const std::filesystem::path& dbFile, const ArchiveContents& contents) {
    return recordsHeld(dbFile, contents).all;
}

// Whether the file is a store this version writes (a "meta" table naming its format).
bool isArchiveStore(const std::filesystem::path& dbFile);

// The stored backup cannot be taken into the local archive (damaged, another
// key, a format this version cannot read): the run changes nothing at the
// destination.
class UnmergeableBackupError : public BackupError {
public:
    using BackupError::BackupError;
};

struct MergeResult {
    int64_t messagesAdded = 0;    // messages the local archive did not hold at all
    int64_t messagesGrown = 0;    // held, but the backup had more of them: versions, sightings, an unsend, files
    int64_t attachmentsAdded = 0; // attachment files taken from the backup's objects
    // Attachments the backup's database names with stored bytes that its objects
    // did not give (missing or damaged): recorded without their bytes.
    std::vector<std::string> attachmentsMissing;
};

// Fetches the stored object of one archive file ("attachments/ab/cd/<key>")
// into target, checked against the backup's manifest; false when the backup
// holds no good copy.
using FetchArchiveFile = std::function<bool(const std::string& relativePath, const std::filesystem::path& target)>;

// Adds to the store at localDb (whose attachments lie in the "attachments"
// folder beside it) everything the store at storedDb holds and it lacks, in one
// transaction: a process killed meanwhile leaves the store as it was. Attachment
// files are fetched into scratch first and put into the local attachment store
// (content addressed, so one left by a killed merge is simply found again).
// Holds the archive's run lock while it writes. Throws UnmergeableBackupError
// when storedDb is not a store of this owner in a format this version reads,
// kx::Error when the local store cannot be written.
// Given the number of first records both stores share (recordsHeld), only the
// stored messages with a record after those are compared.
MergeResult mergeStoredArchive(const std::filesystem::path& storedDb, const std::filesystem::path& localDb,
                               const std::filesystem::path& scratch, const FetchArchiveFile& fetch,
                               const std::function<void()>& beforeCommit = {}, int64_t sharedRecords = 0);

} // namespace kx
