// Identical and contained sources, from store provenance written by the real engine.
#include "core/archive/duplicate_source_analyzer.h"
#include "core/archive/tresk_engine.h"
#include "core/archive/tresk_store.h"
#include "tests/core/archive/fake_ingester.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

using namespace kx;
using Analyzer = DuplicateSourceAnalyzer;

namespace {

const Date kT0 = fromUnixSeconds(1.7e9);

TreskStore::SourceContent content(const std::string& id, int64_t n) {
    TreskStore::SourceContent c;
    c.sourceId = id;
    c.messageCount = n;
    return c;
}

} // namespace

TEST(DuplicateSources, ACopyAPartAndAUniqueSourceFromARealArchive) {
    test::TempDir dir;
    auto ingester = std::make_shared<test::FakeIngester>();
    ingester->data["/mac"] = test::makeChat("+15550001", 40, "m", kT0);
    ingester->data["/copy"] = ingester->data["/mac"];
    ingester->data["/part"] = test::makeChat("+15550001", 25, "m", kT0);  // the first 25 of the same
    ingester->data["/other"] = test::makeChat("+15550002", 10, "o", kT0); // nothing shared
    ingester->data["/overlap"] = test::makeChat("+15550001", 50, "m", kT0 + std::chrono::hours(1), 200);
    auto& ov = ingester->data["/overlap"].messages;
    for (int i = 0; i < 5; ++i) ov[i].guid = "own-" + std::to_string(i); // 5 of its own: contained in nothing
    SourceRegistry registry;
    for (const std::string id : {"mac", "copy", "part", "other", "overlap"}) {
        Source s;
        s.id = id;
        s.owner = "jorin";
        s.path = "/" + id;
        registry.add(s);
    }
    TreskEngine::RunOptions o;
    o.writeStatus = false;
    TreskEngine(registry, (dir / "root").string(), IngesterRegistry({ingester}), nullptr, FilterSet()).run(o);

    TreskStore store((dir / "root" / "jorin" / "tresk.db").string());
    const auto findings = Analyzer::analyze(store.sourceContents(), store.sourceOverlaps());
    ASSERT_EQ(findings.size(), 3u);
    // Sorted by source id: copy, mac, part.
    EXPECT_EQ(findings[0], (Analyzer::Finding{"copy", "identical", "mac", findings[0].explanation}));
    EXPECT_EQ(findings[1].sourceId, "mac");
    EXPECT_EQ(findings[1].kind, "identical");
    EXPECT_EQ(findings[1].otherSourceId, "copy");
    EXPECT_EQ(findings[2].sourceId, "part");
    EXPECT_EQ(findings[2].kind, "redundant");
    // Contained in mac and copy (40 each; "overlap" lacks 5 of part's): the tie goes to the lowest id.
    EXPECT_EQ(findings[2].otherSourceId, "copy");
    EXPECT_NE(findings[2].explanation.find("25 messages"), std::string::npos) << findings[2].explanation;
    EXPECT_EQ(Analyzer::identicalGroups(findings), (std::vector<std::vector<std::string>>{{"copy", "mac"}}));
}

TEST(DuplicateSources, TiesAndOddInputGiveOneDeterministicFindingPerSource) {
    // Three identical sources, one of them listed twice, and an empty source.
    const std::vector<TreskStore::SourceContent> contents = {content("c", 10), content("a", 10), content("b", 10),
                                                             content("a", 99), content("empty", 0)};
    const std::vector<TreskStore::SourceOverlap> overlaps = {{"a", "b", 10}, {"a", "c", 10},    {"b", "c", 10},
                                                             {"a", "b", 3},  {"empty", "a", 0}, {"a", "a", 10}};
    const auto findings = Analyzer::analyze(contents, overlaps);
    ASSERT_EQ(findings.size(), 3u);
    EXPECT_EQ(findings[0].sourceId, "a");
    EXPECT_EQ(findings[0].otherSourceId, "b");
    EXPECT_EQ(findings[1].otherSourceId, "a");
    EXPECT_EQ(findings[2].otherSourceId, "a");
    EXPECT_EQ(Analyzer::identicalGroups(findings), (std::vector<std::vector<std::string>>{{"a", "b", "c"}}));

    // A chain of identical findings given in any order still makes one group.
    const std::vector<Analyzer::Finding> chain = {{"d", "identical", "c", ""},
                                                  {"x", "redundant", "y", ""},
                                                  {"b", "identical", "a", ""},
                                                  {"c", "identical", "b", ""}};
    EXPECT_EQ(Analyzer::identicalGroups(chain), (std::vector<std::vector<std::string>>{{"a", "b", "c", "d"}}));
    EXPECT_TRUE(Analyzer::analyze({}, {}).empty());
}

TEST(DuplicateSources, ASourceIdIsNeverRegisteredTwice) {
    SourceRegistry registry;
    Source s;
    s.id = "mac";
    s.owner = "jorin";
    s.path = "/one";
    ASSERT_TRUE(registry.add(s));
    Source again = s;
    again.path = "/two";
    EXPECT_FALSE(registry.add(again));
    ASSERT_EQ(registry.sources().size(), 1u);
    EXPECT_EQ(registry.sources()[0].path, "/one");

    // A list file that repeats an id is damaged, not half-read.
    test::TempDir dir;
    test::writeAll(dir / "sources.json",
                   R"([{"id":"mac","owner":"jorin","path":"/one","format":"macosMessagesFolder","label":null},)"
                   R"( {"id":"mac","owner":"jorin","path":"/two","format":"macosMessagesFolder","label":null}])");
    const auto load = SourceRegistry::loadOrReport(dir / "sources.json");
    EXPECT_TRUE(load.problem.has_value());
    EXPECT_TRUE(load.registry.sources().empty());
}
