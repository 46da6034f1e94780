#pragma once
// Reading back what a backup already holds, so "verified" covers the whole
// backup and not only what one run sent.
//
// Objects stored by earlier runs can be damaged later (a failing disk, a sync
// client, a provider's fault) and their sizes still match. Each run therefore
// reads back the database object, which every restore needs, and a rolling
// share of the other objects the backup in place names and this run does not
// send again: in the order of their names, starting after the one where the
// previous run stopped (kept in the manifest as "auditNext"), at least a
// cycle-th of them (and at least kAuditMinimum objects in all), so that every
// object is read back within a cycle of runs. Beyond that share a run reads no
// more than about a cycle-th of their bytes. Folders (drives, NAS, synced
// folders, where files do rot or get damaged) go round in kFolderAuditCycle
// runs; object stores, where reading back is charged, in kAuditCycle runs. On
// request every object is read back. An object that does not open, is not the
// copy recorded or is missing is damaged: the run reports it and sends it again.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kx {

inline constexpr size_t kAuditCycle = 30;
inline constexpr size_t kFolderAuditCycle = 7;
inline constexpr size_t kAuditMinimum = 8;
inline constexpr uint64_t kAuditMinimumBytes = 64ull << 20;

struct StoredObject {
    std::string name; // what it was sealed under
    uint64_t sealedSize = 0;
    std::string nonce;     // recorded by the manifest (hex)
    std::string sha256;    // of the plaintext, when the manifest records it
    bool due = false;      // read back by this run wherever the rotation stands
    std::string pack = {}; // the pack holding it, at offset; empty: stored alone under name
    uint64_t offset = 0;
};

struct AuditPlan {
    std::vector<size_t> chosen; // indices into the objects given, in name order from the start point
    std::string next;           // where the next run starts ("": from the first)
};

// The share of `objects` this run reads back. `startAfter` is the previous
// run's "next". all: every object. `always` (the database object) is read back
// by every run, first, and is not part of the rotation. Objects marked due are
// read back on top of the rotation's share (after it, in name order).
AuditPlan planAudit(const std::vector<StoredObject>& objects, const std::string& startAfter, bool all,
                    size_t cycle = kAuditCycle, std::optional<size_t> always = std::nullopt);

} // namespace kx
