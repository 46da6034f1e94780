// A Messages database whose links between messages and conversations sit in
// damaged pages: every message SQLite can read is archived, those without a
// readable link under their sender (or an unknown conversation), and a later
// scan that can read the links moves them to their conversations, as records
// appended to the archive's history.
#include "core/archive/archive_records.h"
#include "core/archive/ingest_sources.h"
#include "core/archive/tresk_engine.h"
#include "core/archive/tresk_store.h"
#include "tests/core/archive/ingest_test_support.h"
#include "tests/fixtures/fixtures.h"
#include "tests/support/test_env.h"

#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <map>
#include <vector>

namespace fx = kx::fixtures;
namespace stdfs = std::filesystem;

namespace {

// Overwrites the middle third of the leaf pages of the link table and of its
// index by message with garbage; the message table is left whole.
void damageLinks(const stdfs::path& db) {
    std::vector<std::int64_t> pages;
    int pageSize = 0;
    {
        SQLite::Database h(db.string(), SQLite::OPEN_READONLY);
        pageSize = h.execAndGet("PRAGMA page_size").getInt();
        for (const char* name : {"chat_message_join", "chat_message_join_idx_message_id_only"}) {
            std::vector<std::int64_t> leaves;
            SQLite::Statement q(h, "SELECT pageno FROM dbstat WHERE name = ? AND pagetype = 'leaf' ORDER BY pageno");
            q.bind(1, name);
            while (q.executeStep()) leaves.push_back(q.getColumn(0).getInt64());
            ASSERT_GE(leaves.size(), 6u) << name;
            pages.insert(pages.end(), leaves.begin() + static_cast<std::ptrdiff_t>(leaves.size() / 3),
                         leaves.begin() + static_cast<std::ptrdiff_t>(2 * leaves.size() / 3));
        }
    }
    std::string bytes = kx::test::readAll(db);
    for (const auto page : pages)
        for (int k = 0; k < pageSize; ++k)
            bytes[static_cast<std::size_t>((page - 1) * pageSize + k)] = static_cast<char>(0xA5 ^ (k * 7));
    kx::test::writeAll(db, bytes);
}

struct Archive {
    std::map<std::string, std::string> conversationOf; // message GUID -> conversation key
    std::int64_t messages = 0;
};

Archive read(const std::string& root) {
    Archive a;
    kx::TreskStore store(root + "/jorin/tresk.db");
    a.messages = store.messageCount();
    store.forEachMessage(
        [&](const kx::TreskStore::StoredMessage& m) { a.conversationOf[m.hit.id] = m.hit.conversationKey; });
    return a;
}

std::vector<std::string> records(const std::string& root) {
    std::vector<std::string> out;
    SQLite::Database db(root + "/jorin/tresk.db", SQLite::OPEN_READONLY);
    kx::records::walk(db, [&](std::int64_t, std::string_view bytes) {
        out.emplace_back(bytes);
        return true;
    });
    return out;
}

kx::CoverageReport scan(const stdfs::path& folder, const std::string& root) {
    kx::SourceRegistry registry;
    registry.add(kx::test::folderSource(folder));
    kx::TreskEngine engine(registry, root, kx::IngesterRegistry({std::make_shared<kx::MacOSMessagesFolderIngester>()}),
                           std::make_shared<kx::MapContactResolver>(), kx::FilterSet());
    kx::TreskEngine::RunOptions o;
    o.writeStatus = false;
    return engine.run(o);
}

} // namespace

TEST(UnlinkedMessages, AreArchivedUnderTheirSenderAndMovedToTheirConversationOnceTheLinkReads) {
    kx::test::TempDir dir;
    fx::Options o;
    o.messages = 6000;
    o.handles = 4;
    o.groupChats = 2;
    o.attachmentEvery = 0;
    fx::writeMessagesFolder(dir / "Messages", o);
    const stdfs::path db = dir / "Messages" / "chat.db";
    const std::string intact = kx::test::readAll(db);
    // The archive a sound database gives, to compare with.
    scan(dir / "Messages", (dir / "Sound").string());
    const Archive sound = read((dir / "Sound").string());
    ASSERT_EQ(sound.messages, 6000);

    damageLinks(db);
    const auto first = scan(dir / "Messages", (dir / "Tresk").string());
    const Archive damaged = read((dir / "Tresk").string());
    EXPECT_EQ(damaged.messages, 6000) << "every message SQLite can read is archived";
    std::int64_t misfiled = 0, unknown = 0;
    for (const auto& [guid, key] : damaged.conversationOf) {
        if (key == sound.conversationOf.at(guid)) continue;
        ++misfiled;
        if (key == "unknown") ++unknown;
        else EXPECT_NE(key.rfind("chat", 0), 0u) << guid << " is filed under its sender, not " << key;
    }
    EXPECT_GT(misfiled, 100);
    EXPECT_GT(unknown, 0);
    ASSERT_EQ(first.sources.size(), 1u);
    const auto& warnings = first.sources[0].warnings;
    EXPECT_NE(std::find_if(warnings.begin(), warnings.end(),
                           [](const std::string& w) {
                               return w.find("archived without their conversations") != std::string::npos;
                           }),
              warnings.end());
    const auto before = records((dir / "Tresk").string());

    // The database as it was: the next scan moves every message to its conversation.
    kx::test::writeAll(db, intact);
    const auto second = scan(dir / "Messages", (dir / "Tresk").string());
    const Archive repaired = read((dir / "Tresk").string());
    EXPECT_EQ(repaired.conversationOf, sound.conversationOf);
    for (const auto& w : second.sources[0].warnings)
        EXPECT_EQ(w.find("without their conversations"), std::string::npos) << w;
    kx::TreskStore store((dir / "Tresk" / "jorin" / "tresk.db").string());
    const auto rows = store.conversations("jorin");
    kx::TreskStore soundStore((dir / "Sound" / "jorin" / "tresk.db").string());
    auto soundRows = soundStore.conversations("jorin");
    std::map<std::string, std::int64_t> counts, soundCounts;
    for (const auto& c : rows) counts[c.handle] = c.messageCount;
    for (const auto& c : soundRows) soundCounts[c.handle] = c.messageCount;
    for (const auto& [key, n] : soundCounts) EXPECT_EQ(counts[key], n) << key;
    EXPECT_EQ(counts["unknown"], 0) << "the unknown conversation was emptied";

    // The history only grew: every earlier record is still there as it was, and
    // the tables agree with the records.
    const auto after = records((dir / "Tresk").string());
    ASSERT_GT(after.size(), before.size());
    EXPECT_TRUE(std::equal(before.begin(), before.end(), after.begin()));
    SQLite::Database h((dir / "Tresk" / "jorin" / "tresk.db").string(), SQLite::OPEN_READONLY);
    const auto difference = kx::records::checkTables(h);
    EXPECT_FALSE(difference) << difference->what;
}
