// Damaged, hostile and unusual sources: each gives a sentence or a counted
// problem, never a crash, and the source stays as it was.
#include "core/archive/ingest_messages.h"
#include "core/archive/ingest_sources.h"
#include "core/archive/snapshot.h"
#include "core/platform/error.h"
#include "tests/core/archive/ingest_test_support.h"
#include "tests/fixtures/fixtures.h"
#include "tests/fixtures/typedstream_writer.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>
#include <unistd.h>
#include <vector>

namespace fx = kx::fixtures;
namespace stdfs = std::filesystem;
using kx::test::CollectingSink;
using kx::test::errorOf;
using kx::test::folderSource;
using kx::test::sql;

namespace {

// Generates a Messages folder of `messages` rows and overwrites `length` bytes,
// from the page `fraction` of the way into its database, with garbage. Returns
// the damaged database's bytes.
std::string writeDamagedFolder(const stdfs::path& folder, std::int64_t messages, double fraction, std::size_t length) {
    fx::Options o;
    o.messages = messages;
    o.attachmentEvery = 0;
    fx::writeMessagesFolder(folder, o);
    const stdfs::path db = folder / "chat.db";
    std::string bytes = kx::test::readAll(db);
    const std::size_t page = 4096;
    const std::size_t at = static_cast<std::size_t>(static_cast<double>(bytes.size()) * fraction) / page * page;
    EXPECT_LT(at + length, bytes.size());
    for (std::size_t k = 0; k < length && at + k < bytes.size(); ++k) bytes[at + k] = static_cast<char>(0xA5 ^ (k * 7));
    kx::test::writeAll(db, bytes);
    return bytes;
}

// Reads a damaged folder: the damage is reported, and what was read is kept.
void readDamaged(const stdfs::path& folder, CollectingSink& sink) {
    kx::MacOSMessagesFolderIngester reader;
    try {
        reader.ingest(folderSource(folder), {}, sink);
        ADD_FAILURE() << "damage must be reported";
    } catch (const kx::Error& e) {
        EXPECT_NE(std::string(e.what()).find("damaged"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("were skipped"), std::string::npos) << e.what();
    }
}

// Every row a plain "SELECT ... WHERE ROWID = ?" can read from `db`.
std::set<std::int64_t> rowsReadableOneByOne(const stdfs::path& db, std::int64_t upTo) {
    std::set<std::int64_t> rows;
    sqlite3* h = nullptr;
    EXPECT_EQ(sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(h, "SELECT * FROM message WHERE ROWID = ?1", -1, &st, nullptr), SQLITE_OK);
    for (std::int64_t row = 1; row <= upTo; ++row) {
        sqlite3_reset(st);
        sqlite3_bind_int64(st, 1, row);
        if (sqlite3_step(st) == SQLITE_ROW) rows.insert(row);
    }
    sqlite3_finalize(st);
    sqlite3_close(h);
    return rows;
}

} // namespace

TEST(IngestBadInput, DamagedTruncatedAndForeignDatabasesGiveASentence) {
    kx::test::TempDir dir;
    kx::MacOSMessagesFolderIngester reader;

    kx::test::writeAll(dir / "Garbage" / "chat.db", std::string(10000, 'x'));
    auto why = errorOf(reader, folderSource(dir / "Garbage"));
    EXPECT_NE(why.find("damaged or is not a database"), std::string::npos) << why;

    kx::test::writeAll(dir / "Empty" / "chat.db", "");
    why = errorOf(reader, folderSource(dir / "Empty"));
    EXPECT_NE(why.find("not a Messages database"), std::string::npos) << why;

    fx::Options o;
    o.messages = 3000;
    fx::writeMessagesFolder(dir / "Cut", o);
    const auto full = kx::test::readAll(dir / "Cut" / "chat.db");
    kx::test::writeAll(dir / "Cut" / "chat.db", full.substr(0, full.size() / 3));
    CollectingSink sink;
    try {
        reader.ingest(folderSource(dir / "Cut"), {}, sink);
        ADD_FAILURE() << "a truncated database must be reported";
    } catch (const kx::Error& e) {
        EXPECT_NE(std::string(e.what()).find("damaged"), std::string::npos) << e.what();
    }
    // What could be read before the damage was delivered and checkpointed.
    if (!sink.messages.empty()) {
        EXPECT_EQ(sink.cursor.lastGuid, sink.messages.back().guid);
    }

    // Pre-iOS 6 layout: refused, not misread.
    fx::Options old;
    old.schema = fx::Schema::legacyIos5;
    old.messages = 10;
    fx::writeMessagesFolder(dir / "Old", old);
    why = errorOf(reader, folderSource(dir / "Old"));
    EXPECT_NE(why.find("iOS 5 or earlier"), std::string::npos) << why;

    why = errorOf(reader, folderSource(dir / "Nowhere"));
    EXPECT_NE(why.find("does not exist"), std::string::npos) << why;
    stdfs::create_directories(dir / "NoDb");
    why = errorOf(reader, folderSource(dir / "NoDb"));
    EXPECT_NE(why.find("no Messages database"), std::string::npos) << why;
}

TEST(IngestBadInput, HostileAttachmentPathsAreRefusedAndNothingOutsideIsRead) {
    kx::test::TempDir dir;
    fx::Options o;
    o.messages = 70;
    o.attachmentEvery = 7;
    o.reactionEvery = 0;
    o.missingAttachmentEvery = 0;
    const auto sum = fx::writeMessagesFolder(dir / "Messages", o);
    ASSERT_EQ(sum.attachments, 10);
    kx::test::writeAll(dir / "secret.txt", "outside the source");
    const stdfs::path db = dir / "Messages" / "chat.db";
    const std::string secret = (dir / "secret.txt").string();
    // Rows 1..10 of the attachment table, in message order.
    sql(db,
        "UPDATE attachment SET filename = '~/Library/Messages/../../../secret.txt' WHERE ROWID = 1;"
        "UPDATE attachment SET filename = '" +
            secret +
            "' WHERE ROWID = 2;"
            "UPDATE attachment SET filename = '/Users/someone/Library/Messages/Attachments/../../x' WHERE ROWID = 3;"
            "UPDATE attachment SET filename = '~/Documents/private.pdf' WHERE ROWID = 4;"
            "UPDATE attachment SET filename = 'Attachments/inside-link.jpg' WHERE ROWID = 5;"
            "UPDATE attachment SET filename = 'Attachments/outside-link.jpg' WHERE ROWID = 6;"
            "UPDATE attachment SET filename = '/Users/other/Library/Messages/Attachments/real.jpg' WHERE ROWID = 7;"
            "UPDATE attachment SET filename = NULL WHERE ROWID = 8;"
            "UPDATE attachment SET filename = 'Attachments/dir-link/secret.txt' WHERE ROWID = 9;");
    kx::test::writeAll(dir / "Messages" / "Attachments" / "real.jpg", "real");
    stdfs::create_symlink(dir / "Messages" / "Attachments" / "real.jpg",
                          dir / "Messages" / "Attachments" / "inside-link.jpg");
    stdfs::create_symlink(dir / "secret.txt", dir / "Messages" / "Attachments" / "outside-link.jpg");
    stdfs::create_directory_symlink(dir.path(), dir / "Messages" / "Attachments" / "dir-link");
    const std::string before = kx::test::snapshotTree(dir / "Messages");

    CollectingSink sink;
    kx::MacOSMessagesFolderIngester reader;
    const auto out = reader.ingest(folderSource(dir / "Messages"), {}, sink);
    EXPECT_EQ(out.messagesRead, sum.messages);
    std::vector<kx::AttachmentRecord> atts;
    for (const auto& m : sink.messages)
        for (const auto& a : m.attachments) atts.push_back(a);
    ASSERT_EQ(atts.size(), 10u);
    using S = kx::AttachmentFileState;
    const S expected[10] = {S::refused, S::refused, S::refused,     S::refused, S::present,
                            S::refused, S::present, S::notRecorded, S::refused, S::present};
    for (std::size_t k = 0; k < 10; ++k) {
        EXPECT_EQ(atts[k].state, expected[k])
            << "attachment " << k + 1 << " " << atts[k].recordedPath.value_or("(null)");
        if (atts[k].state == S::refused) {
            EXPECT_FALSE(atts[k].resolvedPath);
            EXPECT_TRUE(atts[k].problem);
        }
        if (atts[k].resolvedPath) {
            EXPECT_EQ(kx::test::readAll(*atts[k].resolvedPath).find("outside the source"), std::string::npos);
        }
    }
    EXPECT_EQ(kx::test::snapshotTree(dir / "Messages"), before);
}

TEST(IngestBadInput, UndecodableAndHugeBodiesKeepTheMessageAndAreCounted) {
    kx::test::TempDir dir;
    fx::Options o;
    o.messages = 30;
    o.bodyOnlyEvery = 0;
    fx::writeMessagesFolder(dir / "Messages", o);
    const stdfs::path db = dir / "Messages" / "chat.db";
    sql(db, "UPDATE message SET text = NULL, attributedBody = x'040B73747265616D7479706564' WHERE ROWID = 1;"
            "UPDATE message SET text = NULL, attributedBody = x'00' WHERE ROWID = 2;"
            "UPDATE message SET text = NULL, attributedBody = zeroblob(20000000) WHERE ROWID = 4;"
            "UPDATE message SET message_summary_info = x'62706c6973743030ffff' WHERE ROWID = 5;"
            "UPDATE message SET text = CAST(x'4869C328' AS TEXT) WHERE ROWID = 6;"
            "UPDATE message SET text = CAST(zeroblob(40000000) AS TEXT) WHERE ROWID = 8;"
            "UPDATE message SET text = CAST(zeroblob(40000000) AS TEXT), attributedBody = NULL WHERE ROWID = 9;");
    CollectingSink sink;
    kx::MacOSMessagesFolderIngester reader;
    const auto out = reader.ingest(folderSource(dir / "Messages"), {}, sink);
    EXPECT_EQ(out.messagesRead, 30);
    EXPECT_FALSE(sink.get(fx::messageGuid(1)).text);
    EXPECT_FALSE(sink.get(fx::messageGuid(2)).text);
    EXPECT_FALSE(sink.get(fx::messageGuid(4)).text);
    EXPECT_TRUE(sink.get(fx::messageGuid(5)).edits.empty());
    EXPECT_EQ(sink.get(fx::messageGuid(6)).text, "Hi\xEF\xBF\xBD(");
    // A 40 MB text is never loaded: the message comes in its place with the body
    // from attributedBody when it has one, else without text.
    EXPECT_EQ(sink.get(fx::messageGuid(8)).text, fx::messageText(8));
    EXPECT_EQ(sink.messages[7].guid, fx::messageGuid(8));
    EXPECT_FALSE(sink.get(fx::messageGuid(9)).text);
    EXPECT_TRUE(sink.get(fx::messageGuid(9)).date);
    ASSERT_EQ(out.warnings.size(), 2u);
    EXPECT_EQ(out.warnings[0], "2 message bodies could not be decoded; those messages were kept without their text.");
    EXPECT_EQ(out.warnings[1], "2 message bodies are too large to read; those messages were kept without their text.");
}

TEST(IngestBadInput, ABodyDeclaringALongerTextThanItHoldsKeepsWhatItHolds) {
    kx::test::TempDir dir;
    fx::Options o;
    o.messages = 10;
    o.bodyOnlyEvery = 0;
    fx::writeMessagesFolder(dir / "Messages", o);
    // Message 3's string claims 32767 bytes; message 4's also holds a byte that
    // is not UTF-8 before the string ends.
    auto overlong = [](const std::string& text) {
        std::string blob = fx::encodeAttributedBody(text);
        const std::size_t at = blob.find(text);
        blob.replace(at - 1, 1, "\x81\xff\x7f");
        static const char* hex = "0123456789abcdef";
        std::string out = "x'";
        for (unsigned char c : blob) {
            out += hex[c >> 4];
            out += hex[c & 15];
        }
        return out + "'";
    };
    sql(dir / "Messages" / "chat.db",
        "UPDATE message SET text = NULL, attributedBody = " + overlong("Still here \xE2\x98\x95") +
            " WHERE ROWID = 3; UPDATE message SET text = NULL, attributedBody = " + overlong("bad \xC3\x28") +
            " WHERE ROWID = 4;");
    CollectingSink sink;
    kx::MacOSMessagesFolderIngester reader;
    const auto out = reader.ingest(folderSource(dir / "Messages"), {}, sink);
    EXPECT_EQ(out.messagesRead, 10);
    EXPECT_EQ(sink.get(fx::messageGuid(3)).text, "Still here \xE2\x98\x95");
    EXPECT_FALSE(sink.get(fx::messageGuid(4)).text);
    EXPECT_EQ(out.warnings, (std::vector<std::string>{
                                "1 message body could not be decoded; those messages were kept without their text.",
                                "1 message body declares a longer text than is stored; the text that is stored was "
                                "kept."}));
}

TEST(IngestBadInput, RowsWithoutAnIdentifierAreSkippedAndCounted) {
    kx::test::TempDir dir;
    fx::Options o;
    o.messages = 10;
    fx::writeMessagesFolder(dir / "Messages", o);
    // guid is NOT NULL in real databases; a damaged one can still hold an empty text.
    sql(dir / "Messages" / "chat.db", "UPDATE message SET guid = '' WHERE ROWID = 3");
    CollectingSink sink;
    kx::MacOSMessagesFolderIngester reader;
    const auto out = reader.ingest(folderSource(dir / "Messages"), {}, sink);
    EXPECT_EQ(out.messagesRead, 9);
    EXPECT_EQ(out.rowsSkipped, 1);
    EXPECT_EQ(out.warnings.back(), "1 message row has no identifier and could not be archived.");
}

TEST(IngestBadInput, TheSnapshotCopiesTheWalAndLeavesNothingBehind) {
    kx::test::TempDir dir;
    fx::Options o;
    o.messages = 10;
    o.walOnlyMessages = 5;
    fx::writeChatDatabase(dir / "chat.db", o);
    ASSERT_TRUE(stdfs::exists(dir / "chat.db-wal"));
    const std::string before = kx::test::snapshotTree(dir.path());
    stdfs::path folder;
    {
        kx::DatabaseSnapshot snap(dir / "chat.db");
        folder = snap.folder();
        EXPECT_EQ(snap.copyPath().filename(), "chat.db");
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(snap.handle(), "SELECT count(*) FROM message", -1, &st, nullptr);
        ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
        EXPECT_EQ(sqlite3_column_int(st, 0), 15);
        sqlite3_finalize(st);
        EXPECT_EQ(stdfs::status(folder).permissions() & stdfs::perms::all, stdfs::perms::owner_all);
    }
    EXPECT_FALSE(stdfs::exists(folder));
    EXPECT_EQ(kx::test::snapshotTree(dir.path()), before);

    stdfs::create_symlink(dir / "chat.db", dir / "link.db");
    EXPECT_THROW(kx::DatabaseSnapshot(dir / "link.db"), kx::Error);
    EXPECT_THROW(kx::DatabaseSnapshot(dir / "absent.db"), kx::Error);
}

TEST(IngestBadInput, CopiesLeftByAKilledRunAreRemovedAndLiveOnesKept) {
    const stdfs::path base = kx::DatabaseSnapshot::temporaryBase();
    ASSERT_EQ(base.filename(), "snapshots");
    // A process id that cannot be running (above the kernel's limit) and our own.
    const stdfs::path dead = base / "99999999-abcdef";
    const stdfs::path alive = base / (std::to_string(::getpid()) + "-abcdef");
    kx::test::writeAll(dead / "chat.db", "private messages");
    kx::test::writeAll(alive / "chat.db", "in use");
    kx::test::TempDir dir;
    fx::Options o;
    o.messages = 3;
    fx::writeChatDatabase(dir / "chat.db", o);
    { kx::DatabaseSnapshot snap(dir / "chat.db"); }
    EXPECT_FALSE(stdfs::exists(dead));
    EXPECT_TRUE(stdfs::exists(alive));
    stdfs::remove_all(alive);
}

TEST(IngestBadInput, RowsAfterADamagedStretchAreStillRead) {
    kx::test::TempDir dir;
    // One page a quarter into the file: inside the messages table, which is
    // written first.
    writeDamagedFolder(dir / "Messages", 3000, 0.25, 4096);
    CollectingSink sink;
    readDamaged(dir / "Messages", sink);
    EXPECT_GT(sink.messages.size(), 2800u);
    EXPECT_LT(sink.messages.size(), 3000u);
    EXPECT_TRUE(sink.has(fx::messageGuid(3000))) << "the rows after the damage were read";
    EXPECT_EQ(sink.cursor.lastGuid, fx::messageGuid(3000));
}

TEST(IngestBadInput, EveryRowReadableAroundADamagedStretchIsRead) {
    kx::test::TempDir dir;
    // 64 KiB of garbage in the middle of the file; the rows a row-by-row read
    // of a copy can still read are the ones to archive.
    kx::test::writeAll(dir / "copy.db", writeDamagedFolder(dir / "Messages", 50000, 0.5, 64 * 1024));
    const auto readable = rowsReadableOneByOne(dir / "copy.db", 50000);
    ASSERT_LT(readable.size(), 50000u) << "the damage must reach the message table";
    ASSERT_GT(readable.size(), 40000u);

    CollectingSink sink;
    readDamaged(dir / "Messages", sink);
    std::set<std::int64_t> read;
    for (const auto& m : sink.messages) read.insert(m.sourceRowId);
    EXPECT_EQ(read.size(), sink.messages.size()) << "no row is delivered twice";
    std::vector<std::int64_t> missed, extra;
    std::set_difference(readable.begin(), readable.end(), read.begin(), read.end(), std::back_inserter(missed));
    std::set_difference(read.begin(), read.end(), readable.begin(), readable.end(), std::back_inserter(extra));
    EXPECT_TRUE(missed.empty()) << missed.size() << " readable rows were skipped, the first " << missed.front();
    EXPECT_TRUE(extra.empty()) << extra.size() << " rows read that a row-by-row read cannot";
    EXPECT_EQ(sink.cursor.lastRowId, *readable.rbegin());
}

TEST(IngestBadInput, AMissingOrBrokenConversationTableKeepsTheMessages) {
    kx::test::TempDir dir;
    fx::Options o;
    o.messages = 25;
    fx::writeMessagesFolder(dir / "Messages", o);
    // A view in place of the chat table that fails when read.
    sql(dir / "Messages" / "chat.db", "DROP TABLE chat; CREATE VIEW chat AS SELECT ROWID, guid FROM no_such_table;");
    CollectingSink sink;
    kx::MacOSMessagesFolderIngester reader;
    const auto out = reader.ingest(folderSource(dir / "Messages"), {}, sink);
    EXPECT_EQ(out.messagesRead, 25);
    EXPECT_TRUE(sink.chats.empty());
    EXPECT_TRUE(sink.messages[0].chatGuid.empty());
    ASSERT_FALSE(out.warnings.empty());
    EXPECT_EQ(out.warnings[0], "The table \"chat\" of the database is damaged and was left out.");
}
