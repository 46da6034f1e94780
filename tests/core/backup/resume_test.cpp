// An interrupted backup run resumes from the resume state: finished parts are
// not sent again, and an upload is never continued with another file or key.
#include "core/backup/backup_engine.h"
#include "core/keys/key_material.h"
#include "core/platform/json_file.h"
#include "tests/core/backup/backup_fixtures.h"
#include "tests/core/backup/local_backup.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace kx;
namespace stdfs = std::filesystem;

using Op = test::FaultyDestination::Op;
using test::LocalBackup;
using test::partsSent;

TEST_F(LocalBackup, AnInterruptedRunResumesWithoutResendingFinishedParts) {
    counting->failAfterParts = 3;
    EXPECT_THROW(engine(key).backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack), BackupError);
    ASSERT_EQ(partsSent(*counting), (std::vector<int>{1, 2, 3}));
    // The resume file names the upload but holds no secret.
    std::string state = test::readAll(resumeFile);
    EXPECT_NE(state.find("\"uploadId\""), std::string::npos);
    EXPECT_EQ(state.find(TreskKeyMaterial::recoveryString(key).substr(0, 9)), std::string::npos);

    counting->failAfterParts = -1;
    counting->clearLog();
    UploadReceipt r = engine(key).backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
    EXPECT_TRUE(r.resumed);
    EXPECT_EQ(r.verification, UploadReceipt::Verification::verified);
    ASSERT_FALSE(partsSent(*counting).empty());
    EXPECT_EQ(partsSent(*counting).front(), 4); // parts 1 to 3 were not sent again
    EXPECT_EQ(counting->count(Op::begin), 0u);  // the upload under way was continued
    engine(key).restore("jorin/tresk.db", work / "restored/jorin");
    EXPECT_EQ(test::compareArchives(archive, work / "restored/jorin"), "");
    // Finished uploads leave no resume entry behind.
    EXPECT_EQ(loadJsonFile(resumeFile).value["uploads"].size(), 0u);
}

TEST_F(LocalBackup, PartsSentSideBySideResumeWithoutGapsOrRepeats) {
    counting->failAfterParts = 5;
    EXPECT_THROW(engine(key, 4).backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack),
                 BackupError);
    std::vector<int> all = partsSent(*counting);
    counting->failAfterParts = -1;
    counting->clearLog();
    UploadReceipt r = engine(key, 4).backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
    EXPECT_TRUE(r.resumed);
    for (int part : partsSent(*counting)) all.push_back(part);
    std::sort(all.begin(), all.end());
    for (size_t i = 0; i < all.size(); ++i)
        ASSERT_EQ(all[i], static_cast<int>(i + 1)) << "a part was sent twice or never";
    engine(key).restore("jorin/tresk.db", work / "restored/jorin");
    EXPECT_EQ(test::compareArchives(archive, work / "restored/jorin"), "");
}

TEST_F(LocalBackup, AResumeStateForAnotherFileOrKeyIsNeverSpliced) {
    counting->failAfterParts = 2;
    EXPECT_THROW(engine(key).backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack), BackupError);
    counting->failAfterParts = -1;
    counting->clearLog();

    // The archive changed in between: the old upload is dropped and the new file starts at part 1.
    test::addMessages(archive, 10, 5);
    UploadReceipt r = engine(key).backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
    EXPECT_FALSE(r.resumed);
    EXPECT_EQ(partsSent(*counting).front(), 1);
    EXPECT_EQ(counting->count(Op::abort), 1u);

    // Same file, other key: likewise.
    counting->failAfterParts = 2;
    counting->clearLog();
    test::addMessages(archive, 10, 6);
    EXPECT_THROW(engine(key).backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack), BackupError);
    counting->failAfterParts = -1;
    counting->clearLog();
    // (a rotated key: the keyring still holds the old one, so the backup may carry on)
    SymmetricKey other = SymmetricKey::generate();
    BackupEngine::Options o;
    o.partSize = 64 * 1024;
    o.threads = 1;
    BackupEngine rotated(TreskCrypto(other, {key}), counting, "kelvara", resumeFile, o);
    r = rotated.backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
    EXPECT_FALSE(r.resumed);
    EXPECT_EQ(partsSent(*counting).front(), 1);
    EXPECT_EQ(counting->count(Op::abort), 1u);
    rotated.restore("jorin/tresk.db", work / "restored/jorin");
    EXPECT_EQ(test::compareArchives(archive, work / "restored/jorin"), "");
}
