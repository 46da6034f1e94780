#pragma once
// What the filter rules would leave out of an archive, and rules worth proposing.
#include "core/filters/filter_set.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kx {

struct FilterPreview {
    struct ConversationImpact {
        std::string id;                        // the conversation key
        std::optional<std::string> title;      // the conversation's name, if any
        std::optional<std::string> handle;     // the other party, if any
        int64_t keptCount = 0;
        FilterDecision decision;
        bool operator==(const ConversationImpact&) const = default;
    };
    std::vector<ConversationImpact> impacts;
    std::string summary;
    bool operator==(const FilterPreview&) const = default;
};

struct FilterSuggestion {
    FilterRule rule;
    std::string caption;
    bool operator==(const FilterSuggestion&) const = default;
};

} // namespace kx
