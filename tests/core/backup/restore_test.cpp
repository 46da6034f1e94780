// A restore refuses what is not the backup it records.
#include "core/backup/backup_engine.h"
#include "tests/core/backup/backup_fixtures.h"
#include "tests/core/backup/local_backup.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

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
