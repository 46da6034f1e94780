#include "core/filters/filter_set.h"
#include "core/platform/error.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

using kx::FilterRule;
using kx::FilterSet;
using kx::FilterSubject;
using kx::test::TempDir;

namespace {
FilterRule rule(FilterRule::Kind kind, std::string value, std::string id = "r1") {
    FilterRule r;
    r.id = std::move(id);
    r.kind = kind;
    r.value = std::move(value);
    return r;
}
FilterSubject direct(std::string handle) { return {handle, handle, std::nullopt, false}; }
} // namespace

TEST(FilterRules, HandleRuleComparesPhoneDigitsAndMailCaseInsensitively) {
    FilterSet set;
    set.rules = {rule(FilterRule::Kind::handle, "+1 (555) 123-4567"),
                 rule(FilterRule::Kind::handle, "No-Reply@Shop.example", "r2")};
    EXPECT_TRUE(set.excludes(direct("+15551234567")));
    EXPECT_TRUE(set.excludes(direct("no-reply@shop.example")));
    EXPECT_FALSE(set.excludes(direct("+15551234568")));
    EXPECT_FALSE(set.excludes(direct("+155512345670")));
    EXPECT_EQ(set.decide(direct("no-reply@shop.example")).ruleId, "r2");
}

TEST(FilterRules, ContainsMatchesKeyHandleOrGroupNameButNotMembers) {
    FilterSet set;
    set.rules = {rule(FilterRule::Kind::contains, "no-reply")};
    EXPECT_TRUE(set.excludes(direct("NO-REPLY@bank.example")));
    EXPECT_TRUE(set.excludes({"chat1", std::nullopt, std::string("Shop no-reply alerts"), true}));
    EXPECT_FALSE(set.excludes({"chat2", std::nullopt, std::string("Family"), true}));
    set.rules[0].caseSensitive = 1;
    EXPECT_FALSE(set.excludes(direct("NO-REPLY@bank.example")));
    set.rules[0].value = "";
    EXPECT_FALSE(set.excludes(direct("anyone@example.com"))); // an empty value matches nothing
}

TEST(FilterRules, ShortcodesAreThreeToEightDigitsOfOneToOneChats) {
    FilterSet set;
    set.rules = {rule(FilterRule::Kind::shortcodes, "")};
    EXPECT_TRUE(set.excludes(direct("26290")));
    EXPECT_TRUE(set.excludes(direct("123")));
    EXPECT_FALSE(set.excludes(direct("12")));
    EXPECT_FALSE(set.excludes(direct("+15551234567")));
    EXPECT_FALSE(set.excludes(direct("123456789")));
    EXPECT_FALSE(set.excludes({"chat123456", std::nullopt, std::nullopt, true}));
}

TEST(FilterRules, PatternIsAPlainGlobAndDisabledRulesDoNothing) {
    FilterSet set;
    set.rules = {rule(FilterRule::Kind::pattern, "*@*.shop.example")};
    EXPECT_TRUE(set.excludes(direct("deals@mail.shop.example")));
    EXPECT_FALSE(set.excludes(direct("friend@example.com")));
    set.rules[0].value = "(a+)+$"; // no regular-expression syntax: just characters
    EXPECT_FALSE(set.excludes(direct("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa!")));
    set.rules[0].value = "*";
    set.rules[0].enabled = 0;
    EXPECT_FALSE(set.excludes(direct("anyone")));
}

TEST(FilterFile, MissingFileMeansNoRulesAndSaveLoadRoundTrips) {
    TempDir dir;
    auto set = FilterSet::load(dir / "filters.json");
    EXPECT_TRUE(set.rules.empty());
    EXPECT_FALSE(set.loadProblem());
    set.rules = {rule(FilterRule::Kind::handle, "+15550001111"), rule(FilterRule::Kind::shortcodes, "", "r2")};
    set.rules[0].note = "the gym";
    set.rules[1].enabled = 0;
    set.save(dir / "filters.json");
    const auto back = FilterSet::load(dir / "filters.json");
    EXPECT_FALSE(back.loadProblem());
    EXPECT_EQ(back.rules, set.rules);
}

TEST(FilterFile, DamagedFileIsAProblemNotAnEmptySetAndIsNeverOverwritten) {
    TempDir dir;
    const auto path = dir / "filters.json";
    for (const char* bad : {"{not json", "{\"rules\": 3}", "[{\"id\": \"a\", \"kind\": 9, \"value\": \"x\"}]",
                            "{\"formatVersion\": 7, \"rules\": []}", "[{\"kind\": 0}]"}) {
        kx::test::writeAll(path, bad);
        auto set = FilterSet::load(path);
        ASSERT_TRUE(set.loadProblem()) << bad;
        EXPECT_FALSE(set.loadProblem()->empty());
        set.rules = {rule(FilterRule::Kind::handle, "x")};
        EXPECT_THROW(set.save(path), kx::Error);
        EXPECT_EQ(kx::test::readAll(path), bad);
    }
}

TEST(FilterFile, ReadsABareListOfRules) {
    TempDir dir;
    kx::test::writeAll(dir / "filters.json", R"([{"id":"a","kind":1,"value":"promo","caseSensitive":0,"enabled":1}])");
    const auto set = FilterSet::load(dir / "filters.json");
    ASSERT_FALSE(set.loadProblem());
    ASSERT_EQ(set.rules.size(), 1u);
    EXPECT_EQ(set.rules[0].kind, FilterRule::Kind::contains);
}
