#pragma once
// What this computer remembers of the archive records its backups' contents
// were taken of, so that an ordinary run need not read every record again.
//
// A run records in its manifest a digest of the archive's first records
// (backup_merge.h). Once that manifest is in place, the digest is kept here
// with the identity of the store file it was taken of (device, inode and, where
// the file system keeps it, the time the file was made). The next run to the
// same backup starts from it only while the store is still that file and still
// holds, at their places, the record that ended each checkpoint and the last
// one (RecordDigest::goesOnIn); a rebuilt or restored archive is another file.
// Anything else, and a missing, damaged or foreign entry, costs no more than
// reading every record, as a run does without this file.
//
// A hashing state holds the last bytes it was given, pieces of messages: each
// digest is sealed with the backup's key, bound to its backup and store file.
//
// File (JSON, written atomically): {"backups": [{"destination": resume
// identity, "manifest": the manifest's name, "store": the store file's
// identity, "digest": hex of the sealed RecordDigest::kept()}]}.
#include "core/backup/backup_merge.h"

#include <filesystem>
#include <optional>
#include <string>

namespace kx {

class TreskCrypto;

class RecordMemory {
public:
    // The file's name, beside the backup's resume state.
    static constexpr const char* kFileName = "backup-records.json";

    explicit RecordMemory(std::filesystem::path file) : file_(std::move(file)) {}

    // The identity of a store file; empty when it cannot be read.
    static std::string identityOf(const std::filesystem::path& storeFile);

    // The digest last kept for this backup, when it was taken of the store
    // file that now has this identity and opens with this key.
    std::optional<RecordDigest> recall(const TreskCrypto& crypto, const std::string& storeIdentity,
                                       const std::string& destination, const std::string& manifest) const;
    // Keeps the digest of the first records of the store with this identity, in
    // place of what was kept for this backup. Throws kx::Error.
    void remember(const TreskCrypto& crypto, const std::string& storeIdentity, const std::string& destination,
                  const std::string& manifest, const RecordDigest& digest);

private:
    std::filesystem::path file_;
};

} // namespace kx
