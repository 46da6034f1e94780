#include "core/health/read_only_database.h"
#include "core/platform/error.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

using kx::test::TempDir;

namespace {

// A WAL-mode database whose newest row is still only in the -wal file, with the
// -wal and -shm left beside it, as a running Messages leaves chat.db.
void makeLiveStyleDatabase(const std::string& path, sqlite3** keepOpen) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db,
                 "PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;"
                 "CREATE TABLE message(ROWID INTEGER PRIMARY KEY, text TEXT);"
                 "PRAGMA wal_checkpoint(TRUNCATE);"
                 "INSERT INTO message(text) VALUES('hello');",
                 nullptr, nullptr, nullptr);
    *keepOpen = db;
}

} // namespace

TEST(ReadOnlyDatabase, OpensWithoutCreatingOrChangingAnyFileBesideIt) {
    TempDir dir;
    const std::string path = (dir / "chat.db").string();
    sqlite3* writer = nullptr;
    makeLiveStyleDatabase(path, &writer);
    const std::string before = kx::test::snapshotTree(dir.path());
    {
        kx::ReadOnlyDatabase db(path);
        EXPECT_TRUE(db.hasTable("message"));
        EXPECT_GE(db.scalar("SELECT count(*) FROM sqlite_master"), 1);
    }
    EXPECT_EQ(kx::test::snapshotTree(dir.path()), before);
    sqlite3_close(writer);
}

TEST(ReadOnlyDatabase, CheckpointedDatabaseWithoutSideFilesStaysWithoutThem) {
    TempDir dir;
    const std::string path = (dir / "chat.db").string();
    sqlite3* writer = nullptr;
    makeLiveStyleDatabase(path, &writer);
    sqlite3_close(writer); // the last close checkpoints and removes -wal/-shm
    ASSERT_FALSE(std::filesystem::exists(dir / "chat.db-wal"));
    const std::string before = kx::test::snapshotTree(dir.path());
    { kx::ReadOnlyDatabase db(path); }
    EXPECT_EQ(kx::test::snapshotTree(dir.path()), before);
}

TEST(ReadOnlyDatabase, RefusesMissingUnreadableAndDamagedFilesWithAReason) {
    TempDir dir;
    EXPECT_THROW(kx::ReadOnlyDatabase((dir / "none.db").string()), kx::Error);
    kx::test::writeAll(dir / "junk.db", std::string(4096, 'x'));
    EXPECT_THROW(kx::ReadOnlyDatabase((dir / "junk.db").string()), kx::Error);
    if (::geteuid() != 0) {
        kx::test::writeAll(dir / "locked.db", "");
        std::filesystem::permissions(dir / "locked.db", std::filesystem::perms::none);
        try {
            kx::ReadOnlyDatabase db((dir / "locked.db").string());
            FAIL();
        } catch (const kx::Error& e) {
            EXPECT_NE(std::string(e.what()).find("cannot be read"), std::string::npos);
        }
    }
}

TEST(ReadOnlyDatabase, PathsWithQueryCharactersAreNotTreatedAsOptions) {
    TempDir dir;
    const auto odd = dir / "a?mode=rwc#x%41";
    std::filesystem::create_directories(odd);
    const std::string path = (odd / "chat.db").string();
    sqlite3* writer = nullptr;
    makeLiveStyleDatabase(path, &writer);
    EXPECT_NO_THROW(kx::ReadOnlyDatabase db(path));
    sqlite3_close(writer);
    EXPECT_EQ(kx::ReadOnlyDatabase::immutableURI("/x?y#z%"), "file:/x%3Fy%23z%25?mode=ro&immutable=1");
}
