// The engine's backup run at a local folder: what it sends, what it checks,
// what it refuses, and the snapshot it takes.
#include "core/backup/backup_engine.h"
#include "core/backup/local_destination.h"
#include "tests/core/backup/backup_fixtures.h"
#include "tests/core/backup/hooked_destination.h"
#include "tests/core/backup/local_backup.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

using namespace kx;
namespace stdfs = std::filesystem;

using Op = test::FaultyDestination::Op;
using test::LocalBackup;

TEST_F(LocalBackup, BacksUpAndRestoresMessageByMessageAndObjectByObject) {
    std::vector<BackupProgress> seen;
    UploadReceipt r = engine(key).backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack,
                                         [&](const BackupProgress& p) { seen.push_back(p); });
    EXPECT_EQ(r.verification, UploadReceipt::Verification::verified);
    EXPECT_FALSE(r.resumed);
    EXPECT_GT(r.bytes, stdfs::file_size(storedDb())); // (the database goes compressed)
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().done, seen.back().total);
    EXPECT_EQ(seen.back().part, seen.back().parts);

    // Nothing readable lands on the destination: no file names, no plaintext.
    std::string listing = test::snapshotTree(dest.path());
    EXPECT_EQ(listing.find("attachments"), std::string::npos);
    EXPECT_EQ(test::readAll(storedDb()).find("SQLite format"), std::string::npos);

    // A fresh machine with only the key restores an identical archive.
    RestoreReport report = engine(key).restore("jorin/tresk.db", work / "restored/jorin");
    EXPECT_EQ(report.objects, 5u);
    EXPECT_EQ(test::compareArchives(archive, work / "restored/jorin"), "");
    EXPECT_TRUE(report.backedUpAt.has_value());
    // It never writes over an existing archive.
    EXPECT_THROW(engine(key).restore("jorin/tresk.db", work / "restored/jorin"), BackupError);
}

TEST_F(LocalBackup, ASecondRunSendsOnlyNewFilesAndTheChangedDatabase) {
    engine(key).backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
    EXPECT_EQ(counting->namesOf(Op::put).size(), 7u); // five files and the manifest twice (the database goes in parts)
    EXPECT_EQ(counting->count(Op::begin), 1u);
    counting->clearLog();
    test::addMessages(archive, 50, 99);
    test::writeAll(archive / "attachments/ff/ffnew", "a new attachment");
    engine(key).backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
    const auto puts = counting->namesOf(Op::put);
    // The new file, then the copy of the manifest replaced and the new one, twice.
    ASSERT_EQ(puts.size(), 4u);
    EXPECT_EQ(puts[1], "kelvara/jorin/tresk.db.manifest" + std::string(kReplacedManifestSuffix));
    EXPECT_EQ(puts[2], "kelvara/jorin/tresk.db.manifest" + std::string(kManifestCopySuffix));
    EXPECT_EQ(puts[3], "kelvara/jorin/tresk.db.manifest");
    engine(key).restore("jorin/tresk.db", work / "restored/jorin");
    EXPECT_EQ(test::compareArchives(archive, work / "restored/jorin"), "");
}

TEST_F(LocalBackup, AFlippedByteFailsVerificationAndTheRestore) {
    engine(key).backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
    std::string bytes = test::readAll(storedDb());
    bytes[bytes.size() / 2] ^= 0x20;
    test::writeAll(storedDb(), bytes);
    EXPECT_THROW(engine(key).restore("jorin/tresk.db", work / "restored/jorin"), SealError);
    EXPECT_FALSE(stdfs::exists(work / "restored/jorin")); // nothing half-restored is left
    for (auto& e : stdfs::directory_iterator(work / "restored")) ADD_FAILURE() << "left behind: " << e.path();

    // A destination that corrupts what it stores fails the run's own check.
    class Corrupting final : public test::ForwardingDestination {
    public:
        using ForwardingDestination::ForwardingDestination;
        void put(const std::string& n, uint64_t s, const ByteProducer& p, ObjectClass c,
                 const std::map<std::string, std::string>& m) override {
            inner_->put(
                n, s,
                [&](uint64_t off, unsigned char* b, size_t k) {
                    p(off, b, k);
                    if (off == 0 && k > 100 && n.find("objects") != std::string::npos) b[99] ^= 1;
                },
                c, m);
        }
    };
    test::TempDir other;
    auto bad = std::make_shared<Corrupting>(
        std::make_shared<LocalDestination>(LocalDestination::volume(other.path().string(), "x")));
    BackupEngine e(TreskCrypto(key), bad, "kelvara", std::nullopt);
    try {
        e.backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
        FAIL() << "a corrupted copy passed verification";
    } catch (const BackupError& err) {
        EXPECT_NE(std::string(err.what()).find("does not match"), std::string::npos) << err.what();
    }
}

TEST_F(LocalBackup, AFileRewrittenBetweenItsHashingAndItsSealingIsNeverRecorded) {
    // The run hashes every file first (the hash names its object), then seals
    // it: a file rewritten in place in between, at the same size, must fail the
    // run's check rather than be recorded under the other content's hash.
    auto hooked = std::make_shared<test::HookedDestination>(local);
    bool rewritten = false;
    hooked->beforePut = [&](const std::string& name) {
        if (rewritten || name.find("/objects/") == std::string::npos) return;
        rewritten = true;
        for (auto& e : stdfs::recursive_directory_iterator(archive / "attachments")) {
            if (!e.is_regular_file() || e.file_size() == 0) continue;
            std::string bytes = test::readAll(e.path());
            for (auto& c : bytes) c = static_cast<char>(c ^ 0x5a);
            test::writeAll(e.path(), bytes);
        }
    };
    BackupEngine::Options one;
    one.threads = 1; // nothing else reads a file while it is rewritten
    BackupEngine e(TreskCrypto(key), hooked, "kelvara", resumeFile, one);
    try {
        e.backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
        FAIL() << "a file that changed while it was backed up was recorded";
    } catch (const BackupError& err) {
        EXPECT_NE(std::string(err.what()).find("does not match"), std::string::npos) << err.what();
    }
    EXPECT_TRUE(rewritten);
    EXPECT_THROW(engine(key).restore("jorin/tresk.db", work / "restored/jorin"), BackupError); // no manifest
    // The next run backs up what the files now hold.
    engine(key).backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
    engine(key).restore("jorin/tresk.db", work / "restored/jorin");
    EXPECT_EQ(test::compareArchives(archive, work / "restored/jorin"), "");
}

TEST_F(LocalBackup, ABackupSealedWithAnotherKeyIsNeverTakenOver) {
    engine(key).backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
    const std::string before = test::snapshotTree(dest.path());
    test::addMessages(archive, 20, 4);

    // A new machine or a reset keyring: a fresh key meets the old backup.
    counting->clearLog();
    const size_t begins = counting->count(Op::begin), aborts = counting->count(Op::abort);
    try {
        engine(SymmetricKey::generate()).backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
        FAIL() << "a backup sealed with another key was replaced";
    } catch (const ForeignKeyBackupError& e) {
        EXPECT_EQ(std::string(e.what()), "the destination holds a backup made with a different key; restore that key "
                                         "from its recovery phrase, or choose another destination");
    }
    EXPECT_EQ(test::snapshotTree(dest.path()), before);
    EXPECT_TRUE(counting->namesOf(Op::put).empty());
    EXPECT_EQ(counting->count(Op::begin), begins);
    EXPECT_EQ(counting->count(Op::abort), aborts);

    // The saved phrase still restores the backup that was there.
    engine(key).restore("jorin/tresk.db", work / "restored/jorin");
    EXPECT_EQ(test::messageRows(work / "restored/jorin/tresk.db").size(), 3000u);

    // A keyring that still holds the old key (a rotated key) may carry on.
    SymmetricKey rotated = SymmetricKey::generate();
    BackupEngine::Options o;
    o.partSize = 64 * 1024;
    BackupEngine(TreskCrypto(rotated, {key}), counting, "kelvara", resumeFile, o)
        .backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
    BackupEngine(TreskCrypto(rotated, {key}), counting, "kelvara", std::nullopt)
        .restore("jorin/tresk.db", work / "r2/jorin");
    EXPECT_EQ(test::compareArchives(archive, work / "r2/jorin"), "");
}

TEST_F(LocalBackup, AMissingRootIsNamedAndNeverCreated) {
    stdfs::path gone = work / "Volumes/Backup Drive";
    auto d = std::make_shared<LocalDestination>(LocalDestination::syncedFolder(gone.string(), "Dropbox"));
    BackupEngine e(TreskCrypto(key), d, "kelvara", std::nullopt);
    try {
        e.backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
        FAIL();
    } catch (const BackupError& err) {
        EXPECT_NE(std::string(err.what()).find(gone.string()), std::string::npos);
        EXPECT_NE(std::string(err.what()).find("does not exist"), std::string::npos);
    }
    EXPECT_FALSE(stdfs::exists(gone));
    EXPECT_THROW(e.roundTrip("connection-test/X", "x", VerificationLevel::readBack), BackupError);
    EXPECT_FALSE(stdfs::exists(gone));
}

TEST_F(LocalBackup, ConnectionTestRoundTripsAndRemoves) {
    BackupEngine e = engine(key);
    UploadReceipt r = e.roundTrip("connection-test/ABC", "Kelvara connection test. Synthetic data.",
                                  VerificationLevel::readBack);
    EXPECT_EQ(r.verification, UploadReceipt::Verification::verified);
    EXPECT_EQ(r.bytes, TreskCrypto::sealedSize(40));
    EXPECT_TRUE(stdfs::exists(dest.path() / "kelvara/connection-test/ABC"));
    e.remove("connection-test/ABC");
    EXPECT_FALSE(stdfs::exists(dest.path() / "kelvara/connection-test/ABC"));
    EXPECT_THROW(e.roundTrip("../escape", "x", VerificationLevel::readBack), BackupError);
    EXPECT_THROW(e.backup("/jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack), BackupError);
}

TEST_F(LocalBackup, TheSnapshotIsConsistentWhileTheDatabaseIsWritten) {
    // A database in WAL mode with an open writer: the snapshot still reads whole.
    test::TempDir t;
    stdfs::path snap = t / "snap.db";
    snapshotDatabase(archive / "tresk.db", snap);
    EXPECT_EQ(test::messageRows(snap), test::messageRows(archive / "tresk.db"));
    EXPECT_THROW(snapshotDatabase(work / "nothing.db", snap), Error);
    test::writeAll(work / "junk.db", "this is not a database at all, not even close to one");
    EXPECT_THROW(snapshotDatabase(work / "junk.db", t / "snap2.db"), Error);
}

// A destination folder that fills up: run inside a private mount namespace with a
// tiny tmpfs (unshare), when the system allows it.
TEST(LocalBackupFullDisk, AFullDestinationGivesAClearSentence) {
    const char* inner = std::getenv("KX_FULL_DISK_DIR");
    if (!inner) {
        char self[4096];
        ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
        ASSERT_GT(n, 0);
        self[n] = 0;
        test::TempDir mountPoint;
        std::string cmd = "unshare -rm sh -c \"mount -t tmpfs -o size=256k tmpfs '" + mountPoint.path().string() +
                          "' 2>/dev/null || exit 77; KX_FULL_DISK_DIR='" + mountPoint.path().string() + "' exec '" +
                          self + "' --gtest_filter=LocalBackupFullDisk.*\" >/dev/null 2>&1";
        int rc = std::system(cmd.c_str());
        if (WIFEXITED(rc) && (WEXITSTATUS(rc) == 77 || WEXITSTATUS(rc) == 127 || WEXITSTATUS(rc) == 1) &&
            std::system("unshare -rm true >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "this system does not allow a private mount namespace";
        EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0) << "inner run failed with " << rc;
        return;
    }
    test::TempDir work;
    test::makeArchive(work / "jorin", 200, {600000}, 4);
    auto d = std::make_shared<LocalDestination>(LocalDestination::volume(inner, "External drive or NAS"));
    BackupEngine e(TreskCrypto(SymmetricKey::generate()), d, "kelvara", std::nullopt);
    try {
        e.backup("jorin/tresk.db", work / "jorin/tresk.db", VerificationLevel::readBack);
        FAIL() << "a full folder took the backup";
    } catch (const BackupError& err) {
        EXPECT_NE(std::string(err.what()).find("is full"), std::string::npos) << err.what();
        EXPECT_NE(std::string(err.what()).find(inner), std::string::npos) << err.what();
    }
    // No half-written temporary file is left taking the space.
    for (auto& f : stdfs::recursive_directory_iterator(inner))
        EXPECT_EQ(f.path().string().find(".kxpart-"), std::string::npos) << f.path();
}
