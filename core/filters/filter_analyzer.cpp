#include "core/filters/filter_analyzer.h"

#include <algorithm>
#include <cctype>

namespace kx {

namespace {

std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string number(int64_t n) {
    std::string digits = std::to_string(n < 0 ? -n : n), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return n < 0 ? "-" + out : out;
}

std::string plural(int64_t n, const char* one, const char* many) { return number(n) + " " + (n == 1 ? one : many); }

// The other party of a one-to-one conversation.
std::optional<std::string> otherParty(const ConversationProfile& c) {
    if (c.isGroup) return std::nullopt;
    if (!c.key.empty()) return c.key;
    if (c.participants.size() == 1) return c.participants.front();
    return std::nullopt;
}

bool isNoReplyAddress(const std::string& handle) {
    const auto at = handle.find('@');
    if (at == std::string::npos || at == 0) return false;
    const std::string local = lower(handle.substr(0, at));
    for (const char* word : {"noreply", "no-reply", "no_reply", "donotreply", "do-not-reply", "do_not_reply"})
        if (local.find(word) != std::string::npos) return true;
    return false;
}

// A sender name such as "AMAZON" or "BankAlert": letters (and digits, spaces,
// dots, dashes), at least one letter, no "@", not a phone number.
bool isAlphanumericSender(const std::string& handle) {
    if (handle.empty() || handle.size() > 16 || handle.find('@') != std::string::npos) return false;
    if (handle.rfind("chat", 0) == 0) return false;
    bool letter = false;
    for (unsigned char c : handle) {
        if (std::isalpha(c)) letter = true;
        else if (!std::isdigit(c) && c != ' ' && c != '.' && c != '-' && c != '_') return false;
    }
    return letter;
}

FilterRule suggestedRule(FilterRule::Kind kind, const std::string& value) {
    FilterRule r;
    // The same suggestion keeps the same id from one preview to the next.
    r.id = "suggested-" + std::to_string(static_cast<int>(kind)) + "-" + value;
    r.kind = kind;
    r.value = value;
    r.caseSensitive = 0;
    r.note = "Suggested: looks automated";
    r.enabled = 1;
    return r;
}

} // namespace

FilterSubject FilterAnalyzer::subject(const ConversationProfile& c) {
    FilterSubject s;
    s.conversationKey = c.key;
    s.handle = otherParty(c);
    s.displayName = c.displayName;
    s.isGroup = c.isGroup;
    return s;
}

FilterPreview FilterAnalyzer::preview(const FilterSet& filters, const std::vector<ConversationProfile>& conversations,
                                      const std::optional<std::string>& sourceID) {
    FilterPreview p;
    std::vector<FilterPreview::ConversationImpact> skipped, kept;
    int64_t skippedMessages = 0;
    for (const auto& c : conversations) {
        FilterPreview::ConversationImpact i;
        i.id = c.key;
        i.title = c.displayName && !c.displayName->empty() ? c.displayName : std::nullopt;
        i.handle = otherParty(c);
        if (!i.handle && !c.key.empty()) i.handle = c.key;
        i.keptCount = c.messageCount;
        i.decision = filters.decide(subject(c));
        if (i.decision.keep) {
            kept.push_back(std::move(i));
        } else {
            skippedMessages += c.messageCount;
            skipped.push_back(std::move(i));
        }
    }
    std::stable_sort(skipped.begin(), skipped.end(), [](const auto& a, const auto& b) {
        return a.keptCount != b.keptCount ? a.keptCount > b.keptCount : a.id < b.id;
    });

    const std::string where = sourceID ? "this source" : "this archive";
    const auto enabledRules = std::count_if(filters.rules.begin(), filters.rules.end(),
                                            [](const FilterRule& r) { return r.enabled != 0; });
    if (filters.loadProblem()) {
        p.summary = "Your filter rules could not be read, so archive runs are stopped until the filters file is "
                    "repaired or moved. Nothing is archived or skipped meanwhile.";
    } else if (enabledRules == 0) {
        p.summary = "No rules are active, so every conversation in " + where + " is archived.";
    } else if (skipped.empty()) {
        p.summary = "None of the " +
                    plural(static_cast<int64_t>(conversations.size()), "conversation", "conversations") + " in " +
                    where + " match your rules, so everything is archived.";
    } else {
        p.summary = "Your rules skip new messages in " +
                    plural(static_cast<int64_t>(skipped.size()), "conversation", "conversations") + " of " +
                    number(static_cast<int64_t>(conversations.size())) + " in " + where + ". The " +
                    plural(skippedMessages, "message", "messages") + " already archived from them " +
                    (skippedMessages == 1 ? "stays" : "stay") + " in your archive.";
    }
    p.impacts = std::move(skipped);
    p.impacts.insert(p.impacts.end(), std::make_move_iterator(kept.begin()), std::make_move_iterator(kept.end()));
    return p;
}

std::vector<FilterSuggestion> FilterAnalyzer::suggestions(const std::vector<ConversationProfile>& conversations,
                                                          const FilterSet* existing) {
    std::vector<const ConversationProfile*> shortcodes;
    std::vector<std::pair<const ConversationProfile*, std::string>> senders; // conversation, why
    for (const auto& c : conversations) {
        if (c.isGroup || c.fromMeCount > 0 || c.messageCount <= 0) continue;
        const auto handle = otherParty(c);
        if (!handle) continue;
        if (existing && existing->excludes(FilterAnalyzer::subject(c))) continue;
        if (FilterSet::isShortcode(*handle)) shortcodes.push_back(&c);
        else if (isNoReplyAddress(*handle)) senders.emplace_back(&c, "a no-reply address");
        else if (isAlphanumericSender(*handle)) senders.emplace_back(&c, "a sender name, not a number");
    }

    std::vector<FilterSuggestion> out;
    if (!shortcodes.empty()) {
        int64_t total = 0;
        for (const auto* c : shortcodes) total += c->messageCount;
        std::sort(shortcodes.begin(), shortcodes.end(), [](auto* a, auto* b) {
            return a->messageCount != b->messageCount ? a->messageCount > b->messageCount : a->key < b->key;
        });
        out.push_back({suggestedRule(FilterRule::Kind::shortcodes, ""),
                       plural(static_cast<int64_t>(shortcodes.size()), "short-code sender", "short-code senders") +
                           " (like " + shortcodes.front()->key + "), " + plural(total, "message", "messages") +
                           ", never replied to."});
    }
    std::stable_sort(senders.begin(), senders.end(), [](const auto& a, const auto& b) {
        return a.first->messageCount != b.first->messageCount ? a.first->messageCount > b.first->messageCount
                                                              : a.first->key < b.first->key;
    });
    for (const auto& [c, why] : senders)
        out.push_back({suggestedRule(FilterRule::Kind::handle, *otherParty(*c)),
                       plural(c->messageCount, "message", "messages") + " from " + why + ", never replied to."});
    return out;
}

} // namespace kx
