#pragma once
// What the filter rules would leave out of an archive, and rules worth proposing.
#include "core/filters/conversation_profile.h"
#include "core/filters/filter_set.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kx {

struct FilterPreview {
    struct ConversationImpact {
        std::string id;                    // the conversation key
        std::optional<std::string> title;  // the conversation's name, if any
        std::optional<std::string> handle; // the other party, if any
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

struct FilterAnalyzer {
    // What `filters` would do to each conversation in future runs. Impacts come
    // skipped first (most archived messages first, then by key), then the kept
    // ones in the order given. keptCount is the number of messages already
    // archived from the conversation: they stay in the archive whatever the rules
    // say. sourceID: none for the whole archive; with one, the conversations
    // given are that source's and the summary says so.
    static FilterPreview preview(const FilterSet& filters, const std::vector<ConversationProfile>& conversations,
                                 const std::optional<std::string>& sourceID = std::nullopt);

    // Rules for conversations that look automated: one-to-one conversations the
    // owner never wrote in, with a sender that is a short code (one "all
    // shortcode senders" rule for all of them), a no-reply address, or an
    // alphanumeric sender name. Conversations `existing` already skips are
    // not suggested again. Most messages first.
    static std::vector<FilterSuggestion> suggestions(const std::vector<ConversationProfile>& conversations,
                                                     const FilterSet* existing = nullptr);

    // The subject a conversation is matched as (the same as at archive time).
    static FilterSubject subject(const ConversationProfile& conversation);
};

} // namespace kx
