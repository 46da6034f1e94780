#include "core/backup/stored_audit.h"

#include "core/backup/backup_engine.h"

#include <algorithm>
#include <mutex>
#include <numeric>

namespace kx {

AuditPlan planAudit(const std::vector<StoredObject>& objects, const std::string& startAfter, bool all, size_t cycle,
                    std::optional<size_t> always) {
    AuditPlan plan;
    if (objects.empty()) return plan;
    cycle = std::max<size_t>(cycle, 1);
    std::vector<size_t> order;
    for (size_t i = 0; i < objects.size(); ++i)
        if (i != always) order.push_back(i);
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return objects[a].name < objects[b].name; });
    if (always && *always < objects.size()) plan.chosen.push_back(*always);
    if (all) {
        plan.chosen.insert(plan.chosen.end(), order.begin(), order.end());
        return plan;
    }
    if (order.empty()) return plan;
    uint64_t totalBytes = 0;
    for (size_t i : order) totalBytes += objects[i].sealedSize;
    // The share that keeps the promise of a whole cycle is read whatever its
    // size; the minimum count on top of it only while the bytes stay small.
    const size_t owed = (order.size() + cycle - 1) / cycle;
    const size_t wantCount =
        std::max(std::min(order.size(), kAuditMinimum > plan.chosen.size() ? kAuditMinimum - plan.chosen.size() : 0),
                 owed);
    const uint64_t byteCap = std::max(kAuditMinimumBytes, 2 * totalBytes / cycle);

    // Start after the name where the previous run stopped (wrapping round).
    size_t start = static_cast<size_t>(
        std::upper_bound(order.begin(), order.end(), startAfter,
                         [&](const std::string& key, size_t i) { return key < objects[i].name; }) -
        order.begin());
    if (startAfter.empty()) start = 0;
    uint64_t bytes = 0;
    size_t taken = 0, i = 0;
    for (; i < order.size() && taken < wantCount; ++i) {
        size_t k = order[(start + i) % order.size()];
        if (taken >= owed && bytes + objects[k].sealedSize > byteCap) break;
        plan.chosen.push_back(k);
        bytes += objects[k].sealedSize;
        ++taken;
    }
    if (i < order.size()) plan.next = objects[plan.chosen.back()].name;
    for (; i < order.size(); ++i)
        if (const size_t k = order[(start + i) % order.size()]; objects[k].due) plan.chosen.push_back(k);
    return plan;
}

bool BackupEngine::storedIntact(const StoredObject& o) {
    // Archival storage cannot be read at once: its size and metadata are what can be checked.
    if (!dest_->canReadBackData()) return storedNonce(o.name, o.sealedSize) == o.nonce;
    // Every sealing draws a fresh nonce, so an object that opens under this key
    // and name and carries the nonce recorded is the one that was checked when
    // it was written: its plaintext is not hashed again. Without a recorded
    // nonce the hash is what tells.
    const std::string sha = o.nonce.empty() ? o.sha256 : std::string();
    std::optional<std::string> nonce = checkStored(o.name, o.sealedSize, sha, o.pack, o.offset);
    return nonce && *nonce == o.nonce;
}

std::vector<size_t> BackupEngine::auditStored(const std::vector<StoredObject>& objects,
                                              const std::vector<size_t>& chosen) {
    std::vector<size_t> damaged;
    std::mutex m;
    parallelFor(chosen.size(), options_.threads, [&](size_t k) {
        if (storedIntact(objects[chosen[k]])) return;
        std::lock_guard<std::mutex> lock(m);
        damaged.push_back(chosen[k]);
    });
    std::sort(damaged.begin(), damaged.end());
    return damaged;
}

} // namespace kx
