#pragma once
// Reading back what a backup already holds, so "verified" covers the whole
// backup and not only what one run sent.
//
// Objects stored by earlier runs can be damaged later (a failing disk, a sync
// client, a provider's fault) and their sizes still match. Each run therefore
// reads back a rolling share of the objects the backup in place names and this
// run does not send again: in the order of their names, starting after the one
// where the previous run stopped (kept in the manifest as "auditNext"), about a
// kAuditCycle-th of them (at least kAuditMinimum, and not much more than a
// kAuditCycle-th of their bytes), so that daily runs have read everything back
// within kAuditCycle runs. On request every one of them is read back. An object
// that does not open, is not the copy recorded or is missing is damaged: the run
// reports it and sends it again.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kx {

inline constexpr size_t kAuditCycle = 30;
inline constexpr size_t kAuditMinimum = 8;
inline constexpr uint64_t kAuditMinimumBytes = 64ull << 20;

struct StoredObject {
    std::string name; // on the destination
    uint64_t sealedSize = 0;
    std::string nonce;  // recorded by the manifest (hex)
    std::string sha256; // of the plaintext, when the manifest records it
};

struct AuditPlan {
    std::vector<size_t> chosen; // indices into the objects given, in name order from the start point
    std::string next;           // where the next run starts ("": from the first)
};

// The share of `objects` this run reads back. `startAfter` is the previous
// run's "next". all: every object.
AuditPlan planAudit(const std::vector<StoredObject>& objects, const std::string& startAfter, bool all);

} // namespace kx
