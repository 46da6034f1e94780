#pragma once
// Shared status: each owner leaves a small record on a destination after every
// backup run, so others sharing that destination can see the owner is alive.
//
// Records are plain JSON (no key is needed to read them, and they say nothing of
// the archive's content): "<prefix>/status/<owner key>.json" with
//   {"owner": text, "time": ISO 8601 or null, "ok": bool, "version": 1,
//    "bytes": integer, "note": text or null}
// stored in the standard storage class. The owner key is ownerRecordKey(owner):
// the same function on the writing and the reading side.
#include "core/backup/destination.h"
#include "core/platform/time.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kx {

struct OwnerHealthRecord {
    std::string owner;
    std::optional<Date> time;
    bool ok = false;
    int version = 1; // record format
    int64_t bytes = 0;
    std::optional<std::string> note;
    bool operator==(const OwnerHealthRecord&) const = default;
};

// The owner's key in record names: the owner normalised by
// ArchiveIdentity::normalize (the rule the application uses for owners), "/" as
// "_" (the owner-folder rule, so an owner text and its folder name meet), and
// every byte outside letters, digits, ".", "_", "-" and "@" written as %XX.
// Throws BackupError for an owner that is empty after normalising, ".", "..",
// or holds a NUL or a backslash.
std::string ownerRecordKey(const std::string& owner);

class OwnerHealthPublisher {
public:
    OwnerHealthPublisher(std::string owner, std::string prefix, std::shared_ptr<BackupDestination> destination);
    // Stores the record (its owner replaced by this publisher's). Throws BackupError.
    void publish(const OwnerHealthRecord& record);

private:
    std::string owner_, prefix_;
    std::shared_ptr<BackupDestination> dest_;
};

struct HostView {
    std::vector<std::string> owners;
    std::string prefix;
};

struct HostHealthRow {
    std::string owner;
    std::optional<OwnerHealthRecord> record;
    std::optional<std::string> error;
};

class HostAdmin {
public:
    HostAdmin(HostView view, std::shared_ptr<BackupDestination> destination);
    // One row per owner, in order; problems come back inside the rows. Never throws.
    std::vector<HostHealthRow> read() const;

private:
    HostView view_;
    std::shared_ptr<BackupDestination> dest_;
};

} // namespace kx
