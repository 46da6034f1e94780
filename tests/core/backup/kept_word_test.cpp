// What a backup says about itself holds: damage at rest is found and said, a
// destination rolled back to an older backup is said on backup and restore, a
// restore with a damaged file restores everything else and names the loss, and
// the owner's evidence files and pinned manifest head travel with the archive.
#include "core/backup/archive_walk.h"
#include "core/backup/backup_engine.h"
#include "core/backup/carried_head.h"
#include "core/backup/local_destination.h"
#include "core/backup/s3_destination.h"
#include "core/platform/hex.h"
#include "core/platform/sha256.h"
#include "core/platform/time.h"
#include "tests/core/backup/backup_fixtures.h"
#include "tests/support/secret_store_double.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>
#include <sodium.h>
#include <sqlite3.h>

#include <algorithm>

using namespace kx;
namespace stdfs = std::filesystem;

namespace {

class KeptWord : public ::testing::Test {
protected:
    void SetUp() override {
        stdfs::create_directories(dest.path());
        local = std::make_shared<LocalDestination>(LocalDestination::volume(dest.path().string(), "Backup drive"));
        std::vector<size_t> sizes;
        for (int i = 0; i < 12; ++i) sizes.push_back(500 + 97 * i);
        test::makeArchive(archive, 400, sizes, 71);
        settle();
    }
    // Written long ago: a run then keeps the stored database by the file's state.
    void settle() {
        stdfs::last_write_time(archive / "tresk.db", stdfs::file_time_type::clock::now() - std::chrono::hours(1));
    }
    BackupEngine engine(std::shared_ptr<BackupDestination> d = nullptr) {
        BackupEngine::Options o;
        o.generations = work / "state/backup-generations.json";
        return BackupEngine(TreskCrypto(key), d ? d : local, "kelvara", work / "state/resume-state.json", o);
    }
    UploadReceipt backup() {
        return engine().backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
    }
    stdfs::path storedDb() { return dest / test::storedDatabaseName(*local, key); }
    // The stored attachment objects, largest first.
    std::vector<stdfs::path> storedFiles() {
        std::vector<stdfs::path> out;
        for (auto& e : stdfs::recursive_directory_iterator(dest / "kelvara/jorin/objects"))
            if (e.is_regular_file() && e.path() != storedDb()) out.push_back(e.path());
        std::sort(out.begin(), out.end(),
                  [](const stdfs::path& a, const stdfs::path& b) { return stdfs::file_size(a) > stdfs::file_size(b); });
        return out;
    }
    static void flipMiddleByte(const stdfs::path& file) {
        std::string bytes = test::readAll(file);
        bytes[bytes.size() / 2] ^= 0x10;
        test::writeAll(file, bytes);
    }

    SymmetricKey key = SymmetricKey::generate();
    test::TempDir work, dest;
    stdfs::path archive = work / "root/jorin";
    std::shared_ptr<LocalDestination> local;
};

} // namespace

TEST_F(KeptWord, DamageAtRestToTheDatabaseOrAnObjectsSizeIsFoundByTheNextRunRepairedAndSaid) {
    // Enough objects that a rolling share alone takes several runs to come round.
    for (int i = 0; i < 30; ++i) test::writeAll(archive / "attachments/ee" / ("extra-" + std::to_string(i)), "x");
    backup();
    UploadReceipt r;
    for (int round = 0; round < 3; ++round) { // wherever the rotation stands, the next run finds it
        flipMiddleByte(storedDb());
        r = backup();
        EXPECT_EQ(r.damaged, std::vector<std::string>{"the archive database"}) << "round " << round;
        EXPECT_EQ(r.verification, UploadReceipt::Verification::verified);
    }
    engine().restore("jorin/tresk.db", work / "r1/jorin");
    EXPECT_EQ(test::compareArchives(archive, work / "r1/jorin"), "");

    // Damage that changed an object's size is said too, not only sent again.
    const stdfs::path cut = storedFiles().front();
    std::string bytes = test::readAll(cut);
    test::writeAll(cut, bytes.substr(0, bytes.size() - 7));
    r = backup();
    ASSERT_EQ(r.damaged.size(), 1u);
    EXPECT_EQ(r.damaged[0].rfind("attachments/", 0), 0u) << r.damaged[0];
    engine().restore("jorin/tresk.db", work / "r2/jorin");
    EXPECT_EQ(test::compareArchives(archive, work / "r2/jorin"), "");
}

TEST_F(KeptWord, ARolledBackDestinationIsSaidOnRestoreAndOnBackupWhichBringsItUpToDate) {
    UploadReceipt first = backup();
    EXPECT_EQ(first.generation, 1u);
    const stdfs::path aside = work / "aside";
    stdfs::copy(dest.path(), aside, stdfs::copy_options::recursive);
    test::addMessages(archive, 50, 72);
    settle();
    UploadReceipt second = backup();
    EXPECT_EQ(second.generation, 2u);
    EXPECT_FALSE(second.rolledBack);

    // The whole folder is put back as it was after the first backup.
    stdfs::remove_all(dest / "kelvara");
    stdfs::copy(aside, dest.path(), stdfs::copy_options::recursive);
    RestoreReport old = engine().restore("jorin/tresk.db", work / "r1/jorin");
    ASSERT_TRUE(old.rolledBack);
    EXPECT_EQ(old.rolledBack->foundGeneration, 1u);
    EXPECT_EQ(old.rolledBack->rememberedGeneration, 2u);
    EXPECT_EQ(old.messages, 400);
    EXPECT_NE(rolledBackAfterRestore(*old.rolledBack, "Backup drive").find("older than"), std::string::npos);

    UploadReceipt repair = backup();
    ASSERT_TRUE(repair.rolledBack);
    EXPECT_EQ(repair.generation, 3u);
    EXPECT_EQ(repair.verification, UploadReceipt::Verification::verified);
    RestoreReport now = engine().restore("jorin/tresk.db", work / "r2/jorin");
    EXPECT_FALSE(now.rolledBack);
    EXPECT_EQ(now.messages, 450);
    EXPECT_EQ(now.generation, 3u);
    EXPECT_EQ(test::compareArchives(archive, work / "r2/jorin"), "");

    // A computer that never wrote there has nothing to compare with.
    BackupEngine elsewhere(TreskCrypto(key), local, "kelvara", std::nullopt);
    EXPECT_FALSE(elsewhere.restore("jorin/tresk.db", work / "r3/jorin").rolledBack);
}

TEST_F(KeptWord, ADamagedFileRestoresEverythingElseAndNamesTheLoss) {
    backup();
    const std::vector<stdfs::path> objects = storedFiles();
    flipMiddleByte(objects.back()); // the smallest
    RestoreReport r = engine().restore("jorin/tresk.db", work / "r/jorin");
    ASSERT_EQ(r.unrestored.size(), 1u);
    const std::string lost = r.unrestored[0];
    EXPECT_EQ(lost.rfind("attachments/", 0), 0u) << lost;
    EXPECT_EQ(r.objects, 11u);
    EXPECT_FALSE(stdfs::exists(work / "r/jorin" / lost)); // nothing that did not check out is written
    EXPECT_EQ(test::messageRows(work / "r/jorin/tresk.db"), test::messageRows(archive / "tresk.db"));
    for (const ArchiveFile& f : listArchiveFiles(archive / "attachments")) {
        if (f.path == lost) continue;
        EXPECT_EQ(test::readAll(work / "r/jorin" / f.path), test::readAll(f.file)) << f.path;
    }

    // The database is what nothing restores without: it fails the whole restore.
    flipMiddleByte(storedDb());
    EXPECT_THROW(engine().restore("jorin/tresk.db", work / "r2/jorin"), SealError);
    EXPECT_FALSE(stdfs::exists(work / "r2/jorin"));
}

TEST_F(KeptWord, WhenTheLatestDatabaseIsDamagedTheBackupBeforeItIsOfferedAndRestores) {
    backup();
    test::addMessages(archive, 30, 73);
    settle();
    // The first backup's database object is still there (a removal that failed, or
    // a store that keeps what it is asked to remove).
    const stdfs::path firstDb = storedDb();
    const std::string keep = test::readAll(firstDb);
    backup();
    if (!stdfs::exists(firstDb)) test::writeAll(firstDb, keep);
    flipMiddleByte(storedDb());
    try {
        engine().restore("jorin/tresk.db", work / "r/jorin");
        FAIL() << "a damaged database was restored";
    } catch (const EarlierBackupAvailable& e) {
        EXPECT_NE(std::string(e.what()).find("the backup before it"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(stdfs::exists(work / "r/jorin"));
    RestoreReport r = engine().restore("jorin/tresk.db", work / "r/jorin", {}, true);
    EXPECT_TRUE(r.fromReplacedManifest);
    EXPECT_EQ(r.messages, 400);
}

TEST_F(KeptWord, TheEvidenceFilesTravelAndARewriteOfTheSameSizeIsSentAgain) {
    test::writeAll(archive / "tresk.manifest.json", R"({"chainHead":"aaaa","recordCount":400})");
    test::writeAll(archive / "tresk.manifest.superseded-20260101T000000Z.json", R"({"chainHead":"0000"})");
    test::writeAll(archive / "tresk.manifest.json.tmp", "a temporary file is not evidence");
    backup();
    test::writeAll(archive / "tresk.manifest.json", R"({"chainHead":"bbbb","recordCount":400})"); // same size
    backup();
    RestoreReport r = engine().restore("jorin/tresk.db", work / "r/jorin");
    EXPECT_TRUE(r.unrestored.empty());
    EXPECT_EQ(test::readAll(work / "r/jorin/tresk.manifest.json"), test::readAll(archive / "tresk.manifest.json"));
    EXPECT_EQ(test::readAll(work / "r/jorin/tresk.manifest.superseded-20260101T000000Z.json"),
              R"({"chainHead":"0000"})");
    EXPECT_FALSE(stdfs::exists(work / "r/jorin/tresk.manifest.json.tmp"));
    EXPECT_EQ(test::compareArchives(archive, work / "r/jorin"), "");
}

TEST(KeptWordS3, DamageToTheDatabaseIsFoundNextRunAndABackupOfOverAThousandObjectsRunsAgain) {
    if (!test::findS3rver()) KX_SKIP_WITHOUT_PEER("s3rver is not installed (scripts/setup.sh installs it)");
    test::S3Server server;
    test::TempDir work;
    const stdfs::path archive = work / "root/jorin";
    test::makeArchive(archive, 300, std::vector<size_t>(1100, 40), 74);
    stdfs::last_write_time(archive / "tresk.db", stdfs::file_time_type::clock::now() - std::chrono::hours(1));
    SymmetricKey key = SymmetricKey::generate();
    // Each file stored alone, as files too large for a pack are.
    class OneObjectEach final : public test::ForwardingDestination {
    public:
        using ForwardingDestination::ForwardingDestination;
        bool packsSmallObjects() const override { return false; }
    };
    auto dest = std::make_shared<S3Destination>(S3Destination::compatible(server.endpoint(), "us-east-1",
                                                                          test::S3Server::kKey, test::S3Server::kKey,
                                                                          test::S3Server::kBucket));
    BackupEngine engine(TreskCrypto(key), std::make_shared<OneObjectEach>(dest), "kelvara", work / "resume-state.json");
    auto run = [&] { return engine.backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack); };
    run();
    // A listing of over 1,000 keys comes in pages: the second run finds them all
    // and sends nothing but its manifest.
    const auto stored = dest->list("kelvara/jorin/objects/");
    EXPECT_EQ(stored.size(), 1101u);
    UploadReceipt again = run();
    EXPECT_EQ(dest->list("kelvara/jorin/objects/"), stored);
    EXPECT_EQ(again.storedChecked, 1u + (1100u + kAuditCycle - 1) / kAuditCycle); // the database and a 30th

    ASSERT_TRUE(server.flipStoredByte(test::storedDatabaseName(*dest, key)));
    UploadReceipt r = run();
    EXPECT_EQ(r.damaged, std::vector<std::string>{"the archive database"});
    EXPECT_EQ(r.verification, UploadReceipt::Verification::verified);
    engine.restore("jorin/tresk.db", work / "restored/jorin");
    EXPECT_EQ(test::compareArchives(archive, work / "restored/jorin"), "");
}

TEST_F(KeptWord, TheDatabaseIsStoredCompressedAndAnUncompressedOneOfAnEarlierVersionStillRestoresAndIsKept) {
    backup();
    nlohmann::json m = test::readManifest(*local, key);
    EXPECT_EQ(m["database"]["encoding"], "zstd");
    EXPECT_LT(m["database"]["encodedSize"].get<uint64_t>(), m["database"]["size"].get<uint64_t>() * 9 / 10);

    // The database as an earlier version stored it: sealed as it is, no encoding.
    TreskCrypto c(key);
    snapshotDatabase(archive / "tresk.db", work / "snap.db");
    const std::string db = test::readAll(work / "snap.db");
    const std::string name = "kelvara/jorin/objects/earlier-database";
    const std::string sealed = c.seal(db, name);
    test::writeAll(dest / name, sealed);
    const StreamNonce nonce = TreskCrypto::nonceOf(sealed);
    m["database"] = {{"name", name},
                     {"size", db.size()},
                     {"sha256", Sha256::hexOf(db)},
                     {"sealedSize", sealed.size()},
                     {"nonce", lowerHex(nonce.data(), nonce.size())},
                     {"sourceStamp", m["database"]["sourceStamp"]}};
    m.erase("copies"); // (written once, by a version that kept no second copy)
    test::writeAll(dest / "kelvara/jorin/tresk.db.manifest", c.seal(m.dump(), "kelvara/jorin/tresk.db.manifest"));
    stdfs::remove(dest / ("kelvara/jorin/tresk.db.manifest" + std::string(kManifestCopySuffix)));
    RestoreReport r = engine().restore("jorin/tresk.db", work / "r/jorin");
    EXPECT_EQ(r.messages, 400);
    EXPECT_EQ(test::compareArchives(archive, work / "r/jorin"), "");

    // The next run reads it back and keeps it: the database has not changed.
    UploadReceipt again = backup();
    EXPECT_TRUE(again.damaged.empty());
    EXPECT_EQ(test::readManifest(*local, key)["database"]["name"], name);
}

TEST_F(KeptWord, TheOwnersPinnedManifestHeadTravelsAndIsPinnedAgainByARestoreElsewhere) {
    InMemorySecretStore here, elsewhere;
    const PinnedHead head{4200, std::string(64, 'c'), *parseISO8601("2026-12-01T10:00:00Z")};
    ManifestPins(&here).pin("jorin", head);
    BackupEngine::Options o;
    o.manifestHead = headToCarry("jorin", ManifestPins(&here));
    ASSERT_TRUE(o.manifestHead);
    BackupEngine(TreskCrypto(key), local, "kelvara", std::nullopt, o)
        .backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);

    // A computer that pins nothing (or an older head) takes the carried one.
    ManifestPins(&elsewhere).pin("jorin", PinnedHead{100, std::string(64, 'a'), head.generatedAt});
    RestoreReport r = engine().restore("jorin/tresk.db", work / "r/jorin");
    ASSERT_TRUE(r.manifestHead);
    EXPECT_EQ(pinRestoredHead("jorin", *r.manifestHead, ManifestPins(&elsewhere)), std::nullopt);
    EXPECT_EQ(ManifestPins(&elsewhere).pinned("jorin"), head);
    // A later head pinned here is never replaced by an older one a backup carried.
    const PinnedHead later{5000, std::string(64, 'd'), head.generatedAt};
    ManifestPins(&elsewhere).pin("jorin", later);
    EXPECT_EQ(pinRestoredHead("jorin", *r.manifestHead, ManifestPins(&elsewhere)), std::nullopt);
    EXPECT_EQ(ManifestPins(&elsewhere).pinned("jorin"), later);
    // A keyring that cannot be written is said, and the restore stands.
    InMemorySecretStore locked;
    locked.failWrites = true;
    EXPECT_TRUE(pinRestoredHead("jorin", *r.manifestHead, ManifestPins(&locked)));
}

TEST_F(KeptWord, ADatabaseThatCompressionWouldNotShrinkIsStoredAsItIsAndRestoresWhole) {
    // Most of the database is random bytes (pictures kept in rows, say).
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((archive / "tresk.db").c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "CREATE TABLE blobs(b BLOB); BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO blobs VALUES (?)", -1, &st, nullptr);
    std::string bytes(64 * 1024, '\0');
    for (int i = 0; i < 96; ++i) {
        randombytes_buf(bytes.data(), bytes.size());
        sqlite3_bind_blob(st, 1, bytes.data(), static_cast<int>(bytes.size()), SQLITE_STATIC);
        sqlite3_step(st);
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlite3_exec(db, "COMMIT; PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    settle();

    EXPECT_EQ(backup().verification, UploadReceipt::Verification::verified);
    const nlohmann::json m = test::readManifest(*local, key)["database"];
    EXPECT_FALSE(m.contains("encoding")) << m.dump();
    EXPECT_EQ(m["sealedSize"], TreskCrypto::sealedSize(m["size"].get<uint64_t>()));
    RestoreReport r = engine().restore("jorin/tresk.db", work / "r/jorin");
    EXPECT_EQ(r.messages, 400);
    EXPECT_EQ(test::compareArchives(archive, work / "r/jorin"), "");
    // Damage to it at rest is found by the next run and repaired.
    flipMiddleByte(storedDb());
    EXPECT_EQ(backup().damaged, std::vector<std::string>{"the archive database"});
    EXPECT_TRUE(engine().backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::everything).damaged.empty());
}
