#include "core/archive/archive_records.h"
#include "core/archive/search_index.h"
#include "core/archive/tresk_store.h"
#include "core/archive/tresk_store_writer.h"
#include "core/platform/error.h"
#include "tests/support/test_env.h"

#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>

#include <functional>
#include <limits>

using namespace kx;
using kx::test::TempDir;

namespace {

const Date kStart = fromUnixSeconds(1.7e9);

Source src(const std::string& id) {
    Source s;
    s.id = id;
    s.owner = "jo";
    s.path = "/sources/" + id;
    return s;
}

MessageRecord msg(const std::string& guid, const std::string& chat, std::optional<std::string> text, int minute,
                  std::string handle = "+15550001") {
    MessageRecord m;
    m.guid = guid;
    m.chatGuid = chat;
    m.handle = handle;
    m.service = "iMessage";
    m.text = std::move(text);
    m.date = kStart + std::chrono::minutes(minute);
    return m;
}

struct StoreFixture : ::testing::Test {
    TempDir dir;
    std::string path = (dir / "jo" / "tresk.db").string();
    std::unique_ptr<TreskStoreWriter> w = TreskStoreWriter::open(path, "jo", kStart);
    int64_t a = 0, b = 0;
    void SetUp() override {
        w->begin();
        a = w->sourceRow(src("A"), kStart);
        b = w->sourceRow(src("B"), kStart);
    }
    void add(const MessageRecord& m, int64_t row) { w->addMessage(m, row, kStart); }
    TreskStore reader() {
        w->commit();
        const auto indexed = SearchIndexer::catchUp(path);
        EXPECT_FALSE(indexed.problem) << *indexed.problem;
        w->clearSearchPending(indexed.reindexed);
        w->begin();
        return TreskStore(path);
    }
};

} // namespace

TEST(TreskStoreOpen, ReadOnlyOpenNeverCreatesAndRefusesForeignFiles) {
    TempDir dir;
    const auto missing = dir / "nobody" / "tresk.db";
    EXPECT_THROW(TreskStore(missing.string()), Error);
    EXPECT_FALSE(std::filesystem::exists(missing));
    EXPECT_FALSE(std::filesystem::exists(missing.parent_path()));

    const auto foreign = dir / "foreign.db";
    {
        SQLite::Database db(foreign.string(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
        db.exec("CREATE TABLE message(ROWID INTEGER PRIMARY KEY, text TEXT)");
    }
    const auto before = kx::test::readAll(foreign);
    EXPECT_THROW(TreskStore(foreign.string()), Error);
    EXPECT_THROW(TreskStoreWriter::open(foreign.string(), "jo", kStart), Error);
    EXPECT_TRUE(kx::test::readAll(foreign) == before) << "the foreign database was changed";

    kx::test::writeAll(dir / "junk.db", std::string(4096, 'x'));
    EXPECT_THROW(TreskStore((dir / "junk.db").string()), Error);
}

TEST(TreskStoreOpen, AStoreBelongsToOneOwner) {
    TempDir dir;
    const auto path = (dir / "a_b" / "tresk.db").string();
    TreskStoreWriter::open(path, "a/b", kStart).reset();
    EXPECT_EQ(TreskStore(path).owner(), "a/b");
    EXPECT_THROW(TreskStoreWriter::open(path, "a_b", kStart), Error);
    EXPECT_NO_THROW(TreskStoreWriter::open(path, "a/b", kStart));
}

// A first load checks references once, at its end, instead of row by row: a
// clean load finds nothing; a row referring to a missing one (written here
// behind the writer's back) is found and named.
TEST(TreskStoreFirstLoad, ChecksEveryReferenceAtItsEnd) {
    TempDir dir;
    auto load = [&](const std::string& owner, const std::function<void(const std::string&)>& meanwhile) {
        const std::string path = (dir / owner / "tresk.db").string();
        auto w = TreskStoreWriter::open(path, owner, kStart);
        EXPECT_TRUE(w->beginBulkLoad());
        w->begin();
        const int64_t row = w->sourceRow(src("A"), kStart);
        for (int i = 0; i < 40; ++i)
            w->addMessage(msg("m" + std::to_string(i), "iMessage;-;+15550001", "hi", i), row, kStart);
        w->commit();
        meanwhile(path);
        return w->finishBulkLoad();
    };
    EXPECT_EQ(load("jo", [](const std::string&) {}), std::nullopt);
    const auto found = load("al", [](const std::string& path) {
        SQLite::Database raw(path, SQLite::OPEN_READWRITE);
        raw.exec("INSERT INTO message_sources(message_id, source_id, first_seen, last_seen) VALUES (4000, 1, 0, 0)");
    });
    ASSERT_TRUE(found);
    EXPECT_NE(found->find("holds 1 row that refers to missing rows"), std::string::npos) << *found;
    EXPECT_NE(found->find("message_sources"), std::string::npos) << *found;
}

TEST_F(StoreFixture, AMessageSeenInTwoSourcesIsStoredOnceWithBothAsProvenance) {
    add(msg("g1", "iMessage;-;+15550001", "hello", 1), a);
    add(msg("g1", "iMessage;-;+15550001", "hello", 1), b);
    add(msg("g2", "iMessage;-;+15550001", "only in A", 2), a);
    auto r = reader();
    EXPECT_EQ(r.messageCount(), 2);
    EXPECT_EQ(r.corroboratedCount(), 1);
    EXPECT_EQ(r.duplicateCopies(), 1);
    EXPECT_EQ(r.sources("g1"), (std::vector<std::string>{"A", "B"}));
    const auto page = r.messages("jo", "+15550001", 10, 0);
    ASSERT_EQ(page.size(), 2u);
    EXPECT_EQ(page[0].sourceIds, (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(page[1].sourceIds, (std::vector<std::string>{"A"}));
    const auto overlaps = r.sourceOverlaps();
    ASSERT_EQ(overlaps.size(), 1u);
    EXPECT_EQ(overlaps[0].shared, 1);
}

TEST_F(StoreFixture, ALaterSightingFillsGapsButNeverBlanksOrLosesABody) {
    auto first = msg("g1", "iMessage;-;+15550001", "original words", 1);
    add(first, a);
    // An older copy of the message after it was unsent: no text, retraction date.
    auto retracted = first;
    retracted.text.reset();
    retracted.dateRetracted = kStart + std::chrono::minutes(5);
    add(retracted, b);
    // An edit: new text, edit date.
    auto edited = first;
    edited.text = "edited words";
    edited.dateEdited = kStart + std::chrono::minutes(3);
    add(edited, a);
    // An older copy with the original text again must not undo the edit.
    add(first, b);
    auto r = reader();
    const auto page = r.messages("jo", "+15550001", 10, 0);
    ASSERT_EQ(page.size(), 1u);
    EXPECT_EQ(page[0].text, "edited words");
    EXPECT_TRUE(page[0].dateRetracted);
    std::vector<std::string> bodies;
    for (const auto& v : r.versions("g1")) bodies.push_back(v.text);
    std::sort(bodies.begin(), bodies.end());
    EXPECT_EQ(bodies, (std::vector<std::string>{"edited words", "original words"}));
    EXPECT_EQ(r.searchCount("original", "jo"), 0);
    EXPECT_EQ(r.searchCount("edited", "jo"), 1);
}

TEST_F(StoreFixture, PagesAreChronologicalAndLeaveReactionsOut) {
    for (int i = 0; i < 450; ++i)
        add(msg("m" + std::to_string(i), "iMessage;-;+15550001", "text " + std::to_string(i), 450 - i), a);
    auto like = msg("r1", "iMessage;-;+15550001", "Liked “text 0”", 500);
    like.associatedMessageGuid = "p:0/m0";
    like.associatedMessageType = 2001;
    add(like, a);
    auto r = reader();
    const auto convs = r.conversations("jo");
    ASSERT_EQ(convs.size(), 1u);
    EXPECT_EQ(convs[0].handle, "+15550001");
    EXPECT_EQ(convs[0].detail, "iMessage");
    EXPECT_EQ(convs[0].messageCount, 450);
    const auto last = r.messages("jo", "+15550001", 200, 250);
    ASSERT_EQ(last.size(), 200u);
    EXPECT_EQ(last.front().id, "m199"); // the 251st oldest
    EXPECT_EQ(last.back().id, "m0");
    EXPECT_EQ(r.messages("jo", "+15550001", 200, 440).size(), 10u);
    EXPECT_TRUE(r.messages("jo", "nobody", 200, 0).empty());
    const auto reactions = r.reactions({"m0"});
    ASSERT_EQ(reactions.count("m0"), 1u);
    EXPECT_EQ(reactions.at("m0")[0].type, 2001);
    EXPECT_EQ(r.searchCount("Liked", "jo"), 0);
}

TEST_F(StoreFixture, PagesSeekBothWaysWithoutGapOrRepeatAcrossEqualAndMissingDates) {
    const std::string chat = "iMessage;-;+15550001";
    // 300 dated messages where runs of three share a minute, stored out of
    // order, then 7 undated ones.
    for (int i = 0; i < 300; ++i) {
        const int j = (i * 7) % 300;
        add(msg("d" + std::to_string(j), chat, "dated", j / 3), a);
    }
    for (int i = 0; i < 7; ++i) {
        auto m = msg("u" + std::to_string(i), chat, "undated", 0);
        m.date.reset();
        add(m, a);
    }
    auto like = msg("r1", chat, "Liked", 200);
    like.associatedMessageGuid = "p:0/d0";
    like.associatedMessageType = 2001;
    add(like, a);
    auto r = reader();
    const auto all = r.messages("jo", "+15550001", 1000, 0);
    ASSERT_EQ(all.size(), 307u);

    auto page = r.threadPage("+15550001", std::nullopt, 100, true);
    ASSERT_TRUE(page.total);
    EXPECT_EQ(*page.total, 307);
    std::vector<std::string> collected;
    int pages = 0;
    for (;;) {
        ++pages;
        ASSERT_LE(page.messages.size(), 100u);
        std::vector<std::string> ids;
        for (const auto& m : page.messages) ids.push_back(m.id);
        collected.insert(collected.begin(), ids.begin(), ids.end());
        if (page.reachesOldest) break;
        EXPECT_EQ(page.messages.size(), 100u);
        page = r.threadPage("+15550001", page.messages.front().id, 100, false);
        EXPECT_FALSE(page.total);
    }
    EXPECT_EQ(pages, 4);
    ASSERT_EQ(collected.size(), all.size());
    for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(collected[i], all[i].id) << "position " << i;

    // A page that exactly reaches the oldest message says so.
    EXPECT_TRUE(r.threadPage("+15550001", all[100].id, 100, false).reachesOldest);
    EXPECT_FALSE(r.threadPage("+15550001", all[101].id, 100, false).reachesOldest);
    EXPECT_TRUE(r.threadPage("+15550001", all[0].id, 100, false).messages.empty());
    EXPECT_EQ(r.conversationMessageCount("+15550001"), 307);
    EXPECT_EQ(r.conversationMessageCount("nobody"), 0);
    const auto none = r.threadPage("nobody", std::nullopt, 100, true);
    EXPECT_TRUE(none.messages.empty() && none.reachesOldest && none.total == 0);
    // An anchor that is not a message of the conversation is an error, never an empty page.
    EXPECT_THROW(r.threadPage("+15550001", std::string("r1"), 100, false), Error);
    EXPECT_THROW(r.threadPage("+15550001", std::string("nope"), 100, false), Error);
    EXPECT_THROW(r.threadPage("nobody", all[5].id, 100, false), Error);

    // Forwards from the oldest, as an export reads: pages ending among the
    // undated messages and inside runs of one minute.
    for (int64_t size : {int64_t(5), int64_t(100)}) {
        std::vector<std::string> forwards;
        std::optional<std::string> last;
        for (;;) {
            const auto next = r.messagesAfter("+15550001", last, size);
            for (const auto& m : next) forwards.push_back(m.id);
            if (static_cast<int64_t>(next.size()) < size) break;
            last = next.back().id;
        }
        ASSERT_EQ(forwards.size(), all.size()) << size;
        for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(forwards[i], all[i].id) << "position " << i;
    }
    EXPECT_TRUE(r.messagesAfter("+15550001", all.back().id, 10).empty());
    EXPECT_TRUE(r.messagesAfter("nobody", std::nullopt, 10).empty());
    EXPECT_THROW(r.messagesAfter("+15550001", std::string("r1"), 10), Error);
}

TEST_F(StoreFixture, ConversationCountsAndDatesAreKeptAsMessagesArriveAndCountedAfreshWhenStale) {
    const std::string one = "iMessage;-;+15550001", two = "iMessage;-;+15550002";
    for (int i = 0; i < 30; ++i) add(msg("a" + std::to_string(i), one, "x", i), a);
    auto undated = msg("u", two, "no date yet", 0, "+15550002");
    undated.date.reset();
    add(undated, a);
    auto like = msg("r", one, "Liked", 99);
    like.associatedMessageGuid = "p:0/a0";
    like.associatedMessageType = 2000;
    add(like, a);
    add(msg("a3", one, "x", 3), b); // seen again by a second source: still one message
    auto counted = [&](TreskStore& r) {
        std::map<std::string, std::pair<int64_t, std::optional<Date>>> out;
        for (const auto& c : r.conversations("jo")) out[c.handle] = {c.messageCount, c.lastDate};
        return out;
    };
    {
        auto r = reader();
        const auto list = counted(r);
        EXPECT_EQ(list.at("+15550001").first, 30);
        EXPECT_EQ(list.at("+15550001").second, kStart + std::chrono::minutes(29));
        EXPECT_EQ(list.at("+15550002").first, 1);
        EXPECT_FALSE(list.at("+15550002").second);
        EXPECT_EQ(r.conversationMessageCount("+15550001"), 30);
        EXPECT_EQ(r.threadPage("+15550002", std::nullopt, 10, true).total, 1);
    }
    // A later sighting dates the undated message.
    add(msg("u", two, "no date yet", 50, "+15550002"), b);
    w->commit();
    {
        TreskStore r(path);
        EXPECT_EQ(counted(r).at("+15550002").second, kStart + std::chrono::minutes(50));
    }
    // A program that does not keep the totals adds a message: readers count,
    // and the next writer counts afresh.
    {
        SQLite::Database raw(path, SQLite::OPEN_READWRITE);
        raw.exec("INSERT INTO messages(guid, conversation_id, text, date, is_from_me, is_reaction, first_archived, "
                 "associated_type) SELECT 'foreign', conversation_id, 'x', date + 1, 0, 0, 0, 0 FROM messages "
                 "WHERE guid = 'a29'");
    }
    {
        TreskStore r(path);
        EXPECT_EQ(counted(r).at("+15550001").first, 31);
        EXPECT_EQ(r.conversationMessageCount("+15550001"), 31);
    }
    w.reset();
    w = TreskStoreWriter::open(path, "jo", kStart);
    TreskStore r(path);
    EXPECT_EQ(counted(r).at("+15550001").first, 31);
    SQLite::Database raw(path, SQLite::OPEN_READONLY);
    EXPECT_EQ(raw.execAndGet("SELECT messages FROM conversation_totals t JOIN conversations c ON c.id = "
                             "t.conversation_id WHERE c.key = '+15550001'")
                  .getInt64(),
              31);
    w->begin();
}

TEST_F(StoreFixture, GroupChatsAndAttachmentsAreKept) {
    ChatRecord group;
    group.guid = "iMessage;+;chat42";
    group.identifier = "chat42";
    group.displayName = "Climbing";
    group.isGroup = true;
    group.participants = {"+15550001", "ann@example.com"};
    w->addChat(group);
    auto m = msg("g1", group.guid, "\xEF\xBF\xBC", 1, "ann@example.com");
    AttachmentRecord present;
    present.guid = "att-1";
    present.fileName = "photo.jpg";
    present.mimeType = "image/jpeg";
    present.totalBytes = 1234;
    present.state = AttachmentFileState::present;
    AttachmentRecord none;
    none.guid = "att-2";
    none.state = AttachmentFileState::notRecorded;
    m.attachments = {present, none};
    w->addMessage(m, a, kStart, {{"att-1", std::string(64, 'a')}});
    auto r = reader();
    const auto convs = r.conversations("jo");
    ASSERT_EQ(convs.size(), 1u);
    EXPECT_EQ(convs[0].handle, "chat42");
    EXPECT_EQ(convs[0].detail, "Climbing");
    const auto page = r.messages("jo", "chat42", 10, 0);
    ASSERT_EQ(page.size(), 1u);
    EXPECT_EQ(page[0].chatDisplayName, "Climbing");
    EXPECT_EQ(page[0].senderHandle, "ann@example.com");
    const auto att = r.attachments({"g1", "missing"});
    ASSERT_EQ(att.size(), 1u);
    ASSERT_EQ(att.at("g1").size(), 2u);
    EXPECT_EQ(att.at("g1")[0].objectKey, std::string(64, 'a'));
    EXPECT_EQ(att.at("g1")[0].hasFile, true);
    EXPECT_EQ(att.at("g1")[1].hasFile, false);
    EXPECT_FALSE(att.at("g1")[1].objectKey);
    const auto profiles = r.conversationProfiles("jo");
    ASSERT_EQ(profiles.size(), 1u);
    EXPECT_EQ(profiles[0].participants, (std::vector<std::string>{"+15550001", "ann@example.com"}));
}

// Records are inserted several to a statement: what a load leaves must be the
// records its tables amount to, in the order they were taken in, whatever the
// batch boundaries (messages with versions, attachments and a second sighting
// among them, and a transaction ending part way through a batch).
TEST_F(StoreFixture, RecordsWrittenInBatchesAreThoseOfTheTablesInOrder) {
    for (int i = 0; i < 75; ++i) {
        auto m = msg("m" + std::to_string(i), "iMessage;-;+1555000" + std::to_string(i % 3),
                     "text " + std::to_string(i), i, "+1555000" + std::to_string(i % 3));
        if (i % 7 == 0) m.edits = {EditRecord{kStart, "draft " + std::to_string(i)}};
        if (i % 11 == 0) {
            AttachmentRecord att;
            att.guid = "att-" + std::to_string(i);
            att.fileName = "f" + std::to_string(i) + ".jpg";
            att.state = AttachmentFileState::present;
            m.attachments = {att};
        }
        add(m, a);
        if (i == 40) add(m, a); // the same source again: a sighting seen before, no record
        if (i == 50) w->commit(), w->begin();
    }
    w->commit();
    SQLite::Database db(path, SQLite::OPEN_READONLY);
    std::vector<std::string> stored, derived;
    records::walk(db, [&](int64_t, std::string_view bytes) {
        stored.push_back(records::describe(bytes) + "|" + std::string(bytes));
        return true;
    });
    records::fromTables(db, [&](int, int64_t, std::string_view bytes) {
        derived.push_back(records::describe(bytes) + "|" + std::string(bytes));
    });
    EXPECT_GT(stored.size(), 75u + 11 + 11 + 3);
    EXPECT_EQ(stored, derived);
    EXPECT_EQ(db.execAndGet("SELECT count(*) FROM message_sources").getInt64(), 75);
    SQLite::Statement subjects(db, "SELECT count(*) FROM records r JOIN messages m ON m.id = r.subject "
                                   "WHERE r.family = 1 AND instr(r.body, m.guid) = 0");
    EXPECT_EQ(subjects.executeStep() ? subjects.getColumn(0).getInt64() : -1, 0)
        << "a record filed under another message";
    w->begin();
}

TEST_F(StoreFixture, SearchTakesTheQueryAsLiteralWords) {
    add(msg("g1", "iMessage;-;+15550001", "Meet at the café AND bring \"rope\"", 1), a);
    add(msg("g2", "iMessage;-;+15550002", "NEAR the crag - bring rope*", 2, "+15550002"), a);
    add(msg("g3", "iMessage;-;+15550002", "nothing here", 3, "+15550002"), a);
    auto r = reader();
    auto ids = [&](const std::string& q) {
        std::vector<std::string> out;
        for (const auto& h : r.search(q, "jo", std::nullopt, std::nullopt, std::nullopt, 50)) out.push_back(h.id);
        return out;
    };
    EXPECT_EQ(ids("cafe"), (std::vector<std::string>{"g1"}));
    EXPECT_EQ(ids("bring rope"), (std::vector<std::string>{"g2", "g1"})); // newest first
    EXPECT_EQ(ids("\"rope\""), (std::vector<std::string>{"g2", "g1"}));
    for (const char* q : {"AND", "NEAR", "-", "*", "rope*", "\"", "\"\"\"", "(", "a OR", "NOT crag", "col:x", "^"})
        EXPECT_NO_THROW(ids(q)) << q;
    EXPECT_EQ(ids("AND"), (std::vector<std::string>{"g1"}));
    EXPECT_EQ(ids("NEAR"), (std::vector<std::string>{"g2"}));
    EXPECT_TRUE(ids("   ").empty());
    EXPECT_TRUE(ids("").empty());
    EXPECT_EQ(r.searchCount("bring", "jo"), 2);
    EXPECT_EQ(r.search("bring", "jo", std::string("+15550002"), std::nullopt, std::nullopt, 50).size(), 1u);
    EXPECT_EQ(r.search("bring", "jo", std::nullopt, kStart + std::chrono::minutes(2), std::nullopt, 50).size(), 1u);
    EXPECT_EQ(r.search("bring", "jo", std::nullopt, std::nullopt, kStart + std::chrono::minutes(1), 50).size(), 1u);
    EXPECT_EQ(r.search("bring", "jo", std::nullopt, std::nullopt, std::nullopt, 1).size(), 1u);
}

TEST(TreskStoreSearch, AMissingOrDamagedIndexIsAnErrorNotAnEmptyResult) {
    TempDir dir;
    const auto path = (dir / "tresk.db").string();
    {
        auto w = TreskStoreWriter::open(path, "jo", kStart);
        w->begin();
        w->addMessage(msg("g1", "iMessage;-;+15550001", "hello there", 1), w->sourceRow(src("A"), kStart), kStart);
        w->commit();
    }
    EXPECT_THROW(TreskStore(path).search("hello", "jo", std::nullopt, std::nullopt, std::nullopt, 10), Error);
    EXPECT_THROW(TreskStore(path).searchCount("hello", "jo"), Error);
    ASSERT_FALSE(SearchIndexer::catchUp(path).problem);
    EXPECT_EQ(TreskStore(path).searchCount("hello", "jo"), 1);
    {
        SQLite::Database db(searchIndexPath(path), SQLite::OPEN_READWRITE);
        db.exec("DROP TABLE search");
        db.exec("CREATE TABLE search(text TEXT)");
    }
    TreskStore r(path);
    EXPECT_THROW(r.search("hello", "jo", std::nullopt, std::nullopt, std::nullopt, 10), Error);
    EXPECT_THROW(r.searchCount("hello", "jo"), Error);
}

TEST(TreskStoreSearch, TheIndexFollowsTextsThatChangeAfterIndexing) {
    TempDir dir;
    const auto path = (dir / "tresk.db").string();
    auto w = TreskStoreWriter::open(path, "jo", kStart);
    w->begin();
    const auto row = w->sourceRow(src("A"), kStart);
    auto m = msg("g1", "iMessage;-;+15550001", "first draft", 1);
    w->addMessage(m, row, kStart);
    w->commit();
    ASSERT_FALSE(SearchIndexer::catchUp(path).problem);
    m.text = "final words";
    m.dateEdited = kStart + std::chrono::minutes(2);
    w->begin();
    w->addMessage(m, row, kStart);
    w->commit();
    const auto r = SearchIndexer::catchUp(path);
    EXPECT_EQ(r.reindexed, (std::vector<int64_t>{1}));
    w->clearSearchPending(r.reindexed);
    TreskStore store(path);
    EXPECT_EQ(store.searchCount("draft", "jo"), 0);
    EXPECT_EQ(store.searchCount("final", "jo"), 1);
}

// The totals a run reports are kept as the store is written; they must always
// equal what counting the tables gives, through rollbacks, reopening, and a
// store whose totals are missing or behind.
TEST_F(StoreFixture, RunningTotalsAgreeWithCountingTheTables) {
    auto counted = [&] {
        SQLite::Database db(path, SQLite::OPEN_READONLY);
        TreskStoreWriter::Totals t;
        t.messages = db.execAndGet("SELECT count(*) FROM messages").getInt64();
        t.corroborated = db.execAndGet("SELECT count(*) FROM (SELECT message_id FROM message_sources GROUP BY "
                                       "message_id HAVING count(*) > 1)")
                             .getInt64();
        t.duplicateCopies =
            db.execAndGet("SELECT (SELECT count(*) FROM message_sources) - (SELECT count(DISTINCT message_id) FROM "
                          "message_sources)")
                .getInt64();
        return t;
    };
    const int64_t c = w->sourceRow(src("C"), kStart);
    for (int i = 0; i < 10; ++i) add(msg("m" + std::to_string(i), "iMessage;-;+15550001", "hi", i), a);
    for (int i = 0; i < 6; ++i) add(msg("m" + std::to_string(i), "iMessage;-;+15550001", "hi", i), b); // 6 shared
    for (int i = 0; i < 3; ++i) add(msg("m" + std::to_string(i), "iMessage;-;+15550001", "hi", i), c); // 3 thrice
    add(msg("m1", "iMessage;-;+15550001", "hi", 1), a); // the same source again adds nothing
    EXPECT_EQ(w->totals(), (TreskStoreWriter::Totals{10, 6, 9}));
    w->commit();
    EXPECT_EQ(w->totals(), counted());
    EXPECT_EQ(TreskStore(path).messageCount(), 10);

    // What a rolled-back batch added is not counted.
    w->begin();
    add(msg("gone", "iMessage;-;+15550001", "hi", 50), a);
    add(msg("m9", "iMessage;-;+15550001", "hi", 9), b);
    EXPECT_EQ(w->totals(), (TreskStoreWriter::Totals{11, 7, 10}));
    w->rollback();
    EXPECT_EQ(w->totals(), counted());
    w.reset();
    EXPECT_EQ(TreskStoreWriter::open(path, "jo", kStart)->totals(), counted());

    // A store without totals, or one added to by a program that does not keep
    // them, is counted once when opened for writing.
    {
        SQLite::Database db(path, SQLite::OPEN_READWRITE);
        db.exec("DELETE FROM meta WHERE key = 'corroboratedTotal'");
    }
    EXPECT_EQ(TreskStoreWriter::open(path, "jo", kStart)->totals(), counted());
    {
        SQLite::Database db(path, SQLite::OPEN_READWRITE);
        db.exec("INSERT INTO messages(id, guid, conversation_id, first_archived) SELECT 100, 'late', conversation_id, "
                "0 FROM messages LIMIT 1");
    }
    EXPECT_EQ(TreskStore(path).messageCount(), 11); // read by counting while the kept total disagrees
    EXPECT_EQ(TreskStoreWriter::open(path, "jo", kStart)->totals().messages, 11);
    EXPECT_EQ(TreskStore(path).messageCount(), 11);
}

TEST_F(StoreFixture, AReadSnapshotKeepsOneStateOfTheArchiveAcrossQueries) {
    for (int i = 0; i < 30; ++i) add(msg("m" + std::to_string(i), "iMessage;-;+15550001", "text", 100 + i), a);
    auto r = reader();
    {
        const auto snapshot = r.readSnapshot();
        const auto first = r.messages("jo", "+15550001", 10, 0);
        // A run archives older messages between two pages.
        for (int i = 0; i < 5; ++i) add(msg("old" + std::to_string(i), "iMessage;-;+15550001", "text", i), a);
        w->commit();
        w->begin();
        {
            const auto nested = r.readSnapshot(); // inside the outer one: changes nothing
            EXPECT_EQ(r.conversations("jo")[0].messageCount, 30);
        }
        const auto rest = r.messages("jo", "+15550001", 100, 10);
        ASSERT_EQ(first.size(), 10u);
        ASSERT_EQ(rest.size(), 20u);
        EXPECT_EQ(first.front().id, "m0");
        EXPECT_EQ(rest.front().id, "m10");
        EXPECT_EQ(rest.back().id, "m29");
    }
    EXPECT_EQ(r.conversations("jo")[0].messageCount, 35);
    EXPECT_EQ(r.messages("jo", "+15550001", 1, 0)[0].id, "old0");
}

TEST_F(StoreFixture, AWordInManyMessagesIsFoundNewestFirstByWalkingTheDates) {
    // More matches than the date walk's threshold, added out of date order,
    // with pairs sharing a date (the later-added one counts as newer).
    constexpr int kCount = 300;
    std::vector<std::pair<int, int>> expected; // (minute, insertion order)
    for (int i = 0; i < kCount; ++i) {
        const int minute = (i * 7) % (kCount / 2);
        add(msg("g" + std::to_string(i), "iMessage;-;+15550001", "bring rope " + std::to_string(i), minute), a);
        expected.emplace_back(minute, i);
    }
    add(msg("other", "iMessage;-;+15550001", "nothing here", 1000), a);
    std::sort(expected.begin(), expected.end(), std::greater<>());
    auto r = reader();
    ASSERT_GT(r.searchCount("rope", "jo"), TreskStore::kWalkByDateAbove * 5);
    for (int64_t limit : {int64_t(5), int64_t(14)}) {
        const auto hits = r.search("rope", "jo", std::nullopt, std::nullopt, std::nullopt, limit);
        ASSERT_EQ(hits.size(), static_cast<size_t>(limit));
        for (size_t k = 0; k < hits.size(); ++k) EXPECT_EQ(hits[k].id, "g" + std::to_string(expected[k].second)) << k;
    }
    // Date bounds still hold on the walk.
    const auto to = kStart + std::chrono::minutes(100);
    for (const auto& h : r.search("rope", "jo", std::nullopt, std::nullopt, to, 5)) EXPECT_LE(h.date, to);
}

// The writer finds a message's conversation and sender by their rows in the
// source; a row means the same only within one reading of the source, and
// nothing it found survives a rollback.
TEST_F(StoreFixture, ConversationsAndSendersFoundByTheirSourceRowsFollowEachReading) {
    auto at = [](MessageRecord m, int64_t space, int64_t chatRow, int64_t handleRow) {
        m.rowSpace = space;
        m.sourceChatRow = chatRow;
        m.sourceHandleRow = handleRow;
        return m;
    };
    add(at(msg("g1", "iMessage;-;+15550001", "first", 1, "+15550001"), 1, 5, 7), a);
    add(at(msg("g2", "iMessage;-;+15550001", "second", 2, "+15550001"), 1, 5, 7), a);
    // A later reading (a copy made after the chats and handles were renumbered)
    // uses the same rows for others.
    add(at(msg("g3", "iMessage;-;+15550002", "third", 3, "+15550002"), 2, 5, 7), a);
    w->commit();
    // What a rolled-back transaction created is not found again by its rows.
    w->begin();
    add(at(msg("g4", "iMessage;-;+15550003", "fourth", 4, "+15550003"), 3, 5, 7), a);
    w->rollback();
    w->begin();
    add(at(msg("g5", "iMessage;-;+15550003", "fifth", 5, "+15550003"), 3, 5, 7), a);
    auto r = reader();
    EXPECT_EQ(r.conversationMessageCount("+15550001"), 2);
    EXPECT_EQ(r.conversationMessageCount("+15550002"), 1);
    EXPECT_EQ(r.conversationMessageCount("+15550003"), 1);
    SQLite::Database db(path);
    auto sender = [&](const char* guid) {
        return db
            .execAndGet(std::string("SELECT h.handle FROM messages m JOIN handles h ON h.id = m.handle_id "
                                    "WHERE m.guid = '") +
                        guid + "'")
            .getString();
    };
    EXPECT_EQ(sender("g2"), "+15550001");
    EXPECT_EQ(sender("g3"), "+15550002");
    EXPECT_EQ(sender("g5"), "+15550003");
}

// What the search screen shows, the newest 200 matches and the number of all
// of them, read together, against the plain query over the same index: for a
// word in thousands of messages (found by walking the dates), for one in a few
// hundred (looked up) and for one in fewer messages than are shown, stored out
// of date order, with runs of one date, undated messages and a reaction that
// quotes the word.
TEST_F(StoreFixture, SearchResultsAndTheirTotalAreThoseOfThePlainQuery) {
    const std::string chat = "iMessage;-;+15550001";
    for (int i = 0; i < 6000; ++i) {
        std::string text = "note " + std::to_string(i);
        if (i % 5 != 4) text += " harbour";                                // 4,800 messages
        if (i % 20 == 0) text += " lantern";                               // 300
        if (i % 40 == 0 || i % 997 == 0) text += " beacon";                // 156
        if (i % 2 == 0 && (i * 37) % 900 < 200) text += " ember";          // 667, all of them old
        auto m = msg("g" + std::to_string(i), chat, text, (i * 37) % 900); // about five to a minute
        if (i % 997 == 0) m.date.reset();
        add(m, i % 3 == 0 ? b : a);
    }
    auto like = msg("r1", chat, "Liked “harbour lantern”", 2000);
    like.associatedMessageGuid = "p:0/g1";
    like.associatedMessageType = 2000;
    add(like, a);
    auto r = reader();

    SQLite::Database plain(path, SQLite::OPEN_READONLY);
    plain.exec("ATTACH DATABASE '" + searchIndexPath(path) + "' AS idx");
    auto nanos = [](int minute) {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   (kStart + std::chrono::minutes(minute)).time_since_epoch())
            .count();
    };
    // The newest matches dated within the bounds (in minutes), as SQL orders them.
    auto newest = [&](const std::string& word, int64_t limit, std::optional<int> from, int to) {
        std::vector<std::string> ids;
        SQLite::Statement q(plain, "SELECT guid FROM messages WHERE id IN (SELECT rowid FROM idx.search WHERE search "
                                   "MATCH ?) AND date BETWEEN ? AND ? ORDER BY date DESC, id DESC LIMIT ?");
        q.bind(1, word);
        q.bind(2, from ? nanos(*from) : std::numeric_limits<int64_t>::min());
        q.bind(3, nanos(to));
        q.bind(4, limit);
        while (q.executeStep()) ids.push_back(q.getColumn(0).getString());
        return ids;
    };
    auto expected = [&](const std::string& word) {
        std::vector<std::string> ids;
        SQLite::Statement q(plain, "SELECT guid FROM messages WHERE id IN (SELECT rowid FROM idx.search WHERE search "
                                   "MATCH ?) ORDER BY date DESC, id DESC LIMIT 200");
        q.bind(1, word);
        while (q.executeStep()) ids.push_back(q.getColumn(0).getString());
        SQLite::Statement n(plain, "SELECT count(*) FROM idx.search WHERE search MATCH ?");
        n.bind(1, word);
        n.executeStep();
        return std::pair{ids, n.getColumn(0).getInt64()};
    };
    auto idsOf = [](const std::vector<TreskStore::SearchHit>& hits) {
        std::vector<std::string> ids;
        for (const auto& h : hits) ids.push_back(h.id);
        return ids;
    };
    for (const auto& [word, total] :
         {std::pair{"harbour", 4800}, std::pair{"lantern", 300}, std::pair{"beacon", 156}}) {
        ASSERT_EQ(expected(word).second, total);
        const auto found = r.searchWithTotal(word, "jo", 200);
        EXPECT_EQ(found.total, total) << word;
        EXPECT_EQ(found.total, r.searchCount(word, "jo"));
        EXPECT_EQ(idsOf(found.hits), expected(word).first) << word;
        // The same records as the search with its own filters gives, every field.
        EXPECT_EQ(found.hits, r.search(word, "jo", std::nullopt, std::nullopt, std::nullopt, 200)) << word;
        EXPECT_EQ(found.hits.front().sourceIds.size(), 1u);
        // Again on the same store: nothing of the last search is left over.
        EXPECT_EQ(r.searchWithTotal(word, "jo", 200).hits, found.hits);
    }
    // Limits whose walk threshold falls just below, at and just above a word's
    // matches: the total is always all of them.
    for (const int64_t limit : {int64_t(14), int64_t(15), int64_t(16)}) {
        ASSERT_EQ(TreskStore::kWalkByDateAbove * 15, 300);
        const auto found = r.searchWithTotal("lantern", "jo", limit);
        EXPECT_EQ(found.total, 300) << limit;
        EXPECT_EQ(idsOf(found.hits), newest("lantern", limit, std::nullopt, 900)) << limit;
    }
    // Whole sources of every record: each message was held by the one source
    // it was added from.
    for (const auto& h : r.searchWithTotal("beacon", "jo", 200).hits) {
        const int i = std::stoi(h.id.substr(1));
        EXPECT_EQ(h.sourceIds, std::vector<std::string>{i % 3 == 0 ? "B" : "A"}) << h.id;
    }
    // A walk that passes thousands of newer messages before its first match,
    // and walks within date bounds.
    ASSERT_GT(r.searchCount("ember", "jo"), TreskStore::kWalkByDateAbove * 20);
    EXPECT_EQ(idsOf(r.searchWithTotal("ember", "jo", 20).hits), newest("ember", 20, std::nullopt, 900));
    const auto from = kStart + std::chrono::minutes(300), to = kStart + std::chrono::minutes(420);
    EXPECT_EQ(idsOf(r.search("harbour", "jo", std::nullopt, from, to, 200)), newest("harbour", 200, 300, 420));
    EXPECT_EQ(idsOf(r.search("harbour", "jo", std::nullopt, std::nullopt, to, 200)),
              newest("harbour", 200, std::nullopt, 420));
    EXPECT_EQ(r.searchWithTotal("nowhere", "jo", 200).total, 0);
    EXPECT_TRUE(r.searchWithTotal("   ", "jo", 200).hits.empty());
}
