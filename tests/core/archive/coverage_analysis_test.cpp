// Coverage periods and gaps computed from archives written by the real engine.
#include "core/archive/tresk_engine.h"
#include "core/archive/tresk_store_detail.h"
#include "tests/core/archive/fake_ingester.h"
#include "tests/support/platform_doubles.h"
#include "tests/support/test_env.h"

#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>

using namespace kx;
using kx::test::FakeIngester;
using kx::test::TempDir;
using Kind = CoverageGap::Kind;

namespace {

const Date kT0 = fromUnixSeconds(1.7e9);
constexpr auto kDay = std::chrono::hours(24);

// `count` messages, one an hour, from `start`.
test::FakeSourceData burst(const std::string& prefix, Date start, int count, int firstRow = 1) {
    return test::makeChat("+15550001", count, prefix, start, firstRow);
}

void append(test::FakeSourceData& to, const test::FakeSourceData& more) {
    to.messages.insert(to.messages.end(), more.messages.begin(), more.messages.end());
}

struct CoverageFixture : ::testing::Test {
    TempDir dir;
    std::string root = (dir / "Tresk").string();
    std::shared_ptr<FakeIngester> ingester = std::make_shared<FakeIngester>();
    SourceRegistry registry;

    void add(const std::string& id, const std::string& owner = "jorin", bool scanned = true) {
        Source s;
        s.id = id;
        s.owner = owner;
        s.path = "/src/" + id;
        if (scanned) s.lastScanned = kT0;
        registry.add(s);
    }
    TreskEngine engine() {
        return TreskEngine(registry, root, IngesterRegistry({ingester}), std::make_shared<MapContactResolver>(),
                           FilterSet(), std::make_shared<FixedClock>(kT0));
    }
    void run() {
        TreskEngine::RunOptions o;
        o.writeStatus = false;
        engine().run(o);
    }
};

} // namespace

TEST_F(CoverageFixture, PeriodsSplitAtLongSilencesAndGapsAreNamedByWhatTheSourcesSay) {
    // Source "a": January and March (spans February's silence: quiet).
    auto a = burst("a1", kT0, 10);
    append(a, burst("a2", kT0 + kDay * 60, 10, 100));
    // Source "b": June only; nothing between March and June anywhere: missing.
    auto b = burst("b1", kT0 + kDay * 150, 5);
    ingester->data["/src/a"] = a;
    ingester->data["/src/b"] = b;
    add("a");
    add("b");
    run();

    const auto cov = engine().coverage(kT0 + kDay * 152);
    ASSERT_EQ(cov.size(), 1u);
    const auto& c = cov[0];
    EXPECT_EQ(c.owner, "jorin");
    EXPECT_EQ(c.messageCount, 25);
    ASSERT_EQ(c.periods.size(), 3u);
    EXPECT_EQ(c.periods[0].start, kT0);
    EXPECT_EQ(c.periods[0].end, kT0 + std::chrono::minutes(9));
    EXPECT_EQ(c.periods[0].messageCount, 10);
    EXPECT_EQ(*c.firstDate, kT0);
    EXPECT_EQ(*c.lastDate, kT0 + kDay * 150 + std::chrono::minutes(4));
    ASSERT_EQ(c.gaps.size(), 2u); // 2 days since the last message: no trailing gap
    EXPECT_EQ(c.gaps[0].kind, Kind::quiet);
    EXPECT_EQ(c.gaps[0].days, 59);
    EXPECT_NE(c.gaps[0].detail->find("\"a\""), std::string::npos);
    EXPECT_EQ(c.gaps[1].kind, Kind::missing);
    // Named by what it is about: its kind's title stands beside the name.
    EXPECT_EQ(c.gaps[1].name, "jorin");
    EXPECT_EQ(c.gaps[0].name, "jorin");
    EXPECT_EQ(c.gaps[1].start, c.periods[1].end);
    EXPECT_EQ(c.gaps[1].end, c.periods[2].start);
    EXPECT_EQ(c.gaps[1].owner, "jorin");
}

TEST_F(CoverageFixture, ASourceNotReadInFullTurnsMissingIntoNotScannedAndTheTailIsTrailing) {
    auto a = burst("a1", kT0, 3);
    append(a, burst("a2", kT0 + kDay * 40, 3, 100));
    ingester->data["/src/a"] = a;
    add("a");
    run();
    add("phone", "jorin", /*scanned=*/false); // registered, never scanned

    const auto c = engine().coverage(kT0 + kDay * 70).at(0);
    ASSERT_EQ(c.gaps.size(), 2u);
    // "a" holds messages on both sides, so the first stretch is quiet whatever "phone" holds.
    EXPECT_EQ(c.gaps[0].kind, Kind::quiet);
    EXPECT_EQ(c.gaps[1].kind, Kind::trailing);
    EXPECT_EQ(c.gaps[1].days, 29);
    EXPECT_NE(c.gaps[1].detail->find("\"phone\" has not been read in full"), std::string::npos) << *c.gaps[1].detail;

    // Two sources that each hold one side: nobody spans it, and "phone" may hold it.
    registry = SourceRegistry();
    ingester->data["/src/x"] = burst("a1", kT0, 3);
    ingester->data["/src/y"] = burst("a2", kT0 + kDay * 40, 3, 100);
    add("x");
    add("y");
    run();
    add("phone", "jorin", false);
    auto gaps = engine().coverage(kT0 + kDay * 41).at(0).gaps;
    ASSERT_EQ(gaps.size(), 1u);
    EXPECT_EQ(gaps[0].kind, Kind::notScanned);
}

TEST_F(CoverageFixture, EmptyRowsReactionsAndFutureDatesAreNotActivity) {
    auto a = burst("real", kT0, 5);
    // Thousands of empty rows on one date far from the real messages.
    for (int i = 0; i < 3000; ++i) {
        MessageRecord m;
        m.guid = "junk-" + std::to_string(i);
        m.chatGuid = a.chats[0].guid;
        m.text = i % 2 ? std::optional<std::string>("") : std::nullopt;
        m.date = kT0 - kDay * 400;
        m.sourceRowId = 1000 + i;
        a.messages.push_back(m);
    }
    // A reaction a month later, and a message from a device whose clock was years ahead.
    MessageRecord reaction;
    reaction.guid = "tapback";
    reaction.chatGuid = a.chats[0].guid;
    reaction.text = "Loved \"hi\"";
    reaction.associatedMessageGuid = "p:0/real-0";
    reaction.associatedMessageType = 2000;
    reaction.date = kT0 + kDay * 30;
    reaction.sourceRowId = 5000;
    MessageRecord future = a.messages[0];
    future.guid = "future";
    future.date = kT0 + kDay * 3000;
    future.sourceRowId = 5001;
    a.messages.push_back(reaction);
    a.messages.push_back(future);
    ingester->data["/src/a"] = a;
    add("a");
    run();

    const auto c = engine().coverage(kT0 + kDay * 3).at(0);
    ASSERT_EQ(c.periods.size(), 1u);
    EXPECT_EQ(*c.firstDate, kT0);
    EXPECT_EQ(c.periods[0].messageCount, 5);
    EXPECT_TRUE(c.gaps.empty());
    EXPECT_EQ(c.messageCount, 3007); // what the archive holds, the reaction too
}

TEST_F(CoverageFixture, OwnersWithoutAnArchiveAreListedEmptyInRegistryOrder) {
    ingester->data["/src/a"] = burst("a", kT0, 2);
    add("a", "zoe");
    add("b", "adam", false);
    run();
    const auto cov = engine().coverage(kT0);
    ASSERT_EQ(cov.size(), 2u);
    EXPECT_EQ(cov[0].owner, "zoe");
    EXPECT_EQ(cov[1].owner, "adam");
    EXPECT_FALSE(cov[1].firstDate.has_value());
    EXPECT_TRUE(cov[1].periods.empty());
    EXPECT_TRUE(cov[1].gaps.empty());

    EXPECT_THROW(TreskEngine(registry, "", IngesterRegistry(), nullptr, FilterSet()).coverage(kT0), Error);
}

TEST_F(CoverageFixture, EveryRunRecordsTheGapsTheCoverageScreenShows) {
    // January and June, nothing between them anywhere, nothing for the last two months.
    ingester->data["/src/a"] = burst("a", kT0, 10);
    ingester->data["/src/b"] = burst("b", kT0 + kDay * 150, 5);
    ingester->unreadable["/src/phone"] = "the phone's backup is not there";
    add("a", "jorin", /*scanned=*/false); // first read by this very run
    add("b");
    add("phone", "sam");
    const Date now = kT0 + kDay * 210;
    TreskEngine::RunOptions o;
    const auto report = TreskEngine(registry, root, IngesterRegistry({ingester}),
                                    std::make_shared<MapContactResolver>(), FilterSet(),
                                    std::make_shared<FixedClock>(now))
                            .run(o);

    ASSERT_EQ(report.gaps.size(), 2u);
    EXPECT_EQ(report.gaps[0].kind, Kind::missing); // not "not scanned": this run read "a" in full
    EXPECT_EQ(report.gaps[0].days, 149);
    EXPECT_EQ(report.gaps[1].kind, Kind::trailing);
    EXPECT_EQ(report.gaps[1].days, 59);
    EXPECT_EQ(report.gaps[1].end, now);

    // The coverage screen, analysing the registry as the run left it, shows the same gaps.
    applyOutcomes(registry, report);
    std::vector<CoverageGap> shown;
    for (const auto& owner : TreskEngine(registry, root, IngesterRegistry(), nullptr, FilterSet()).coverage(now))
        shown.insert(shown.end(), owner.gaps.begin(), owner.gaps.end());
    EXPECT_EQ(report.gaps, shown);
    // And so does STATUS.json, which the menu-bar panel and the health screen read.
    const auto status = TreskEngine::readStatus(root + "/STATUS.json");
    ASSERT_TRUE(status);
    EXPECT_EQ(status->gaps, shown);
}

// The store keeps each day's and each source's activity as it is written, so a
// run reads a large archive's coverage without going through its messages; what
// it keeps must always give the coverage the messages themselves give.
TEST_F(CoverageFixture, TheActivityKeptByTheStoreGivesTheCoverageTheMessagesGive) {
    const std::string db = root + "/jorin/tresk.db";
    auto fromMessages = [&](Date now) {
        {
            SQLite::Database h(db, SQLite::OPEN_READWRITE);
            h.exec("UPDATE meta SET value = 'stale' WHERE key = 'activityUpTo'");
        }
        return engine().coverage(now);
    };
    auto kept = [&] {
        SQLite::Database h(db, SQLite::OPEN_READONLY);
        return h.execAndGet("SELECT (SELECT value FROM meta WHERE key = 'activityUpTo') = "
                            "CAST((SELECT max(seq) FROM records) AS TEXT)")
                   .getInt() == 1;
    };
    auto check = [&](Date now, const char* step) {
        ASSERT_TRUE(kept()) << step;
        const auto fromKept = engine().coverage(now);
        EXPECT_EQ(fromKept, fromMessages(now)) << step;
        run(); // the next writer counts the tables afresh
        EXPECT_TRUE(kept()) << step;
        EXPECT_EQ(engine().coverage(now), fromKept) << step;
    };
    auto a = burst("a", kT0, 10);
    append(a, burst("a2", kT0 + kDay * 60, 10, 100));
    MessageRecord blank = a.messages[0];
    blank.guid = "blank";
    blank.text = " \xEF\xBF\xBC";
    blank.date = kT0 + kDay * 30;
    blank.sourceRowId = 500;
    a.messages.push_back(blank);
    MessageRecord bodiless = blank; // a body the reader could not decode
    bodiless.guid = "bodiless";
    bodiless.text.reset();
    bodiless.date = kT0 + kDay * 40;
    bodiless.sourceRowId = 501;
    a.messages.push_back(bodiless);
    ingester->data["/src/a"] = a;
    add("a");
    run();
    check(kT0 + kDay * 70, "a first load");

    // New messages, and a second source that holds some of the same ones.
    append(ingester->data["/src/a"], burst("a3", kT0 + kDay * 90, 5, 600));
    auto b = burst("a2", kT0 + kDay * 60, 10, 100);
    append(b, burst("b", kT0 + kDay * 120, 4, 700));
    ingester->data["/src/b"] = b;
    add("b");
    run();
    check(kT0 + kDay * 130, "new messages and a second source");

    // The bodiless message gains its text from a later copy: it becomes activity.
    MessageRecord text = bodiless;
    text.text = "now with words";
    text.sourceRowId = 900;
    ingester->data["/src/c"].chats = a.chats;
    ingester->data["/src/c"].messages = {text};
    add("c");
    run();
    EXPECT_FALSE(kept()) << "a message that became real is counted afresh";
    const auto fromMessagesNow = engine().coverage(kT0 + kDay * 130);
    run();
    check(kT0 + kDay * 130, "a message that became real");
    EXPECT_EQ(engine().coverage(kT0 + kDay * 130), fromMessagesNow);
}

// The writer decides which new messages are activity by the test the coverage
// query applies to the messages table: both must agree on every text.
TEST(RealMessageText, TheWritersTestAgreesWithTheQuerys) {
    SQLite::Database db(":memory:");
    SQLite::Statement q(db, "SELECT length(trim(?1, ' ' || char(9, 10, 13, 65532))) > 0");
    using namespace std::string_literals;
    for (const std::string& text :
         {""s, " "s, " \t\n\r"s, "\xEF\xBF\xBC"s, " \xEF\xBF\xBC\n"s, "a"s, " \xEF\xBF\xBC a"s, "\0abc"s, " \0abc"s,
          "a\0"s, "\xC2\xA0"s, "\xF0\x9F\x8E\x89"s, "\xEF\xBF"s}) {
        q.reset();
        q.bind(1, text.data(), static_cast<int>(text.size()));
        ASSERT_TRUE(q.executeStep());
        EXPECT_EQ(store_detail::hasVisibleText(text), q.getColumn(0).getInt() == 1) << '"' << text << '"';
    }
}
