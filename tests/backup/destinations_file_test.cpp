// The destination list and its file: what is written, what is read back, and
// that a file that could not be read is never written over.
#include "tests/backup/backup_test_support.h"

#include <sys/stat.h>

using namespace kx;
using namespace kx::test;
using Kind = DestinationConfig::Kind;

namespace {

class DestinationsFile : public BackupTest {
protected:
    // Writes the file, starts a model over it and checks it was refused.
    void expectRefused(const std::string& content, const std::string& why) {
        writeAll(destinationsFile(), content);
        BackupModel& m = makeBackup();
        EXPECT_TRUE(m.destinationsModel().loadFailed()) << why;
        EXPECT_TRUE(m.destinationsModel().destinations().empty()) << why;
        EXPECT_TRUE(m.lastError().startsWith(QStringLiteral("Your backup destination list at ") +
                                             m.destinationsModel().configPath() +
                                             QStringLiteral(" could not be read (")))
            << why << ": " << m.lastError().toStdString();
        EXPECT_TRUE(m.lastError().endsWith(
            QStringLiteral("). Your destinations are NOT shown and will NOT be changed until that file is repaired or "
                           "moved aside. Backups already stored are untouched.")))
            << why;

        // Adding shows the destination but leaves the file byte for byte as it was.
        const auto added = addDestination(m.destinationsModel(), folderDestination("NEW", home / "drive"),
                                          std::nullopt);
        ASSERT_EQ(m.destinationsModel().destinations().size(), 1u) << why;
        EXPECT_EQ(readAll(destinationsFile()), content) << why;
        ASSERT_TRUE(added) << why;
        EXPECT_TRUE(added->startsWith(QStringLiteral("Could not save your destination list: "))) << why;
        m.destinationsModel().markVerified("NEW");
        removeDestination(m.destinationsModel(), m.destinationsModel().destinations().front());
        EXPECT_EQ(readAll(destinationsFile()), content) << why;
        backup.reset();
    }
};

} // namespace

TEST(DestinationKinds, LabelsRawValuesClassesAndSymbols) {
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"cloudflareR2", "Cloudflare R2"},
        {"awsS3", "AWS S3"},
        {"awsGlacierDeepArchive", "AWS S3 Glacier Deep Archive"},
        {"backblazeB2", "Backblaze B2"},
        {"localVolume", "External drive or NAS"},
        {"iCloudDrive", "iCloud Drive"},
        {"dropboxFolder", "Dropbox folder"},
        {"googleDriveFolder", "Google Drive folder"},
    };
    ASSERT_EQ(DestinationConfig::allKinds.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        Kind k = DestinationConfig::allKinds[i];
        EXPECT_EQ(kindRawValue(k), expected[i].first);
        EXPECT_EQ(kindLabel(k), expected[i].second);
        EXPECT_EQ(kindFromRawValue(expected[i].first), k);
        EXPECT_EQ(isObjectStore(k), i < 4);
    }
    EXPECT_FALSE(kindFromRawValue("AwsS3"));
    EXPECT_FALSE(kindFromRawValue("awss3"));
    EXPECT_FALSE(kindFromRawValue(""));
    EXPECT_STREQ(placeClassText(placeClass(Kind::awsS3)), "Independent backup");
    EXPECT_STREQ(placeClassSymbol(placeClass(Kind::backblazeB2)), "lock.shield");
    EXPECT_STREQ(placeClassText(placeClass(Kind::localVolume)), "Same machine");
    EXPECT_STREQ(placeClassSymbol(placeClass(Kind::localVolume)), "internaldrive");
    EXPECT_STREQ(placeClassText(placeClass(Kind::dropboxFolder)), "Synced copy");
    EXPECT_STREQ(placeClassSymbol(placeClass(Kind::iCloudDrive)), "arrow.triangle.2.circlepath");
}

TEST(DestinationDates, WholeSecondsWrittenAndOnlyThatFormRead) {
    const Date when = *parseISO8601("2025-03-01T09:30:00.678Z");
    EXPECT_EQ(formatWholeSecondDate(when), "2025-03-01T09:30:00Z");
    EXPECT_EQ(parseStrictDate("2025-03-01T09:30:00Z"), parseISO8601("2025-03-01T09:30:00Z"));
    EXPECT_EQ(parseStrictDate("2025-03-01T10:30:00+01:00"), parseISO8601("2025-03-01T09:30:00Z"));
    for (const char* bad : {"2025-03-01T09:30:00.000Z", "2025-03-01T09:30:00", "2025-03-01 09:30:00Z",
                            "2025-3-01T09:30:00Z", " 2025-03-01T09:30:00Z", "2025-13-01T09:30:00Z", "yesterday", ""})
        EXPECT_FALSE(parseStrictDate(bad)) << bad;
}

TEST_F(DestinationsFile, NoFileIsAnEmptyListWithoutAMessage) {
    BackupModel& m = makeBackup();
    EXPECT_FALSE(m.destinationsModel().loadFailed());
    EXPECT_TRUE(m.destinationsModel().destinations().empty());
    EXPECT_TRUE(m.lastError().isNull());
    EXPECT_FALSE(std::filesystem::exists(destinationsFile()));
}

TEST_F(DestinationsFile, WritesTheKeysInOrderOnlyPresentOnesAndReadsThemBack) {
    BackupModel& m = makeBackup();
    addDestination(m.destinationsModel(), folderDestination("A-1", home / "drive"), std::nullopt);
    DestinationConfig store = storeDestination("B-2");
    addDestination(m.destinationsModel(), store, storeCredentials());
    m.destinationsModel().markVerified("B-2");
    ASSERT_EQ(m.destinationsModel().destinations().size(), 2u);
    ASSERT_TRUE(m.destinationsModel().destinations()[1].lastVerifiedAt);

    struct stat st {};
    ASSERT_EQ(::stat(destinationsFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const std::string text = readAll(destinationsFile());
    const auto json = nlohmann::json::parse(text);
    ASSERT_TRUE(json.is_array());
    ASSERT_EQ(json.size(), 2u);
    // Keys in the record's order; absent texts and dates are not written.
    EXPECT_LT(text.find("\"id\": \"A-1\""), text.find("\"kind\": \"localVolume\""));
    EXPECT_LT(text.find("\"kind\": \"localVolume\""), text.find("\"localRoot\""));
    EXPECT_LT(text.find("\"localRoot\""), text.find("\"enabled\""));
    EXPECT_FALSE(json[0].contains("bucket"));
    EXPECT_FALSE(json[0].contains("region"));
    EXPECT_FALSE(json[0].contains("lastVerifiedAt"));
    EXPECT_FALSE(json[1].contains("localRoot"));
    const std::string when = json[1]["lastVerifiedAt"].get<std::string>();
    EXPECT_TRUE(parseStrictDate(when)) << when;
    EXPECT_EQ(when.size(), 20u) << when; // whole seconds, "Z"
    // No secret in the file.
    EXPECT_EQ(text.find(S3Server::kKey), std::string::npos);

    const std::vector<DestinationConfig> before = m.destinationsModel().destinations();
    backup.reset();
    BackupModel& again = makeBackup();
    EXPECT_FALSE(again.destinationsModel().loadFailed());
    EXPECT_EQ(again.destinationsModel().destinations(), before);
}

TEST_F(DestinationsFile, NullTextsReadAsAbsentAndAreNotWrittenBack) {
    writeAll(destinationsFile(), R"([{"id":"X","kind":"awsS3","bucket":null,"region":"eu-west-1","localRoot":null,
        "enabled":false,"lastVerifiedAt":null,"extra":1}])");
    BackupModel& m = makeBackup();
    ASSERT_FALSE(m.destinationsModel().loadFailed());
    ASSERT_EQ(m.destinationsModel().destinations().size(), 1u);
    const DestinationConfig& d = m.destinationsModel().destinations()[0];
    EXPECT_FALSE(d.bucket);
    EXPECT_EQ(d.region, "eu-west-1");
    EXPECT_FALSE(d.enabled);
    EXPECT_FALSE(d.lastVerifiedAt);
    m.destinationsModel().markVerified("X");
    const auto json = nlohmann::json::parse(readAll(destinationsFile()));
    EXPECT_FALSE(json[0].contains("bucket"));
    EXPECT_FALSE(json[0].contains("localRoot"));
    EXPECT_TRUE(json[0].contains("lastVerifiedAt"));
}

TEST_F(DestinationsFile, DamagedFilesAreReportedAndNeverOverwritten) {
    const std::string good = R"([{"id":"A","kind":"awsS3","bucket":"b","region":"us-east-1","enabled":true}])";
    expectRefused(good.substr(0, good.size() - 9), "truncated");
    expectRefused(R"([{"id":"A","kind":"dropbox","enabled":true}])", "unknown kind");
    expectRefused(R"([{"id":"A","kind":"AwsS3","enabled":true}])", "kind in another letter case");
    expectRefused(R"([{"id":"A","kind":"awsS3","enabled":true,"lastVerifiedAt":"2025-03-01T09:30:00.123Z"}])",
                  "fractional seconds");
    expectRefused(R"([{"id":"A","kind":"awsS3","enabled":true,"lastVerifiedAt":1740821400}])", "date as a number");
    expectRefused(R"([{"id":"A","kind":"awsS3","enabled":true,"lastBackupAt":"yesterday"}])", "backup date not a date");
    expectRefused(R"([{"id":"A","kind":"awsS3","bucket":"b"},{"id":"B","kind":"awsS3","enabled":true}])",
                  "an element without enabled");
    expectRefused(R"([{"kind":"awsS3","enabled":true}])", "no id");
    expectRefused(R"({"destinations":[]})", "not a list");
    expectRefused(R"([{"id":"A","kind":"awsS3","bucket":7,"enabled":true}])", "bucket not text");
    expectRefused(std::string("\xff\xfe[", 3), "not text");
}

TEST_F(DestinationsFile, ATwinIdIsRemovedWithItsTwinAndOnlyTheFirstIsMarkedVerified) {
    BackupModel& m = makeBackup();
    addDestination(m.destinationsModel(), folderDestination("SAME", home / "a"), std::nullopt);
    addDestination(m.destinationsModel(), folderDestination("OTHER", home / "b"), std::nullopt);
    addDestination(m.destinationsModel(), folderDestination("SAME", home / "c"), std::nullopt);
    m.destinationsModel().markVerified("SAME");
    EXPECT_TRUE(m.destinationsModel().destinations()[0].lastVerifiedAt);
    EXPECT_FALSE(m.destinationsModel().destinations()[2].lastVerifiedAt);
    m.destinationsModel().markVerified("NOBODY");
    removeDestination(m.destinationsModel(), m.destinationsModel().destinations()[2]);
    ASSERT_EQ(m.destinationsModel().destinations().size(), 1u);
    EXPECT_EQ(m.destinationsModel().destinations()[0].id, "OTHER");
    EXPECT_EQ(nlohmann::json::parse(readAll(destinationsFile())).size(), 1u);
}

TEST_F(DestinationsFile, CredentialsAreStoredUnderTheIdAndRemovedWithTheDestination) {
    BackupModel& m = makeBackup();
    addDestination(m.destinationsModel(), storeDestination("S3-1"), storeCredentials("the-secret-key"));
    TreskKeychain keychain;
    EXPECT_EQ(keychain.credentials("S3-1"), storeCredentials("the-secret-key"));
    removeDestination(m.destinationsModel(), m.destinationsModel().destinations()[0]);
    EXPECT_FALSE(keychain.credentials("S3-1"));
    EXPECT_TRUE(m.destinationsModel().destinations().empty());

    // A keyring that refuses to store: nothing is added, and the sentence says so.
    secrets->failWrites = true;
    const auto refused = addDestination(m.destinationsModel(), storeDestination("S3-2"),
                                        storeCredentials("the-secret-key"));
    EXPECT_TRUE(m.destinationsModel().destinations().empty());
    ASSERT_TRUE(refused);
    EXPECT_TRUE(refused->startsWith(QStringLiteral("Could not store the credentials securely: ")));
    EXPECT_TRUE(refused->endsWith(QStringLiteral(". The destination was not added.")));
    EXPECT_FALSE(refused->contains(QStringLiteral("the-secret-key")));
    // Removing with a failing keyring still removes the destination.
    secrets->failWrites = false;
    addDestination(m.destinationsModel(), storeDestination("S3-3"), storeCredentials());
    secrets->failWrites = true;
    removeDestination(m.destinationsModel(), m.destinationsModel().destinations()[0]);
    EXPECT_TRUE(m.destinationsModel().destinations().empty());
    for (const QString& s : sentences) EXPECT_FALSE(s.contains(QStringLiteral("the-secret-key"))) << s.toStdString();
}
