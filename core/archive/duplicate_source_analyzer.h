#pragma once
// Sources whose contents are identical to, or wholly contained in, another's.
//
// Compared by what the archive recorded of each source (TreskStore provenance:
// which source held which message GUID), so two sources are compared only when
// they belong to the same owner's archive. A source with no messages archived
// is never a finding.
#include "core/archive/tresk_store.h"

#include <string>
#include <vector>

namespace kx {

struct DuplicateSourceAnalyzer {
    struct Finding {
        std::string sourceId;      // the source the finding is about
        std::string kind;          // "identical" or "redundant"
        std::string otherSourceId; // the source it duplicates
        std::string explanation;   // a sentence for the source row
        bool operator==(const Finding&) const = default;
    };

    // At most one finding per source, sorted by source id:
    //  identical  the source and another hold exactly the same messages (the other
    //             is the lowest id among all sources identical to it);
    //  redundant  every message of the source is also in a source that holds
    //             more (the largest such source, then the lowest id).
    static std::vector<Finding> analyze(const std::vector<TreskStore::SourceContent>& contents,
                                        const std::vector<TreskStore::SourceOverlap>& overlaps);

    // The groups of source ids joined by "identical" findings, each sorted, the
    // groups sorted by their first id.
    static std::vector<std::vector<std::string>> identicalGroups(const std::vector<Finding>& findings);
};

} // namespace kx
