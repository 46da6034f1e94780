// A restore refuses what is not the backup it records, and when it cannot give
// the latest backup whole it says whether the one before it is still whole.
#include "core/backup/backup_engine.h"
#include "core/platform/sha256.h"
#include "tests/core/backup/backup_fixtures.h"
#include "tests/core/backup/local_backup.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace kx;
namespace stdfs = std::filesystem;

using test::LocalBackup;

TEST_F(LocalBackup, AWrongKeyATruncatedObjectAndAReplayedOldCopyAreRefused) {
    engine(key).backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
    std::string oldDb = test::readAll(storedDb());
    test::addMessages(archive, 20, 3);
    engine(key).backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);

    EXPECT_THROW(engine(SymmetricKey::generate()).restore("jorin/tresk.db", work / "r1/jorin"), SealError);

    std::string current = test::readAll(storedDb());
    test::writeAll(storedDb(), oldDb); // an older, genuine copy put back
    try {
        engine(key).restore("jorin/tresk.db", work / "r2/jorin");
        FAIL() << "a replayed copy was restored";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("not the copy"), std::string::npos) << e.what();
    }
    test::writeAll(storedDb(), current.substr(0, current.size() - TreskCrypto::kChunkSize / 2));
    EXPECT_THROW(engine(key).restore("jorin/tresk.db", work / "r3/jorin"), EarlierBackupAvailable);
    test::writeAll(storedDb(), current);
    engine(key).restore("jorin/tresk.db", work / "r4/jorin");
    EXPECT_EQ(test::compareArchives(archive, work / "r4/jorin"), "");
}

TEST_F(LocalBackup, AFileOnlyTheLatestRunStoredLostOffersTheBackupBeforeItWhenThatOneIsWhole) {
    engine(key).backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
    const std::string firstDb = test::storedDatabaseName(*local, key);
    stdfs::create_directories(work / "first");
    stdfs::copy(archive, work / "first/jorin", stdfs::copy_options::recursive);
    test::addMessages(archive, 20, 7);
    const std::string bytes = "a file the second run alone stores";
    const std::string hash = Sha256::hexOf(bytes);
    const std::string added = "attachments/" + hash.substr(0, 2) + "/" + hash;
    test::writeAll(archive / added, bytes);
    engine(key).backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
    const nlohmann::json latest = test::readManifest(*local, key);
    auto entryOf = [&](const std::string& path) {
        for (const auto& o : latest.at("objects"))
            if (o.value("path", "") == path) return o;
        throw std::runtime_error("the manifest does not name " + path);
    };
    test::spoilStoredCopy(*local, entryOf(added));

    RestoreReport r = engine(key).restore("jorin/tresk.db", work / "r1/jorin");
    EXPECT_EQ(r.unrestored, std::vector<std::string>{added});
    ASSERT_TRUE(r.earlierWhole);
    EXPECT_EQ(r.earlierWhole->generation, 1u);
    EXPECT_FALSE(r.earlierWhole->createdAt.empty());
    const RestoreReport earlier = engine(key).restore("jorin/tresk.db", work / "r2/jorin", {}, true);
    EXPECT_TRUE(earlier.unrestored.empty());
    EXPECT_EQ(test::compareArchives(work / "first/jorin", work / "r2/jorin"), "");

    // Not offered when the backup before it is not whole: its own database
    // damaged, or a file both backups name lost.
    const stdfs::path firstDbFile = dest.path() / firstDb;
    const std::string keep = test::readAll(firstDbFile);
    std::string flipped = keep;
    flipped[flipped.size() / 2] ^= 0x10;
    test::writeAll(firstDbFile, flipped);
    r = engine(key).restore("jorin/tresk.db", work / "r3/jorin");
    EXPECT_EQ(r.unrestored.size(), 1u);
    EXPECT_FALSE(r.earlierWhole);
    test::writeAll(firstDbFile, keep);
    const std::string shared = latest.at("objects").at(0).value("path", "");
    ASSERT_NE(shared, added);
    test::spoilStoredCopy(*local, entryOf(shared));
    r = engine(key).restore("jorin/tresk.db", work / "r4/jorin");
    EXPECT_EQ(r.unrestored.size(), 2u);
    EXPECT_FALSE(r.earlierWhole);
    // Without the latest database its files are not read: the one before it is
    // offered for its database alone, and not called whole.
    std::string latestDb = test::readAll(storedDb());
    latestDb[latestDb.size() / 2] ^= 0x10;
    test::writeAll(storedDb(), latestDb);
    try {
        engine(key).restore("jorin/tresk.db", work / "r5/jorin");
        FAIL() << "a damaged database was restored";
    } catch (const EarlierBackupAvailable& e) {
        EXPECT_EQ(e.earlier.generation, 1u);
        EXPECT_FALSE(e.earlier.whole);
    }
}
