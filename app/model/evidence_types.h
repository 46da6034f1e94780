#pragma once
// Value types of the application model's tamper-evidence and export operations.
// EvidenceModel exposes them as its nested names:
//   using ManifestState = AppModelManifestState;
//   using ExportResult = AppModelExportResult;
#include "core/evidence/seal_file.h"
#include "core/evidence/tresk_manifest.h"
#include "core/platform/time.h"

#include <cstdint>
#include <optional>
#include <string>

// The manifest state of one owner, as the tamper-evidence panel shows it.
struct AppModelManifestState {
    enum class Kind { present, verified, unreadable, unknown, notGenerated };

    Kind kind = Kind::unknown;
    // present and verified: when the manifest was generated.
    kx::Date generatedAt{};
    // present: the number of messages covered and the chain head.
    std::int64_t messageCount = 0;
    std::string chainHead;
    // verified: the result of the check.
    kx::TreskManifest::VerificationResult result;
    // unreadable: the reason.
    std::string reason;

    static AppModelManifestState present(kx::Date generatedAt, std::int64_t messageCount, std::string chainHead) {
        AppModelManifestState s;
        s.kind = Kind::present;
        s.generatedAt = generatedAt;
        s.messageCount = messageCount;
        s.chainHead = std::move(chainHead);
        return s;
    }
    static AppModelManifestState verified(kx::TreskManifest::VerificationResult result, kx::Date generatedAt) {
        AppModelManifestState s;
        s.kind = Kind::verified;
        s.result = std::move(result);
        s.generatedAt = generatedAt;
        return s;
    }
    static AppModelManifestState unreadable(std::string reason) {
        AppModelManifestState s;
        s.kind = Kind::unreadable;
        s.reason = std::move(reason);
        return s;
    }
    static AppModelManifestState unknown() { return {}; }
    static AppModelManifestState notGenerated() {
        AppModelManifestState s;
        s.kind = Kind::notGenerated;
        return s;
    }
};

// What a conversation export produced.
struct AppModelExportResult {
    std::string exportPath;                   // the written export
    kx::SealFile seal;                        // the seal after the anchoring attempt
    std::optional<std::string> anchorProblem; // why the seal waits; nothing when anchored
};
