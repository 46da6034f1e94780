#pragma once
// In how many places an archive exists, and whether each copy is fresh.
//
// Judgement: a place is unproven when it was never verified; it is current when
// it was verified no more than `within` days before now (a verification time in
// the future counts as current). Switched-off places count for nothing. The
// archive needs attention when no switched-on independent backup is current, or
// when some switched-on place is unproven or out of date.
// The summary counts only places that hold a copy: an unproven place (a
// destination added, perhaps tested, but never backed up to) is named apart.
#include "core/platform/time.h"

#include <optional>
#include <string>
#include <vector>

namespace kx {

struct ArchiveLocations {
    enum class PlaceClass { independentBackup, syncedCopy, sameMachine };

    struct Location {
        std::string identifier;
        std::string name;
        std::string detail;
        PlaceClass placeClass = PlaceClass::independentBackup;
        bool enabled = true;
        std::optional<Date> lastVerified;

        bool isUnproven() const { return !lastVerified.has_value(); }
        bool isCurrent(Date now, int within) const;
    };

    std::vector<Location> locations;
    std::optional<std::string> workingCopy;

    bool needsAttention(Date now, int within) const;
    // One or two sentences, e.g. "Your archive exists in 3 places: this computer, 1
    // independent backup and 1 synced copy. All are current."
    std::string summary(Date now, int within) const;
};

} // namespace kx
