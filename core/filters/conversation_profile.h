#pragma once
// What the filter analysis needs to know of one archived conversation. The
// archive store produces these (TreskStore::conversationProfiles).
#include "core/platform/time.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kx {

struct ConversationProfile {
    std::string key; // the chat identifier (the other party's handle, or "chat…")
    std::optional<std::string> displayName;
    bool isGroup = false;
    int64_t messageCount = 0;              // messages, reactions not counted
    int64_t fromMeCount = 0;               // of those, sent by the owner
    std::vector<std::string> participants; // handles of the members, sorted
    std::optional<Date> lastDate;
    bool operator==(const ConversationProfile&) const = default;
};

} // namespace kx
