#include "core/backup/stored_audit.h"

#include "core/backup/backup_engine.h"

#include <algorithm>
#include <mutex>
#include <numeric>

namespace kx {

AuditPlan planAudit(const std::vector<StoredObject>& objects, const std::string& startAfter, bool all) {
    AuditPlan plan;
    if (objects.empty()) return plan;
    std::vector<size_t> order(objects.size());
    std::iota(order.begin(), order.end(), size_t(0));
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return objects[a].name < objects[b].name; });
    if (all) {
        plan.chosen = order;
        return plan;
    }
    uint64_t totalBytes = 0;
    for (const auto& o : objects) totalBytes += o.sealedSize;
    const size_t wantCount = std::max(std::min(objects.size(), kAuditMinimum),
                                      (objects.size() + kAuditCycle - 1) / kAuditCycle);
    const uint64_t byteCap = std::max(kAuditMinimumBytes, 2 * totalBytes / kAuditCycle);

    // Start after the name where the previous run stopped (wrapping round).
    size_t start = static_cast<size_t>(
        std::upper_bound(order.begin(), order.end(), startAfter,
                         [&](const std::string& key, size_t i) { return key < objects[i].name; }) -
        order.begin());
    if (startAfter.empty()) start = 0;
    uint64_t bytes = 0;
    size_t i = 0;
    for (; i < order.size() && plan.chosen.size() < wantCount; ++i) {
        size_t k = order[(start + i) % order.size()];
        if (!plan.chosen.empty() && bytes + objects[k].sealedSize > byteCap) break;
        plan.chosen.push_back(k);
        bytes += objects[k].sealedSize;
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
