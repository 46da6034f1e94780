#include "core/backup/carried_head.h"

#include "core/evidence/pending_anchor_store.h"
#include "core/platform/time.h"

namespace kx {

std::optional<CarriedManifestHead> headToCarry(const std::string& owner, const ManifestPins& pins) {
    try {
        const auto pinned = pins.pinned(owner);
        if (!pinned) return std::nullopt;
        return CarriedManifestHead{pinned->recordCount, pinned->chainHead, formatISO8601(pinned->generatedAt)};
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<std::string> pinRestoredHead(const std::string& owner, const CarriedManifestHead& head,
                                           ManifestPins pins) {
    try {
        const auto pinned = pins.pinned(owner);
        if (pinned && pinned->recordCount >= head.recordCount) return std::nullopt;
        const auto at = parseISO8601(head.generatedAt);
        pins.pin(owner, PinnedHead{head.recordCount, head.chainHead, at.value_or(Date{})});
        return std::nullopt;
    } catch (const std::exception& e) {
        return "The restored archive's manifest head could not be kept in this computer's keyring (" +
               std::string(e.what()) + "), so a manifest later put back over it would not be noticed";
    }
}

std::optional<std::string> anchorsToCarry(const std::string& configDir) {
    std::string waiting = PendingAnchorStore(configDir, nullptr).waitingToCarry();
    if (waiting == "[]") return std::nullopt;
    return waiting;
}

std::variant<int, std::string> addRestoredAnchors(const std::string& configDir, const std::string& carried) {
    try {
        return PendingAnchorStore(configDir, nullptr).addCarried(carried);
    } catch (const std::exception& e) {
        return "The seals the backup carried that still wait for their anchor could not be added to this "
               "computer's list (" +
               std::string(e.what()) + "); export those conversations again to seal them anew";
    }
}

} // namespace kx
