// The manifest over an archive made by the real engine from generated Messages
// folders and a device backup: ordinary runs that add sources, edits, unsends and
// details one source lacked read as intact or grown; a value changed in tresk.db
// afterwards reads as BROKEN at the record that holds it.
#include "core/archive/ingesters.h"
#include "core/archive/tresk_engine.h"
#include "core/contacts/contact_resolver.h"
#include "core/evidence/tresk_manifest.h"
#include "tests/core/evidence/archive_builder.h"
#include "tests/fixtures/fixtures.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace kx {
namespace {

namespace fx = fixtures;
namespace stdfs = std::filesystem;
using Status = TreskManifest::Status;

class ManifestOverEngineRuns : public ::testing::Test {
protected:
    void add(const std::string& id, const stdfs::path& path, SourceFormat format) {
        Source s;
        s.id = id;
        s.owner = "jorin";
        s.path = path.string();
        s.format = format;
        ASSERT_TRUE(registry.add(s));
    }
    void run() {
        TreskEngine engine(registry, root.string(), IngesterRegistry(makeDefaultIngesters()),
                           std::make_shared<MapContactResolver>(), FilterSet{});
        TreskEngine::RunOptions o;
        o.writeStatus = false;
        ASSERT_TRUE(engine.run(o).succeeded());
    }
    TreskManifest::File generate() { return test::generateManifest(db, "jorin", test::fixtureDate(1000)); }
    TreskManifest::VerificationResult verify(const TreskManifest::File& m) { return test::verifyManifest(db, m); }
    static void change(const stdfs::path& source, const std::string& sql) { test::tamper(source, sql); }

    test::TempDir dir;
    stdfs::path root = dir / "Tresk";
    stdfs::path db = root / "jorin" / "tresk.db";
    SourceRegistry registry;
};

TEST_F(ManifestOverEngineRuns, OrdinaryRunsAreIntactOrGrownAndEditsInTheArchiveAreBroken) {
    // Run 1: an older Mac's folder, without edit dates; one message lacks its
    // sender and service.
    fx::Options older;
    older.schema = fx::Schema::ios13;
    older.nanosecondDates = false;
    older.messages = 90;
    older.attachmentEvery = 6;
    fx::writeMessagesFolder(dir / "Older", older);
    change(dir / "Older" / "chat.db",
           "UPDATE message SET handle_id = 0, service = NULL WHERE guid = '" + fx::messageGuid(3) + "'");
    add("older", dir / "Older", SourceFormat::macosMessagesFolder);
    run();
    const auto m1 = generate();
    EXPECT_EQ(m1.messageCount, 90);
    EXPECT_EQ(verify(m1).status, static_cast<int>(Status::intact));

    // Run 2: this Mac's folder holds the same messages with everything filled
    // in, edits with their dates, and more messages.
    fx::Options current;
    current.messages = 120;
    current.attachmentEvery = 6;
    const stdfs::path live = dir / "Current";
    fx::writeMessagesFolder(live, current);
    add("current", live, SourceFormat::macosMessagesFolder);
    run();
    auto r = verify(m1);
    EXPECT_EQ(r.status, static_cast<int>(Status::grown)) << r.note.value_or("");
    EXPECT_EQ(r.archiveCount, 120);
    // The sender and service the older folder lacked are filled in by records.
    EXPECT_GT(test::recordPosition(db, 'F', fx::messageGuid(3), 0, "sender"), 0);
    EXPECT_GT(test::recordPosition(db, 'F', fx::messageGuid(3), 0, "service"), 0);
    const auto m2 = generate();

    // Run 3: a message edited and one unsent on this Mac, new messages, and a
    // phone backup that corroborates them.
    const std::string later = "(SELECT max(max(date), max(date_edited)) FROM message) + ";
    change(live / "chat.db", "UPDATE message SET text = 'edited later', date_edited = " + later +
                                 "60000000000 WHERE guid = '" + fx::messageGuid(5) +
                                 "'; UPDATE message SET date_retracted = " + later + "120000000000 WHERE guid = '" +
                                 fx::messageGuid(9) + "'");
    fx::appendMessages(live / "chat.db", 120, 10);
    fx::Options phone = current;
    phone.schema = fx::Schema::macos13;
    fx::writeDeviceBackup(dir / "Phone", phone, fx::BackupOptions{});
    add("phone", dir / "Phone", SourceFormat::iosDeviceBackup);
    run();
    for (const auto* m : {&m1, &m2}) {
        r = verify(*m);
        EXPECT_EQ(r.status, static_cast<int>(Status::grown)) << r.note.value_or("");
        EXPECT_EQ(r.archiveCount, 130);
    }
    const auto m3 = generate();
    run(); // nothing new anywhere
    EXPECT_EQ(verify(m3).status, static_cast<int>(Status::intact)) << verify(m3).note.value_or("");

    // Single values changed in tresk.db, each BROKEN at the record that holds it.
    const std::string g5 = fx::messageGuid(5), g9 = fx::messageGuid(9), g3 = fx::messageGuid(3);
    const std::string id5 = "(SELECT id FROM messages WHERE guid = '" + g5 + "')";
    struct Case {
        const char* name;
        std::string sql;
        char kind; // the record the difference must name
        std::string guid;
        std::optional<std::string> second = {}; // its field name, source or text
        int nth = 0;                            // which of those records (-1: the last)
        std::string named = {};                 // the guid the result names, when not `guid`
    };
    const std::vector<Case> cases = {
        {"body", "UPDATE messages SET text = 'never said' WHERE guid = '" + fx::messageGuid(7) + "'", 'M',
         fx::messageGuid(7)},
        {"sender",
         "UPDATE messages SET handle_id = (SELECT id FROM handles WHERE id <> coalesce(messages.handle_id, 0) "
         "LIMIT 1) WHERE guid = '" +
             fx::messageGuid(7) + "'",
         'M', fx::messageGuid(7)},
        {"date", "UPDATE messages SET date = date + 86400000000000 WHERE guid = '" + fx::messageGuid(7) + "'", 'M',
         fx::messageGuid(7)},
        {"filled sender", "UPDATE messages SET handle_id = NULL WHERE guid = '" + g3 + "'", 'F', g3, "sender"},
        {"unsent state", "UPDATE messages SET date_retracted = NULL WHERE guid = '" + g9 + "'", 'F', g9, "unsent"},
        {"edited state", "UPDATE messages SET date_edited = NULL WHERE guid = '" + g5 + "'", 'F', g5, "edited"},
        // A version's last record is the one that gave it its date.
        {"edit version",
         "UPDATE message_versions SET text = 'other words' WHERE message_id = " + id5 + " AND text = '" +
             fx::messageText(5) + "'",
         'V', g5, fx::messageText(5), -1},
        {"corroborating source",
         "DELETE FROM message_sources WHERE message_id = " + id5 +
             " AND source_id = (SELECT id FROM sources WHERE source_id = 'phone')",
         'S', g5, "phone"},
        {"conversation name", "UPDATE conversations SET display_name = 'Book club' WHERE key = 'chat100001'", 'C',
         "chat100001", std::nullopt, -1},
        {"attachment's stored bytes",
         "UPDATE attachments SET object_key = '" + std::string(64, 'c') + "' WHERE guid = '" + fx::attachmentGuid(6) +
             "'",
         'O', fx::attachmentGuid(6), std::nullopt, -1, fx::messageGuid(6)},
        {"deleted message",
         "PRAGMA foreign_keys = OFF; DELETE FROM message_sources WHERE message_id = " + id5 +
             "; DELETE FROM message_versions WHERE message_id = " + id5 + "; DELETE FROM messages WHERE guid = '" + g5 +
             "'",
         'M', g5},
    };
    const auto clean = dir / "clean.db";
    stdfs::copy_file(db, clean);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        stdfs::remove(db.string() + "-wal");
        stdfs::remove(db.string() + "-shm");
        stdfs::copy_file(clean, db, stdfs::copy_options::overwrite_existing);
        const auto expected = test::recordPosition(db, c.kind, c.guid, c.nth, c.second);
        ASSERT_GT(expected, 0);
        test::tamper(db, c.sql);
        r = verify(m3);
        EXPECT_EQ(r.status, static_cast<int>(Status::broken)) << r.note.value_or("");
        ASSERT_TRUE(r.firstDifference);
        EXPECT_EQ(r.firstDifference->position, expected) << r.note.value_or("");
        EXPECT_EQ(r.firstDifference->guid, c.named.empty() ? c.guid : c.named) << r.note.value_or("");
    }
}

} // namespace
} // namespace kx
