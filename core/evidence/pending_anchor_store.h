#pragma once
// The queue of seals that wait for their anchor.
//
// File: "pending-anchors.json" in the configuration folder, written atomically
// (0600):
//   { "version": 1,
//     "lastPassAt": "2026-12-09T04:30:00.000Z" | null,
//     "pending": [ { "sealPath": "/home/a/Alice.pdf.kxseal.json",
//                    "sealDigest": "<64 hex>",
//                    "queuedAt": "...", "attempts": 1, "lastProblem": "..." } ] }
// A queue file that exists but cannot be read is never written over: seals
// are still written and anchored when the authority answers, but a seal that
// would have to wait is reported as not queued.
//
// Locking: every change to the queue happens under an exclusive lock on
// "pending-anchors.lock" beside it (flock, so a second process - the engine tool
// or another copy of the application - is kept out too) and under a mutex within
// this process. Network work happens outside that lock, so an export can queue a
// seal while a retry pass is waiting for the authority. Retry passes themselves
// run one at a time.
//
// Every operation blocks; call them off the main thread except count().
#include "core/evidence/seal_anchor_client.h"
#include "core/evidence/seal_file.h"
#include "core/platform/time.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace kx {

class PendingAnchorStore {
public:
    // A pass without force is skipped when the last pass ended less than this long ago.
    static constexpr std::chrono::minutes kRecentCheckInterval{15};
    static constexpr const char* kFileName = "pending-anchors.json";

    // Never throws: a damaged queue file is remembered (loadProblem) and left alone.
    PendingAnchorStore(std::string applicationSupportDir, NowFunction now);
    ~PendingAnchorStore();
    PendingAnchorStore(const PendingAnchorStore&) = delete;
    PendingAnchorStore& operator=(const PendingAnchorStore&) = delete;

    // Seals waiting for an anchor (0 when the queue file is missing or damaged).
    int count() const;
    // Why the queue file cannot be used, when it cannot.
    std::optional<std::string> loadProblem() const;
    std::string filePath() const;

    struct AnchorResult {
        SealFile seal;                      // the seal as it now stands on disk
        std::optional<std::string> problem; // why it waits; nothing when anchored
    };
    // Writes the seal file at sealPath (throws kx::Error when it cannot: a seal
    // that is not on disk is no seal), then tries to anchor it. When anchoring
    // fails the seal is queued and the reason returned; anchoring never throws.
    AnchorResult anchorOrDefer(const std::string& sealPath, const SealFile& seal, const SealAnchorClient& client);

    struct RetryOutcome {
        int tried = 0;        // seals sent to the authority
        int anchored = 0;     // of those, anchored now
        int settled = 0;      // removed without an attempt: the seal file was deleted
                              // or damaged, was changed, or was already anchored
                              // (a seal whose folder is missing keeps waiting)
        int stillWaiting = 0; // left in the queue after the pass
        bool skipped = false; // the pass did not run: checked recently
    };
    // Tries every waiting seal once. When the server does not answer at all the
    // pass stops there: the seals after it wait for the next pass and are not
    // counted as tried. Without force the pass is skipped when the last one
    // ended within kRecentCheckInterval. Never throws.
    RetryOutcome retry(const SealAnchorClient& client, bool force);

    // The waiting seals as a JSON array of the queue file's entries, so they can
    // travel with a backup; "[]" when none wait or the queue file cannot be read.
    std::string waitingToCarry() const;
    // Adds the waiting seals of such an array (carried by a restored backup)
    // that the queue does not hold yet (the same seal file with the same
    // digest), keeping every entry it holds. Returns how many it added. Throws
    // kx::Error when the array is not in that form, or the queue file is
    // damaged or cannot be written.
    int addCarried(const std::string& carried);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace kx
