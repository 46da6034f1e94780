// Connection tests, backup runs and shared status through the backup model,
// against real destinations: folders on this machine and s3rver on loopback.
#include "core/backup/local_destination.h"
#include "tests/backup/backup_test_support.h"

#include <QSignalSpy>

using namespace kx;
using namespace kx::test;
using Kind = DestinationConfig::Kind;
namespace stdfs = std::filesystem;

namespace {

class Runs : public BackupTest {
protected:
    BackupModel& readyModel() {
        BackupModel& m = makeBackup();
        readyKey(m);
        return m;
    }
    // Restores what the destination holds of jorin's archive with the keyring's
    // key into a fresh folder and compares it with the archive.
    void expectRestoresEqual(const std::shared_ptr<BackupDestination>& dest) {
        auto ring = OwnerKeyStore().existingKeyring("jorin");
        ASSERT_TRUE(ring);
        BackupEngine engine(TreskCrypto(*ring), dest, "kelvara", std::nullopt);
        TempDir out;
        engine.restore("jorin/tresk.db", out / "jorin");
        EXPECT_EQ(compareArchives(archiveOf("jorin"), out / "jorin"), "");
    }
    void expectNoSecretIn(const QStringList& texts, const QStringList& secretsToFind) {
        for (const QString& s : texts) {
            for (const QString& secret : secretsToFind)
                EXPECT_FALSE(s.contains(secret, Qt::CaseInsensitive)) << s.toStdString();
            EXPECT_FALSE(s.contains(QStringLiteral("Authorization"), Qt::CaseInsensitive)) << s.toStdString();
            EXPECT_FALSE(s.contains(QStringLiteral("Signature="), Qt::CaseInsensitive)) << s.toStdString();
            EXPECT_FALSE(s.contains(QStringLiteral("X-Amz-"), Qt::CaseInsensitive)) << s.toStdString();
        }
    }
    // Every file below a folder (temporaries and hidden files included).
    static std::vector<std::string> filesBelow(const stdfs::path& root) {
        std::vector<std::string> out;
        if (!stdfs::exists(root)) return out;
        for (const auto& e : stdfs::recursive_directory_iterator(root))
            if (e.is_regular_file()) out.push_back(stdfs::relative(e.path(), root).string());
        return out;
    }
};

} // namespace

TEST_F(Runs, ProgressCountsEqualPartsOfWhatIsSentBesideTheBar) {
    BackupModel& m = makeBackup();
    constexpr int64_t MiB = 1024 * 1024;
    m.runs().applyProgress({0, 0, 0, 0});
    EXPECT_EQ(m.runs().progressFraction(), 0.0);
    EXPECT_EQ(m.runs().progressText(), QStringLiteral("Uploading…"));
    m.runs().applyProgress({10, 0, 1, 3});
    EXPECT_EQ(m.runs().progressFraction(), 0.0);
    EXPECT_EQ(m.runs().progressText(), QStringLiteral("Uploading…"));
    m.runs().applyProgress({0, 4 * MiB, 0, 0});
    EXPECT_EQ(m.runs().progressText(), QStringLiteral("Uploading…"));
    // Many tiny objects and one large one: the engine is on its 71977th of
    // 71993 objects with 2% of the bytes sent; the line says the part under way
    // of the 8 MiB parts of the upload.
    m.runs().applyProgress({12 * MiB, 600 * MiB, 71977, 71993});
    EXPECT_DOUBLE_EQ(m.runs().progressFraction(), 0.02);
    EXPECT_EQ(m.runs().progressText(), QStringLiteral("Uploading part 2 of 75"));
    m.runs().applyProgress({16 * MiB, 16 * MiB + 1, 2, 2});
    EXPECT_EQ(m.runs().progressText(), QStringLiteral("Uploading part 3 of 3"));
    m.runs().applyProgress({50'000, 4'000'000, 4, 4});
    EXPECT_DOUBLE_EQ(m.runs().progressFraction(), 0.0125);
    EXPECT_EQ(m.runs().progressText(), QStringLiteral("Uploading part 1 of 1"));
    m.runs().applyProgress({5'000'000, 4'000'000, 4, 4});
    EXPECT_EQ(m.runs().progressFraction(), 1.0);
    EXPECT_EQ(m.runs().progressText(), QStringLiteral("Uploading part 1 of 1"));
}

TEST_F(Runs, MissingFieldsGiveTheKindsSentences) {
    BackupModel& m = readyModel();
    auto expectThrows = [&](const DestinationConfig& d, const std::string& sentence) {
        try {
            (void)m.destinationsModel().makeDestination(d);
            ADD_FAILURE() << "built " << kindRawValue(d.kind);
        } catch (const BackupError& e) {
            EXPECT_EQ(std::string(e.what()), sentence);
        }
    };
    DestinationConfig r2 = storeDestination("R2", Kind::cloudflareR2);
    expectThrows(r2, "Cloudflare R2 is missing its account id, keys, or bucket");
    TreskKeychain().setCredentials(storeCredentials(), "R2"); // keys, but no account id
    expectThrows(r2, "Cloudflare R2 is missing its account id, keys, or bucket");

    DestinationConfig deep = storeDestination("DEEP", Kind::awsGlacierDeepArchive);
    auto noSecret = storeCredentials();
    noSecret.secretAccessKey.reset();
    TreskKeychain().setCredentials(noSecret, "DEEP");
    expectThrows(deep, "AWS S3 is missing its keys, bucket, or region");
    DestinationConfig b2 = storeDestination("B2", Kind::backblazeB2);
    b2.region.reset();
    TreskKeychain().setCredentials(storeCredentials(), "B2");
    expectThrows(b2, "Backblaze B2 is missing its keys, bucket, or region");
    DestinationConfig drive = folderDestination("D", home / "d", Kind::dropboxFolder);
    drive.localRoot.reset();
    expectThrows(drive, "no folder chosen");

    // In a test the kind's label leads, the core's sentence follows.
    addDestination(m.destinationsModel(), deep, std::nullopt);
    m.destinationsModel().testConnection(deep);
    EXPECT_TRUE(settleBackup());
    EXPECT_EQ(m.lastError(), QStringLiteral("AWS S3 Glacier Deep Archive did not work: AWS S3 is missing its keys, "
                                            "bucket, or region"));
    EXPECT_FALSE(m.isBusy());
    EXPECT_FALSE(m.destinationsModel().destinations().back().lastVerifiedAt);

    // A bucket name that is not valid never becomes a request.
    DestinationConfig bad = storeDestination("BAD");
    bad.bucket = "evil.example.com/../x?";
    addDestination(m.destinationsModel(), bad, storeCredentials("bad-bucket-secret"));
    m.destinationsModel().testConnection(bad);
    EXPECT_TRUE(settleBackup());
    EXPECT_TRUE(m.lastError().startsWith(QStringLiteral("AWS S3 did not work: "))) << m.lastError().toStdString();
    EXPECT_TRUE(m.lastError().contains(QStringLiteral("bucket"))) << m.lastError().toStdString();

    // A folder destination whose keyring read fails cannot be built either.
    secrets->failReads = true;
    EXPECT_THROW((void)m.destinationsModel().makeDestination(folderDestination("F", home.path())), SecretStoreError);
    EXPECT_EQ(caveatOf(m, folderDestination("F", home.path())), QString());
    secrets->failReads = false;
    expectNoSecretIn(sentences, {QStringLiteral("bad-bucket-secret")});
}

TEST_F(Runs, CaveatsComeFromTheBuiltDestination) {
    BackupModel& m = readyModel();
    EXPECT_TRUE(
        caveatOf(m, folderDestination("I", home / "i", Kind::iCloudDrive))
            .startsWith(QStringLiteral("Convenience only. This does NOT protect against losing your Apple ID")));
    EXPECT_TRUE(caveatOf(m, folderDestination("G", home / "g", Kind::googleDriveFolder)).contains("Google Drive"));
    EXPECT_FALSE(caveatOf(m, folderDestination("V", home / "v")).isEmpty());
    // Credentials missing: no caveat, and no error.
    EXPECT_EQ(caveatOf(m, storeDestination("R2", Kind::cloudflareR2)), QString());
    EXPECT_TRUE(m.lastError().isNull());
}

TEST_F(Runs, AConnectionTestRoundTripsThroughAFolderAndLeavesNothing) {
    BackupModel& m = readyModel();
    stdfs::create_directories(home / "drive");
    DestinationConfig d = folderDestination("DRIVE", home / "drive");
    addDestination(m.destinationsModel(), d, std::nullopt);
    QSignalSpy busy(&m, &BackupModel::isBusyChanged);
    m.destinationsModel().testConnection(d);
    m.destinationsModel().testConnection(d); // a second press while the first runs starts nothing
    EXPECT_TRUE(m.isBusy());
    EXPECT_TRUE(settleBackup());
    EXPECT_EQ(busy.count(), 2);
    EXPECT_TRUE(m.lastError().isNull());
    const QString result = m.lastResult();
    EXPECT_TRUE(result.startsWith(QStringLiteral("External drive or NAS works. Wrote "))) << result.toStdString();
    EXPECT_TRUE(result.endsWith(QStringLiteral(" encrypted bytes, read them back, confirmed they decrypt, and removed "
                                               "the test object.")));
    ASSERT_TRUE(m.destinationsModel().destinations()[0].lastVerifiedAt);
    EXPECT_TRUE(nlohmann::json::parse(readAll(destinationsFile()))[0].contains("lastVerifiedAt"));
    EXPECT_TRUE(filesBelow(home / "drive").empty()) << filesBelow(home / "drive").front();
}

TEST_F(Runs, AMissingFolderIsAnErrorNamingItAndNothingIsCreated) {
    BackupModel& m = readyModel();
    makeArchive(archiveOf("jorin"), 50, {1000}, 3);
    const stdfs::path unplugged = home / "media/Backup Drive";
    DestinationConfig d = folderDestination("GONE", unplugged);
    addDestination(m.destinationsModel(), d, std::nullopt);
    m.destinationsModel().testConnection(d);
    EXPECT_TRUE(settleBackup());
    EXPECT_TRUE(m.lastError().startsWith(QStringLiteral("External drive or NAS did not work: ")));
    EXPECT_TRUE(m.lastError().contains(QString::fromStdString(unplugged.string()))) << m.lastError().toStdString();

    m.runs().runBackup(QStringLiteral("jorin"), storePath("jorin"), d);
    EXPECT_TRUE(settleBackup());
    EXPECT_TRUE(m.lastError().startsWith(QStringLiteral("Backup to External drive or NAS failed: ")));
    EXPECT_TRUE(m.lastError().contains(QString::fromStdString(unplugged.string())));
    // Running it again alone changes nothing, so no resuming is promised.
    EXPECT_TRUE(m.lastError().contains(QStringLiteral("does not exist. Connect the drive")));
    EXPECT_FALSE(m.lastError().contains(QStringLiteral("restarting resumes")));
    EXPECT_TRUE(m.lastResult().isNull());
    EXPECT_TRUE(m.runs().progressText().isNull());
    EXPECT_FALSE(m.isBusy());
    EXPECT_FALSE(stdfs::exists(unplugged));
    EXPECT_FALSE(m.destinationsModel().destinations()[0].lastVerifiedAt);
}

TEST_F(Runs, TheGuardsOfARunInOrder) {
    BackupModel& m = makeBackup();
    stdfs::create_directories(home / "drive");
    DestinationConfig d = folderDestination("DRIVE", home / "drive");
    m.runs().runBackup(QStringLiteral("sam"), storePath("sam"), d);
    EXPECT_EQ(m.lastError(), QStringLiteral("This Mac holds the key for jorin, not sam. Back up sam's archive from "
                                            "sam's own Mac, so it is sealed with their key and stays readable only "
                                            "by them."));
    m.runs().runBackup(QStringLiteral(" jorin"), storePath("jorin"), d);
    ASSERT_TRUE(drain(m)); // the keyring is asked off the GUI thread
    EXPECT_EQ(m.lastError(), QStringLiteral("Create jorin's encryption key first."));
    m.keys().createKey();
    ASSERT_TRUE(drain(m));
    m.runs().runBackup(QStringLiteral("jorin"), storePath("jorin"), d);
    ASSERT_TRUE(drain(m));
    EXPECT_TRUE(m.lastError().startsWith(QStringLiteral("Save jorin's recovery key first.")));
    m.keys().confirmRecoverySaved();
    ASSERT_TRUE(drain(m));
    m.runs().runBackup(QStringLiteral("jorin"), storePath("jorin"), d);
    ASSERT_TRUE(drain(m));
    EXPECT_EQ(m.lastError(), QStringLiteral("There is no tresk for jorin yet. Run a scan first."));
    EXPECT_FALSE(m.isBusy());
    EXPECT_TRUE(filesBelow(home / "drive").empty());
}

TEST_F(Runs, ABackupToAFolderIsVerifiedRecordedAndRestores) {
    BackupModel& m = readyModel();
    makeArchive(archiveOf("jorin"), 300, {1000, 60000, 0, 250000}, 5);
    stdfs::create_directories(home / "drive");
    DestinationConfig d = folderDestination("DRIVE", home / "drive");
    addDestination(m.destinationsModel(), d, std::nullopt);
    m.setLastError(QStringLiteral("an earlier failure"));

    QStringList texts;
    QObject::connect(&m.runs(), &BackupRunsModel::progressTextChanged, [&] { texts << m.runs().progressText(); });
    m.runs().runBackup(QStringLiteral("jorin"), storePath("jorin"), d);
    // Started: earlier sentences cleared, the box at its beginning.
    EXPECT_TRUE(m.isBusy());
    EXPECT_TRUE(m.lastError().isNull());
    EXPECT_EQ(m.runs().progressText(), QStringLiteral("Preparing…"));
    EXPECT_EQ(m.runs().progressFraction(), 0.0);
    EXPECT_TRUE(settleBackup());

    EXPECT_EQ(m.lastResult(), QStringLiteral("jorin's archive is backed up to External drive or NAS, encrypted and "
                                             "verified."));
    EXPECT_TRUE(m.lastError().isNull());
    EXPECT_FALSE(m.isBusy());
    EXPECT_TRUE(m.runs().progressText().isNull());
    EXPECT_EQ(m.runs().progressFraction(), 1.0);
    ASSERT_GE(texts.size(), 3);
    EXPECT_EQ(texts.front(), QStringLiteral("Preparing…"));
    EXPECT_TRUE(texts[1].startsWith(QStringLiteral("Uploading part "))) << texts[1].toStdString();
    ASSERT_TRUE(m.destinationsModel().destinations()[0].lastVerifiedAt);
    expectRestoresEqual(m.destinationsModel().makeDestination(d));

    // The status record this run left, read back for two owners.
    m.runs().refreshHostHealth(d, {QStringLiteral("jorin"), QStringLiteral("sam")});
    EXPECT_TRUE(settleBackup());
    ASSERT_EQ(m.runs().hostHealth().size(), 2u);
    ASSERT_TRUE(m.runs().hostHealth()[0].record);
    EXPECT_TRUE(m.runs().hostHealth()[0].record->ok);
    EXPECT_GT(m.runs().hostHealth()[0].record->bytes, 0);
    EXPECT_FALSE(m.runs().hostHealth()[1].record);
    m.runs().refreshHostHealth(d, {});
    EXPECT_TRUE(m.runs().hostHealth().empty());

    // The next run starts from the beginning of the box, not the last run's end.
    m.runs().runBackup(QStringLiteral("jorin"), storePath("jorin"), d);
    EXPECT_EQ(m.runs().progressText(), QStringLiteral("Preparing…"));
    EXPECT_EQ(m.runs().progressFraction(), 0.0);
    EXPECT_TRUE(settleBackup());
    EXPECT_TRUE(m.lastResult().endsWith(QStringLiteral("encrypted and verified.")));

    // Damage at rest is found by the next run, sent again and said.
    for (const auto& e : stdfs::recursive_directory_iterator(home / "drive/kelvara/jorin/objects")) {
        if (!e.is_regular_file() || e.path().filename().string()[0] == '.') continue;
        std::string bytes = readAll(e.path());
        bytes[bytes.size() / 2] ^= 0x04;
        writeAll(e.path(), bytes);
    }
    m.runs().runBackup(QStringLiteral("jorin"), storePath("jorin"), d);
    EXPECT_TRUE(settleBackup());
    EXPECT_TRUE(m.lastResult().contains(QStringLiteral("encrypted and verified. Damaged at External drive or NAS and "
                                                       "sent again: ")))
        << m.lastResult().toStdString();
    EXPECT_TRUE(m.lastResult().contains(QStringLiteral("the archive database"))) << m.lastResult().toStdString();
    expectRestoresEqual(m.destinationsModel().makeDestination(d));
}

TEST_F(Runs, ObjectStoreTestBackupStopAndResume) {
    if (!findS3rver()) KX_SKIP_WITHOUT_PEER("s3rver is not installed");
    S3Server server;
    BackupDestinationsModel::setObjectStoreEndpointForTesting(server.endpoint());
    BackupModel& m = readyModel();
    // One attachment large enough for several parts, so a stopped upload has parts to resume.
    makeArchive(archiveOf("jorin"), 200, {70u << 20, 3000}, 9);
    DestinationConfig d = storeDestination("S3");
    addDestination(m.destinationsModel(), d, storeCredentials());

    m.destinationsModel().testConnection(d);
    EXPECT_TRUE(settleBackup());
    EXPECT_TRUE(m.lastResult().startsWith(QStringLiteral("AWS S3 works. Wrote "))) << m.lastError().toStdString();

    // Stopped once two parts are in.
    bool stopped = false;
    int reports = 0;
    QObject::connect(&m.runs(), &BackupRunsModel::progressFractionChanged, [&] {
        // The second report: two parts are in.
        if (!stopped && m.runs().progressFraction() > 0 && ++reports == 2) {
            stopped = true;
            server.stop();
        }
    });
    m.runs().runBackup(QStringLiteral("jorin"), storePath("jorin"), d);
    EXPECT_TRUE(settleBackup(300000));
    ASSERT_TRUE(stopped);
    EXPECT_TRUE(m.lastError().startsWith(QStringLiteral("Backup to AWS S3 failed: "))) << m.lastError().toStdString();
    EXPECT_TRUE(m.lastResult().isNull());
    const auto verifiedAfterTest = m.destinationsModel().destinations()[0].lastVerifiedAt;

    server.restart();
    m.runs().runBackup(QStringLiteral("jorin"), storePath("jorin"), d);
    EXPECT_TRUE(settleBackup(300000));
    EXPECT_EQ(m.lastResult(), QStringLiteral("jorin's archive is backed up to AWS S3, encrypted and verified. Resumed "
                                             "from a previous interrupted upload. 1 object written by this run was "
                                             "checked by AWS S3's own checksum of what it received, not yet read "
                                             "back; every object is read back within 30 backups."))
        << m.lastError().toStdString();
    EXPECT_NE(m.destinationsModel().destinations()[0].lastVerifiedAt, verifiedAfterTest);
    expectRestoresEqual(m.destinationsModel().makeDestination(d));

    // Wrong keys: a refusal, and no secret in the sentence.
    DestinationConfig wrong = storeDestination("WRONG");
    auto wrongKeys = storeCredentials("wrong-secret-value");
    wrongKeys.accessKeyID = "NOTTHEKEY";
    addDestination(m.destinationsModel(), wrong, wrongKeys);
    m.destinationsModel().testConnection(wrong);
    EXPECT_TRUE(settleBackup());
    EXPECT_TRUE(m.lastError().startsWith(QStringLiteral("AWS S3 did not work: ")))
        << m.lastError().toStdString() << m.lastResult().toStdString();

    const QString phrase = QString::fromStdString(
        TreskKeyMaterial::recoveryString(OwnerKeyStore().existingKeyring("jorin")->current));
    expectNoSecretIn(sentences, {QStringLiteral("wrong-secret-value"), phrase, QString::fromLatin1(S3Server::kKey)});
}
