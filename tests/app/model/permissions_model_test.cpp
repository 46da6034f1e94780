// The permissions feature: the summary, the access probe and keeping
// the installed schedule current; plus how notification answers read.
#include "app/model/alerts_model.h"
#include "app/model/app_model.h"
#include "app/model/contacts_model.h"
#include "app/model/household_model.h"
#include "app/model/permissions_model.h"
#include "app/platform/user_defaults.h"
#include "core/health/permissions_summary.h"
#include "core/health/schedule_arguments.h"
#include "core/health/schedule_installer.h"
#include "tests/support/model_test_access.h"
#include "tests/support/schedule_seams.h"
#include "tests/support/test_env.h"
#include "tests/support/user_defaults_double.h"

#include <QCoreApplication>
#include <QTest>
#include <QThreadPool>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdlib>
#include <optional>

namespace {

namespace stdfs = std::filesystem;
using kx::test::readAll;
using kx::test::writeAll;
using Verdict = kx::FullDiskAccessProbe::Verdict;
using kx::PermissionsSummary;
using kx::ScheduleInstaller;

// Long enough for the engine stand-in on a loaded machine.
constexpr int kProbeWaitMillis = 15000;

// Exposes the model's protected writers, as the screens' own code paths would
// change these values.
class TestModel : public AppModel {
public:
    using AppModel::setDestinationRootValue;
};

class SchedulePermissions : public ::testing::Test {
protected:
    void SetUp() override {
        oldHome_ = std::getenv("HOME") ? std::getenv("HOME") : "";
        oldData_ = std::getenv("XDG_DATA_HOME") ? std::getenv("XDG_DATA_HOME") : "";
        ::setenv("HOME", (dir / "home").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (dir / "home/.local/share").c_str(), 1);
        stdfs::create_directories(dir / "home");
        setUserDefaultsForTesting(std::make_shared<MemoryUserDefaults>());
        exe = dir / "bin/kelvara";
        writeEngine("exit 0");
        writeAll(exe, "#!/bin/sh\n");
        seams_.emplace([this] { return exe.string(); });
        fake = seams_->scheduler;
    }
    void TearDown() override {
        seams_.reset();
        setUserDefaultsForTesting(nullptr);
        ::setenv("HOME", oldHome_.c_str(), 1);
        ::setenv("XDG_DATA_HOME", oldData_.c_str(), 1);
    }
    // The engine stand-in: counts its runs, then runs the given shell lines.
    void writeEngine(const std::string& body) {
        const auto engine = dir / "bin/kxctl";
        writeAll(engine, "#!/bin/sh\necho run >> '" + (dir / "runs").string() + "'\n" + body + "\n");
        ::chmod(engine.c_str(), 0755);
    }
    void replyWith(const kx::ProbeOutput& reply, double sleepSeconds = 0) {
        writeEngine("sleep " + std::to_string(sleepSeconds) + "\necho '" + reply.encode() + "'");
    }
    int engineRuns() const {
        const std::string log = readAll(dir / "runs");
        return static_cast<int>(std::count(log.begin(), log.end(), '\n'));
    }
    void makeLiveDatabase(int messages) {
        const stdfs::path path = kx::FullDiskAccessProbe::liveMessagesDatabasePath();
        stdfs::create_directories(path.parent_path());
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        std::string sql = "CREATE TABLE message (ROWID INTEGER PRIMARY KEY, text TEXT);";
        for (int i = 0; i < messages; ++i) sql += "INSERT INTO message (text) VALUES ('m');";
        sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    Verdict probe(AppModel& model) {
        model.permissions().startAccessProbe();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !model.permissions().isProbingFDA(); }, kProbeWaitMillis));
        return model.permissions().fdaVerdict();
    }

    kx::test::TempDir dir;
    stdfs::path exe;
    std::shared_ptr<kx::FakeScheduler> fake;

private:
    std::optional<kx::test::ScheduleSeams> seams_;
    std::string oldHome_, oldData_;
};

kx::ProbeOutput reply(bool exists, bool readable, std::optional<int64_t> count,
                      std::optional<std::string> problem = {}) {
    kx::ProbeOutput o;
    o.databasePath = "/home/jo/Library/Messages/chat.db";
    o.databaseExists = exists;
    o.readable = readable;
    o.messageCount = count;
    o.problem = std::move(problem);
    return o;
}

TEST_F(SchedulePermissions, SummaryIsReadAfreshAndInstalledMeansTheFileExists) {
    AppModel model;
    PermissionsSummary s = model.permissions().permissionStatus();
    EXPECT_FALSE(s.scheduleInstalled);
    EXPECT_EQ(s.fullDiskAccess, Verdict::notRunYet());
    EXPECT_EQ(s.contacts, model.contacts().contactsAuthorization());
    EXPECT_EQ(s.notificationsAllowed, notificationsAllowed(model.alerts().notifier()->authorization()));

    // A property list nobody registered still counts as installed.
    writeAll(ScheduleInstaller::plistURL(), "<plist/>");
    EXPECT_TRUE(model.permissions().permissionStatus().scheduleInstalled);
    stdfs::remove(ScheduleInstaller::plistURL());
    EXPECT_FALSE(model.permissions().permissionStatus().scheduleInstalled);
}

TEST_F(SchedulePermissions, TwoQuickRequestsStartOneProbe) {
    AppModel model;
    replyWith(reply(false, false, std::nullopt, "there is no file"), 0.5);
    model.permissions().startAccessProbe();
    EXPECT_TRUE(model.permissions().isProbingFDA());
    model.permissions().startAccessProbe();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model.permissions().isProbingFDA(); }, kProbeWaitMillis));
    EXPECT_EQ(engineRuns(), 1);
    // No database for the application nor for the engine.
    EXPECT_EQ(model.permissions().fdaVerdict(), Verdict::noDatabase());
}

TEST_F(SchedulePermissions, VerdictsForReadableBlockedAndFailingEngines) {
    makeLiveDatabase(4);
    AppModel model;

    replyWith(reply(true, true, 4));
    EXPECT_EQ(probe(model), Verdict::allGranted("Kelvara reads 4 messages; the scheduled job reads 4."));

    replyWith(reply(true, false, std::nullopt, "chat.db cannot be read: Permission denied"));
    EXPECT_EQ(probe(model).kind, Verdict::Case::scheduledBlocked);

    writeEngine("echo boom >&2\nexit 1");
    EXPECT_EQ(probe(model), Verdict::notChecked("The engine failed: boom"));

    writeEngine("exit 0");
    EXPECT_EQ(probe(model), Verdict::notChecked("The engine produced no output (exit 0)."));

    stdfs::remove(dir / "bin/kxctl");
    EXPECT_EQ(probe(model),
              Verdict::notChecked("The kxctl engine is not inside the app bundle, so the scheduled job has "
                                  "nothing to run and archiving cannot work at all."));
}

TEST_F(SchedulePermissions, ADamagedLiveDatabaseBlocksTheApplication) {
    const stdfs::path path = kx::FullDiskAccessProbe::liveMessagesDatabasePath();
    writeAll(path, std::string(5000, 'q'));
    AppModel model;
    replyWith(reply(true, false, std::nullopt, "file is not a database"));
    EXPECT_EQ(probe(model).kind, Verdict::Case::appBlocked);
}

TEST_F(SchedulePermissions, ModelGoneBeforeTheProbeEndsIsHarmless) {
    replyWith(reply(false, false, std::nullopt), 0.3);
    {
        AppModel model;
        model.permissions().startAccessProbe();
    }
    // The probe finishes on the pool and posts its verdict to a model that is gone.
    ASSERT_TRUE(QThreadPool::globalInstance()->waitForDone(kProbeWaitMillis));
    EXPECT_EQ(engineRuns(), 1);
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

TEST_F(SchedulePermissions, InstalledScheduleFollowsANewRootAndTheFirstMachineIdentity) {
    TestModel model;
    model.permissions().keepScheduleCurrent();
    // Not installed: changes install nothing.
    model.setDestinationRootValue("/elsewhere");
    EXPECT_FALSE(ScheduleInstaller::isInstalled());

    const std::string configDir = model.configDir().toStdString();
    ScheduleInstaller::install(configDir + "/sources.json", "/elsewhere", configDir + "/filters.json", std::nullopt);
    ModelTestAccess::setMachineID(model.householdModel(), QString());
    model.setDestinationRootValue("/new root");
    auto installed = ScheduleInstaller::readInstalled();
    ASSERT_TRUE(installed);
    const auto& args = installed->programArguments;
    EXPECT_NE(std::find(args.begin(), args.end(), "/new root"), args.end());
    EXPECT_EQ(std::find(args.begin(), args.end(), "--machine-id"), args.end());

    ModelTestAccess::setMachineID(model.householdModel(), "MAC-42");
    installed = ScheduleInstaller::readInstalled();
    ASSERT_TRUE(installed);
    EXPECT_NE(std::find(installed->programArguments.begin(), installed->programArguments.end(), "MAC-42"),
              installed->programArguments.end());
}

TEST_F(SchedulePermissions, ValuesSettledDuringStartUpAreCaughtUpWhenWatchingBegins) {
    TestModel model;
    const std::string configDir = model.configDir().toStdString();
    // Installed by an earlier version of the settings: another root, no identity.
    ScheduleInstaller::install(configDir + "/sources.json", "/before", configDir + "/filters.json", std::nullopt);
    fake->calls.clear();
    model.permissions().keepScheduleCurrent();
    const auto installed = ScheduleInstaller::readInstalled();
    ASSERT_TRUE(installed);
    EXPECT_EQ(installed->programArguments,
              kx::ScheduleArguments::ingest((dir / "bin/kxctl").string(), configDir + "/sources.json",
                                            model.destinationRoot().toStdString(), configDir + "/filters.json",
                                            model.householdModel().machineID().toStdString(), true));
    // Already current: nothing is registered again.
    fake->calls.clear();
    model.permissions().keepScheduleCurrent();
    EXPECT_TRUE(fake->calls.empty());
}

TEST_F(SchedulePermissions, AScheduleThatCannotBeUpdatedSaysSoAndIsNotLeftClaimingToRun) {
    TestModel model;
    model.permissions().keepScheduleCurrent();
    const std::string configDir = model.configDir().toStdString();
    ScheduleInstaller::install(configDir + "/sources.json", "/old", configDir + "/filters.json", std::nullopt);
    fake->registerResult = {5, ""};
    model.setDestinationRootValue("/new");
    EXPECT_EQ(model.lastError(), "The daily schedule could not be updated to the current archive settings. Could not "
                                 "register the schedule: launchctl exited 5");
    EXPECT_FALSE(ScheduleInstaller::isInstalled());
}

TEST(PermissionsSummary, NotificationAnswers) {
    using A = HealthNotifier::Authorization;
    EXPECT_EQ(notificationsAllowed(A::authorized), true);
    EXPECT_EQ(notificationsAllowed(A::provisional), true);
    EXPECT_EQ(notificationsAllowed(A::denied), false);
    EXPECT_EQ(notificationsAllowed(A::notDetermined), std::nullopt);
    EXPECT_EQ(notificationsAllowed(A::unavailable), std::nullopt);
}

} // namespace
