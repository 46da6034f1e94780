// Backups of an archive that an ingest writes at the same time.
#include "core/archive/attachment_store.h"
#include "core/backup/archive_walk.h"
#include "core/backup/backup_engine.h"
#include "core/backup/local_destination.h"
#include "core/platform/sha256.h"
#include "tests/core/backup/backup_fixtures.h"
#include "tests/core/backup/hooked_destination.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <fstream>
#include <thread>

using namespace kx;
namespace stdfs = std::filesystem;

namespace {

class BackupWhileIngesting : public ::testing::Test {
protected:
    void SetUp() override {
        stdfs::create_directories(dest.path());
        test::makeArchive(archive, 500, {10, 5000, 30000, 60000}, 11);
        hooked = std::make_shared<test::HookedDestination>(
            std::make_shared<LocalDestination>(LocalDestination::volume(dest.path().string(), "External drive")));
    }
    BackupEngine engine() {
        BackupEngine::Options o;
        o.partSize = 64 * 1024;
        o.threads = 1;
        return BackupEngine(TreskCrypto(key), hooked, "kelvara", work / "resume-state.json", o);
    }
    // Stores an attachment the way the archive does (content-addressed) and returns its path in the owner folder.
    std::string storeAttachment(const std::string& bytes) {
        std::string k = AttachmentStore(archive / "attachments").putBytes(bytes);
        return "attachments/" + k.substr(0, 2) + "/" + k.substr(2, 2) + "/" + k;
    }

    test::TempDir work, dest;
    stdfs::path archive = work / "root/jorin";
    std::shared_ptr<test::HookedDestination> hooked;
    SymmetricKey key = SymmetricKey::generate();
};

} // namespace

TEST_F(BackupWhileIngesting, FilesTheStoreIsStillWritingAreNeitherBackedUpNorRestored) {
    // An ingest was stopped while it wrote two objects into the store's temporary folder.
    test::writeAll(archive / "attachments" / AttachmentStore::kIncomingFolder / "obj-1234", "half an object");
    test::writeAll(archive / "attachments/ab/.obj-hidden", "not an archive file");
    UploadReceipt r = engine().backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
    EXPECT_EQ(r.verification, UploadReceipt::Verification::verified);
    RestoreReport restored = engine().restore("jorin/tresk.db", work / "restored/jorin");
    EXPECT_EQ(restored.objects, 4u);
    EXPECT_FALSE(stdfs::exists(work / "restored/jorin/attachments" / AttachmentStore::kIncomingFolder));
    EXPECT_FALSE(stdfs::exists(work / "restored/jorin/attachments/ab/.obj-hidden"));
    stdfs::remove_all(archive / "attachments" / AttachmentStore::kIncomingFolder);
    stdfs::remove(archive / "attachments/ab/.obj-hidden");
    EXPECT_EQ(test::compareArchives(archive, work / "restored/jorin"), "");

    // What a restore writes: attachment files only, never hidden names.
    EXPECT_TRUE(isArchiveFilePath("attachments/ab/cd/abcdef"));
    EXPECT_FALSE(isArchiveFilePath("attachments/.incoming/obj-1"));
    EXPECT_FALSE(isArchiveFilePath("attachments/ab/.x"));
    EXPECT_FALSE(isArchiveFilePath("attachments/"));
    EXPECT_FALSE(isArchiveFilePath("attachments//x"));
    EXPECT_FALSE(isArchiveFilePath("search.db"));
}

TEST_F(BackupWhileIngesting, AFileThatVanishesBeforeItIsReadIsLeftOutAndTheRunCompletes) {
    std::vector<ArchiveFile> files = listArchiveFiles(archive / "attachments");
    ASSERT_EQ(files.size(), 4u);
    const stdfs::path doomed = files.back().file; // sent last
    hooked->beforePut = [&](const std::string& name) {
        if (name.find("/objects/") != std::string::npos) stdfs::remove(doomed);
    };
    UploadReceipt r = engine().backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
    EXPECT_EQ(r.verification, UploadReceipt::Verification::verified);
    RestoreReport restored = engine().restore("jorin/tresk.db", work / "restored/jorin");
    EXPECT_EQ(restored.objects, 3u);
    EXPECT_EQ(test::compareArchives(archive, work / "restored/jorin"), "");

    // A folder missing altogether lists nothing.
    EXPECT_TRUE(listArchiveFiles(work / "nowhere").empty());
}

TEST_F(BackupWhileIngesting, FilesRewrittenInPlaceAfterTheyWereHashedAreNeverStoredUnderTheirOldContent) {
    // Written over two seconds ago: a file's unchanged state then vouches for its bytes between hashing and sealing.
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    const std::vector<ArchiveFile> files = listArchiveFiles(archive / "attachments");
    bool rewritten = false;
    hooked->beforePut = [&](const std::string& name) { // the same sizes, other bytes
        if (rewritten || name.find("/objects/") == std::string::npos) return;
        rewritten = true;
        for (const ArchiveFile& f : files) {
            std::fstream out(f.file, std::ios::in | std::ios::out | std::ios::binary);
            out.seekp(static_cast<std::streamoff>(f.size / 2));
            out.put('#');
        }
    };
    EXPECT_THROW(engine().backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack), BackupError);
    hooked->beforePut = nullptr;
    EXPECT_EQ(engine().backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack).verification,
              UploadReceipt::Verification::verified);
    engine().restore("jorin/tresk.db", work / "restored/jorin");
    EXPECT_EQ(test::compareArchives(archive, work / "restored/jorin"), "");
}

TEST_F(BackupWhileIngesting, TheBackedUpDatabaseNeverNamesAnAttachmentTheBackupLacks) {
    // An ingest holds the archive database while the backup lists the attachments;
    // it stores a new attachment and commits a message naming it only after the
    // listing, just before the backup's database snapshot can read.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((archive / "tresk.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    std::string added;
    hooked->beforePut = [&](const std::string& name) {
        if (!added.empty() || name.find("/objects/") == std::string::npos) return;
        added = storeAttachment("a photo received during the backup");
        std::string sql = "INSERT INTO messages (handle, body, date) VALUES ('+15550000', '" + added + "', 1)";
        sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    };
    engine().backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
    sqlite3_close(db);
    ASSERT_FALSE(added.empty());

    engine().restore("jorin/tresk.db", work / "restored/jorin");
    auto rows = test::messageRows(work / "restored/jorin/tresk.db");
    ASSERT_EQ(rows.size(), 501u); // the snapshot holds the new message...
    EXPECT_NE(rows.back().find(added), std::string::npos);
    EXPECT_TRUE(stdfs::exists(work / "restored/jorin" / added)) << "...so the backup must hold its attachment";
    EXPECT_EQ(test::compareArchives(archive, work / "restored/jorin"), "");
}

TEST_F(BackupWhileIngesting, AnUnchangedDatabaseIsNotReadAgainAndAChangedOneAlwaysIs) {
    // Written long enough ago that its times tell its state.
    auto age = [&] {
        const auto old = stdfs::file_time_type::clock::now() - std::chrono::minutes(10);
        stdfs::last_write_time(archive / "tresk.db", old);
    };
    age();
    engine().backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
    const std::string stamp = databaseStamp(archive / "tresk.db");
    ASSERT_FALSE(stamp.empty());
    // An empty -wal, made just now (a read-only open of a database in WAL mode leaves one), holds nothing.
    const stdfs::path wal = archive / "tresk.db-wal";
    ASSERT_FALSE(stdfs::exists(wal));
    test::writeAll(wal, "");
    EXPECT_EQ(databaseStamp(archive / "tresk.db"), stamp);
    test::writeAll(wal, "a frame");
    stdfs::last_write_time(wal, stdfs::file_time_type::clock::now() - std::chrono::minutes(10));
    EXPECT_NE(databaseStamp(archive / "tresk.db"), stamp);
    stdfs::remove(wal);

    // Unchanged: the stored copy is kept without reading the file. (Shown by a file whose bytes are
    // swapped for junk in place with its times put back: it is never opened, so the run still succeeds.)
    const std::string original = test::readAll(archive / "tresk.db");
    const auto times = stdfs::last_write_time(archive / "tresk.db");
    auto overwriteInPlace = [&](const std::string& bytes) {
        std::fstream f(archive / "tresk.db", std::ios::in | std::ios::out | std::ios::binary);
        f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        f.close();
        stdfs::last_write_time(archive / "tresk.db", times);
    };
    overwriteInPlace(std::string(original.size(), 'x'));
    ASSERT_EQ(databaseStamp(archive / "tresk.db"), stamp);
    UploadReceipt again = engine().backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
    EXPECT_EQ(again.verification, UploadReceipt::Verification::verified);
    overwriteInPlace(original);

    // New messages, written just now or long ago, always go.
    test::addMessages(archive, 7, 12);
    EXPECT_TRUE(databaseStamp(archive / "tresk.db").empty()); // written in the last two seconds
    engine().backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
    test::addMessages(archive, 5, 13);
    age();
    EXPECT_NE(databaseStamp(archive / "tresk.db"), stamp);
    engine().backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
    engine().restore("jorin/tresk.db", work / "restored/jorin");
    EXPECT_EQ(test::messageRows(work / "restored/jorin/tresk.db").size(), 512u);
    EXPECT_EQ(test::compareArchives(archive, work / "restored/jorin"), "");
}
