#include "app/model/app_model.h"
#include "app/platform/user_defaults.h"
#include "core/archive/coverage_report.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"
#include "tests/app/model/model_test_support.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_env.h"

#include <QSignalSpy>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

namespace fs = std::filesystem;
using kx::test::readAll;
using kx::test::writeAll;

namespace {

// Each test gets its own home and application-support folders and in-memory
// user defaults.
class AppModelStartup : public kx::test::PrivateHomeTest {
protected:
    void writeConfig(const std::string& name, const std::string& bytes) { writeAll(configDir() / name, bytes); }
    std::unique_ptr<AppModel> start() { return std::make_unique<AppModel>(); }
};

void makeDatabase(const fs::path& path) {
    fs::create_directories(path.parent_path());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "PRAGMA journal_mode=WAL; CREATE TABLE message(ROWID INTEGER PRIMARY KEY, text TEXT);", nullptr,
                 nullptr, nullptr);
    sqlite3_close(db);
}

} // namespace

TEST_F(AppModelStartup, FirstStartCreatesAPrivateConfigFolderAndAStableMachineIdentity) {
    auto first = start();
    struct stat st {};
    ASSERT_EQ(::stat(configDir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(first->configDir(), QString::fromStdString(configDir().string()));
    ASSERT_FALSE(first->householdModel().machineID().isEmpty());
    EXPECT_EQ(first->householdModel().machineID(), first->householdModel().machineID().toUpper());
    const QString id = first->householdModel().machineID();
    first.reset();
    EXPECT_EQ(start()->householdModel().machineID(), id);
}

TEST_F(AppModelStartup, CleanStartHasDefaultsAndNoProblems) {
    auto model = start();
    EXPECT_EQ(model->route(), Route::sources);
    EXPECT_TRUE(model->registry().sources().empty());
    EXPECT_TRUE(model->lastError().isNull());
    EXPECT_TRUE(model->registryLoadProblem().isNull());
    EXPECT_EQ(model->householdModel().household().name, "Your Macs");
    EXPECT_TRUE(model->householdModel().household().members.empty());
    EXPECT_TRUE(model->householdModel().householdLoadProblem().isNull());
    EXPECT_TRUE(model->alerts().alertSettings().enabled);
    EXPECT_EQ(model->alerts().alertSettings().warnAfterDays, 7);
    EXPECT_FALSE(model->report().has_value());
    EXPECT_EQ(model->permissions().fdaVerdict().text, "not run yet");
    EXPECT_EQ(model->destinationRoot(), QString::fromStdString((configDir() / "Tresk").string()));
}

TEST_F(AppModelStartup, DamagedSourceListIsReportedAndNeverOverwritten) {
    const std::string damaged = "[{\"id\": \"a\", \"owner\": ";
    writeConfig("sources.json", damaged);
    auto model = start();
    EXPECT_TRUE(model->registry().sources().empty());
    EXPECT_FALSE(model->registryLoadProblem().isEmpty());
    EXPECT_TRUE(model->lastError().startsWith("Your source list at " +
                                              QString::fromStdString((configDir() / "sources.json").string()) +
                                              " could not be read: "));
    EXPECT_TRUE(
        model->lastError().endsWith("so your existing list is still on disk. Repair or move it, then restart."));
    kx::Source s;
    s.id = "x";
    s.owner = "me";
    s.path = "/tmp";
    model->mutableRegistry().add(s);
    EXPECT_THROW(model->mutableRegistry().save(), kx::Error);
    EXPECT_EQ(readAll(configDir() / "sources.json"), damaged);
    model.reset();
    start();
    EXPECT_EQ(readAll(configDir() / "sources.json"), damaged);
}

TEST_F(AppModelStartup, EveryDamagedFileIsNamedSourceListFirstAndDismissingRepairsNone) {
    writeConfig("sources.json", "{not json");
    writeConfig("filters.json", "[[[");
    writeConfig("contacts-overrides.json", "{{");
    writeConfig("alerts.json", "nope");
    writeConfig("household.json", "{not json either");
    const kx::test::LogCapture log("kelvara.app");
    auto model = start();
    const QString banner = model->lastError();
    // Each sentence is in the log as well, for a person to send.
    EXPECT_EQ(log.messages().size(), 5) << log.messages().join('\n').toStdString();
    for (const QString& said : log.messages()) EXPECT_TRUE(banner.contains(said)) << said.toStdString();
    EXPECT_TRUE(banner.startsWith("Your source list at ")) << banner.toStdString();
    const QStringList sentences{"Your filters at ", "Could not load your saved contact names (",
                                "Your notification settings at ", "Your household file at "};
    qsizetype last = 0;
    for (const QString& s : sentences) {
        EXPECT_EQ(banner.count(s), 1) << s.toStdString() << " in " << banner.toStdString();
        EXPECT_GT(banner.indexOf(s), last) << s.toStdString();
        last = banner.indexOf(s);
    }

    // Dismissing the banner repairs nothing: each load problem stays and no
    // damaged file can be written over.
    model->setLastError(QString());
    EXPECT_FALSE(model->registryLoadProblem().isEmpty());
    EXPECT_TRUE(model->filtersModel().filters().loadProblem().has_value());
    EXPECT_TRUE(model->alerts().alertSettings().loadProblem.has_value());
    EXPECT_FALSE(model->householdModel().householdLoadProblem().isEmpty());
    EXPECT_EQ(model->householdModel().household().name, "Your Macs");
    EXPECT_THROW(model->mutableRegistry().save(), kx::Error);
    EXPECT_THROW(model->filtersModel().filters().save(configDir() / "filters.json"), kx::Error);
    EXPECT_THROW(model->alerts().alertSettings().save((configDir() / "alerts.json").string()), kx::Error);
    model->contacts().saveContactOverrides();
    EXPECT_FALSE(model->lastError().isNull()) << "a refused save of contact names is said";
    EXPECT_EQ(readAll(configDir() / "sources.json"), "{not json");
    EXPECT_EQ(readAll(configDir() / "filters.json"), "[[[");
    EXPECT_EQ(readAll(configDir() / "contacts-overrides.json"), "{{");
    EXPECT_EQ(readAll(configDir() / "alerts.json"), "nope");
    EXPECT_EQ(readAll(configDir() / "household.json"), "{not json either");
}

TEST_F(AppModelStartup, DamagedFiltersAreNeverReadAsNoFiltersNorOverwritten) {
    writeConfig("filters.json", "[[[");
    auto model = start();
    ASSERT_TRUE(model->filtersModel().filters().loadProblem().has_value());
    EXPECT_TRUE(model->lastError().startsWith("Your filters at "));
    EXPECT_THROW(model->filtersModel().filters().save(configDir() / "filters.json"), kx::Error);
    EXPECT_EQ(readAll(configDir() / "filters.json"), "[[[");
}

TEST_F(AppModelStartup, DamagedAlertSettingsAndContactNamesAreReported) {
    writeConfig("alerts.json", "nope");
    auto model = start();
    EXPECT_TRUE(model->lastError().startsWith("Your notification settings at "));
    EXPECT_TRUE(model->alerts().alertSettings().enabled);
    EXPECT_THROW(model->alerts().alertSettings().save((configDir() / "alerts.json").string()), kx::Error);
    EXPECT_EQ(readAll(configDir() / "alerts.json"), "nope");

    fs::remove(configDir() / "alerts.json");
    writeConfig("contacts-overrides.json", "{{");
    model = start();
    EXPECT_TRUE(model->lastError().startsWith("Could not load your saved contact names ("));
    EXPECT_TRUE(model->lastError().endsWith("). Names you entered are not being applied."));
    EXPECT_TRUE(model->contacts().overrides().empty());
}

TEST_F(AppModelStartup, ArchiveRootSettingEmptyIsAbsentAndRelativeIsRefused) {
    const QString fallback = QString::fromStdString((configDir() / "Tresk").string());
    defaults->setString(DefaultsKey::destinationRoot, "");
    EXPECT_EQ(start()->destinationRoot(), fallback);

    defaults->setString(DefaultsKey::destinationRoot, "relative/archive");
    auto model = start();
    EXPECT_EQ(model->destinationRoot(), fallback);
    EXPECT_TRUE(model->lastError().contains("is not a full path"));

    defaults->setString(DefaultsKey::destinationRoot, QString::fromStdString((home / "Archive").string()));
    EXPECT_EQ(start()->destinationRoot(), QString::fromStdString((home / "Archive").string()));
}

TEST_F(AppModelStartup, ReportIsReadFromTheArchiveRoot) {
    const fs::path root = home / "Archive";
    defaults->setString(DefaultsKey::destinationRoot, QString::fromStdString(root.string()));
    EXPECT_FALSE(start()->report().has_value());
    kx::CoverageReport report;
    report.uniqueMessages = 42;
    writeAll(root / "STATUS.json", report.toJson());
    auto model = start();
    ASSERT_TRUE(model->report().has_value());
    EXPECT_EQ(model->report()->uniqueMessages, 42);
}

TEST_F(AppModelStartup, DecryptedDataAKilledRestoreLeftInTheArchiveRootIsRemovedAtStart) {
    const fs::path root = home / "Archive";
    defaults->setString(DefaultsKey::destinationRoot, QString::fromStdString(root.string()));
    const fs::path stale = root / ".jorin.restoring-Ab12Cd";
    writeAll(stale / "tresk.db", "decrypted messages a killed restore left");
    writeAll(root / "jorin/tresk.db", "the archive itself");
    start();
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_EQ(readAll(root / "jorin/tresk.db"), "the archive itself");
}

TEST_F(AppModelStartup, FullDiskAccessCheckLeavesTheMessagesFolderUntouched) {
    auto model = start();
    EXPECT_FALSE(model->permissions().hasFullDiskAccess()); // no database: no open attempt

    const fs::path messages = home / "Library/Messages";
    writeAll(messages / "chat.db", std::string(2048, 'z'));
    model->permissions().checkFullDiskAccess();
    EXPECT_FALSE(model->permissions().hasFullDiskAccess()); // not a database

    fs::remove(messages / "chat.db");
    makeDatabase(messages / "chat.db");
    model->permissions().setDismissedFullDiskAccessPrompt(true);
    const std::string before = kx::test::snapshotTree(messages);
    QSignalSpy spy(&model->permissions(), &PermissionsModel::hasFullDiskAccessChanged);
    model->permissions().checkFullDiskAccess();
    EXPECT_TRUE(model->permissions().hasFullDiskAccess());
    EXPECT_EQ(spy.count(), 1);
    EXPECT_FALSE(model->permissions().dismissedFullDiskAccessPrompt());
    EXPECT_EQ(kx::test::snapshotTree(messages), before);
    EXPECT_TRUE(liveMessagesDatabaseExists());
}

TEST_F(AppModelStartup, ArchiveOwnerLivesInTheUserDefaults) {
    auto model = start();
    EXPECT_TRUE(model->owners().archiveOwner().isEmpty());
    QSignalSpy spy(&model->owners(), &OwnersModel::archiveOwnerChanged);
    model->owners().setArchiveOwner("jorin");
    EXPECT_EQ(spy.count(), 1);
    EXPECT_EQ(defaults->string(DefaultsKey::archiveOwner), QString("jorin"));
}
