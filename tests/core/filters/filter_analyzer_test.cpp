#include "core/filters/filter_analyzer.h"

#include <gtest/gtest.h>

using namespace kx;

namespace {

ConversationProfile conv(const std::string& key, int64_t messages, int64_t fromMe = 0, bool group = false,
                         std::optional<std::string> name = std::nullopt) {
    ConversationProfile c;
    c.key = key;
    c.messageCount = messages;
    c.fromMeCount = fromMe;
    c.isGroup = group;
    c.displayName = std::move(name);
    if (!group) c.participants = {key};
    return c;
}

FilterRule rule(FilterRule::Kind kind, const std::string& value, const std::string& id = "r1") {
    FilterRule r;
    r.id = id;
    r.kind = kind;
    r.value = value;
    return r;
}

} // namespace

TEST(FilterPreview, ListsSkippedConversationsFirstWithWhatStaysArchived) {
    const std::vector<ConversationProfile> convs = {conv("+15551234567", 40, 12), conv("26290", 3), conv("72000", 9),
                                                    conv("chat123", 100, 50, true, "Family")};
    FilterSet filters;
    filters.rules.push_back(rule(FilterRule::Kind::shortcodes, ""));
    const auto p = FilterAnalyzer::preview(filters, convs);
    ASSERT_EQ(p.impacts.size(), 4u);
    EXPECT_EQ(p.impacts[0].id, "72000"); // skipped, most messages first
    EXPECT_FALSE(p.impacts[0].decision.keep);
    EXPECT_EQ(p.impacts[0].keptCount, 9);
    EXPECT_EQ(p.impacts[0].handle, "72000");
    EXPECT_EQ(p.impacts[1].id, "26290");
    EXPECT_TRUE(p.impacts[2].decision.keep);
    EXPECT_EQ(p.impacts[3].title, "Family");
    EXPECT_EQ(p.summary, "Your rules skip new messages in 2 conversations of 4 in this archive. The 12 messages "
                         "already archived from them stay in your archive.");

    EXPECT_EQ(FilterAnalyzer::preview(FilterSet(), convs).summary,
              "No rules are active, so every conversation in this archive is archived.");
    FilterSet other;
    other.rules.push_back(rule(FilterRule::Kind::handle, "nobody@example.com"));
    EXPECT_EQ(FilterAnalyzer::preview(other, convs, std::string("mac")).summary,
              "None of the 4 conversations in this source match your rules, so everything is archived.");
    FilterSet damaged;
    damaged.setLoadProblem("bad JSON");
    EXPECT_EQ(FilterAnalyzer::preview(damaged, convs).summary,
              "Your filter rules could not be read, so archive runs are stopped until the filters file is repaired "
              "or moved. Nothing is archived or skipped meanwhile.");
    FilterSet disabled = filters;
    disabled.rules[0].enabled = 0;
    EXPECT_TRUE(FilterAnalyzer::preview(disabled, convs).impacts[0].decision.keep);
}

TEST(FilterPreview, AGroupIsNotSkippedForOneOfItsMembers) {
    auto group = conv("chat9", 20, 5, true, "Club");
    group.participants = {"26290", "+15550001"};
    FilterSet filters;
    filters.rules.push_back(rule(FilterRule::Kind::handle, "26290"));
    const auto p = FilterAnalyzer::preview(filters, {group});
    EXPECT_TRUE(p.impacts.at(0).decision.keep);
    EXPECT_FALSE(p.impacts.at(0).handle == std::optional<std::string>("26290"));
}

TEST(FilterSuggestions, OfferRulesOnlyForAutomatedLookingOneWayConversations) {
    const std::vector<ConversationProfile> convs = {
        conv("26290", 12),                // short code, never answered
        conv("72000", 30),                // another
        conv("55555", 4, 1),              // a short code the owner answered: not automated
        conv("no-reply@shop.example", 8), // no-reply address
        conv("AMAZON", 20),               // sender name
        conv("+15551234567", 50),         // a person who only writes to the owner: not suggested
        conv("friend@example.com", 6),
        conv("chat77", 10, 0, true, "Alerts"), // groups are never suggested
    };
    const auto s = FilterAnalyzer::suggestions(convs);
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[0].rule.kind, FilterRule::Kind::shortcodes);
    EXPECT_EQ(s[0].caption, "2 short-code senders (like 72000), 42 messages, never replied to.");
    EXPECT_EQ(s[1].rule.value, "AMAZON");
    EXPECT_EQ(s[1].rule.kind, FilterRule::Kind::handle);
    EXPECT_EQ(s[2].rule.value, "no-reply@shop.example");
    EXPECT_EQ(s[2].caption, "8 messages from a no-reply address, never replied to.");
    // The same suggestion keeps its rule id, so adding it twice gives the same id.
    EXPECT_EQ(FilterAnalyzer::suggestions(convs)[1].rule.id, s[1].rule.id);
    EXPECT_EQ(s[1].rule.enabled, 1);

    // What the current rules already skip is not suggested again.
    FilterSet existing;
    existing.rules.push_back(rule(FilterRule::Kind::shortcodes, ""));
    existing.rules.push_back(rule(FilterRule::Kind::contains, "amazon", "r2"));
    const auto rest = FilterAnalyzer::suggestions(convs, &existing);
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].rule.value, "no-reply@shop.example");
    EXPECT_TRUE(FilterAnalyzer::suggestions({}).empty());
}
