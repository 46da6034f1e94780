#pragma once
// OwnerManifestState: the tamper-evidence manifest state of one owner, as
// EvidenceModel holds it (EvidenceModel::ManifestState) and the tamper-evidence
// panel shows it.
#include "core/evidence/tresk_manifest.h"
#include "core/platform/time.h"

#include <cstdint>
#include <string>

struct OwnerManifestState {
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

    static OwnerManifestState present(kx::Date generatedAt, std::int64_t messageCount, std::string chainHead) {
        OwnerManifestState s;
        s.kind = Kind::present;
        s.generatedAt = generatedAt;
        s.messageCount = messageCount;
        s.chainHead = std::move(chainHead);
        return s;
    }
    static OwnerManifestState verified(kx::TreskManifest::VerificationResult result, kx::Date generatedAt) {
        OwnerManifestState s;
        s.kind = Kind::verified;
        s.result = std::move(result);
        s.generatedAt = generatedAt;
        return s;
    }
    static OwnerManifestState unreadable(std::string reason) {
        OwnerManifestState s;
        s.kind = Kind::unreadable;
        s.reason = std::move(reason);
        return s;
    }
    static OwnerManifestState unknown() { return {}; }
    static OwnerManifestState notGenerated() {
        OwnerManifestState s;
        s.kind = Kind::notGenerated;
        return s;
    }
};
