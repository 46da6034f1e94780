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
    return plan;
}

std::vector<size_t> BackupEngine::auditStored(const std::vector<StoredObject>& objects, const AuditPlan& plan) {
    std::vector<size_t> damaged;
    std::mutex m;
    parallelFor(plan.chosen.size(), options_.threads, [&](size_t k) {
        const StoredObject& o = objects[plan.chosen[k]];
        // Archival storage cannot be read at once: its size and metadata are what can be checked.
        std::optional<std::string> nonce = dest_->canReadBackData() ? checkStored(o.name, o.sealedSize, o.sha256)
                                                                    : storedNonce(o.name, o.sealedSize);
        if (nonce && *nonce == o.nonce) return;
        std::lock_guard<std::mutex> lock(m);
        damaged.push_back(plan.chosen[k]);
    });
    std::sort(damaged.begin(), damaged.end());
    return damaged;
}

} // namespace kx
