#include "core/archive/tresk_engine.h"
#include "core/household/household_store.h"
#include "tests/app/model/model_test_support.h"

#include <QProcess>
#include <QSignalSpy>
#include <QThreadPool>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace sfs = std::filesystem;
using namespace kx;
using kx::test::readAll;
using kx::test::writeAll;

namespace {

class Runs : public kx::test::ModelTest {
protected:
    void registerSources(std::initializer_list<Source> sources) {
        for (const auto& s : sources) ASSERT_TRUE(model->mutableRegistry().add(s));
        ASSERT_EQ(model->saveRegistry("add"), std::nullopt);
    }
};

bool hasAlert(const AlertsModel::Alerts& alerts, HealthAlert::Kind kind) {
    for (const auto& a : alerts)
        if (a.kind == kind) return true;
    return false;
}

} // namespace

TEST_F(Runs, AScanArchivesPublishesRecordsTheRunAndPostsAlerts) {
    const auto summary = messagesFolder(home / "copies/old-mac");
    auto& m = start();
    registerSources({folderSource("old-mac", "jorin", home / "copies/old-mac"),
                     folderSource("gone", "jorin", home / "copies/unplugged")});
    QSignalSpy running(&m.runs(), &RunsModel::isRunningChanged);
    m.setLastError("an earlier problem");
    // At launch no run had happened: that alert was posted then. The default
    // root, which the first run makes, is not reported as a missing drive.
    EXPECT_EQ(center->shownIdentifiers(), QStringList{"kx.alert.neverRan"});
    center->added.clear();

    m.runs().startScan(ScanRequest{});
    EXPECT_TRUE(m.runs().isRunning());
    EXPECT_TRUE(m.lastError().isNull());
    ASSERT_TRUE(waitForRun());
    EXPECT_EQ(running.count(), 2);

    ASSERT_TRUE(m.report().has_value());
    EXPECT_TRUE(m.report()->succeeded());
    EXPECT_GT(m.report()->newMessages, 0);
    EXPECT_LE(m.report()->newMessages, summary.messages);
    EXPECT_TRUE(sfs::is_regular_file(defaultRoot() / "jorin/tresk.db"));
    EXPECT_TRUE(m.lastError().isNull());

    // The scan result reaches the model's own list and its file.
    ASSERT_NE(m.registry().find("old-mac"), nullptr);
    EXPECT_TRUE(m.registry().find("old-mac")->lastScanned.has_value());
    EXPECT_TRUE(m.registry().find("gone")->lastError.has_value());
    EXPECT_NE(readAll(configDir() / "sources.json").find("lastScanned"), std::string::npos);

    // Recorded for this machine under the owner, which becomes the host.
    const auto* member = m.householdModel().household().member("jorin");
    ASSERT_NE(member, nullptr);
    EXPECT_EQ(member->role, Household::Role::host);
    ASSERT_EQ(member->macs.size(), 1u);
    EXPECT_EQ(member->macs[0].machineID, m.householdModel().machineID().toStdString());
    EXPECT_EQ(member->macs[0].displayName, "Jorin's laptop");
    const auto onDisk = HouseholdStore::load(configDir().string());
    ASSERT_EQ(onDisk.outcome, HouseholdLoad::Outcome::loaded);
    EXPECT_EQ(onDisk.household, m.householdModel().household());

    // The unreadable source is an alert, and it was posted.
    EXPECT_TRUE(hasAlert(m.alerts().activeAlerts(), HealthAlert::Kind::sourceUnreachable));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !center->added.empty(); }, 10000));
    EXPECT_EQ(center->added.back().identifier, "kx.alert.sourceUnreachable");
    // The root exists now: its notification was withdrawn.
    EXPECT_EQ(center->shownIdentifiers(), QStringList{"kx.alert.sourceUnreachable"});
}

TEST_F(Runs, TwoScansInQuickSuccessionGiveOneRun) {
    messagesFolder(home / "copies/a");
    auto& m = start();
    registerSources({folderSource("a", "jorin", home / "copies/a")});
    QSignalSpy reports(&m, &AppModel::reportChanged);
    QSignalSpy running(&m.runs(), &RunsModel::isRunningChanged);
    m.runs().startScan(ScanRequest{});
    m.setLastError("said while running");
    m.runs().startScan({.limit = std::nullopt, .fullSweep = true});
    EXPECT_EQ(m.lastError(), "said while running"); // the second request changed nothing
    ASSERT_TRUE(waitForRun());
    EXPECT_EQ(reports.count(), 1);
    EXPECT_EQ(running.count(), 2);
    EXPECT_FALSE(m.report()->attachments.fullSweep);
}

TEST_F(Runs, RunOptionsFollowTheArguments) {
    RunsModel::RunSnapshot snapshot;
    auto o = RunsModel::runOptions(snapshot, ScanRequest{});
    EXPECT_EQ(o.verificationSample, 50);
    EXPECT_FALSE(o.fullSweep);
    EXPECT_FALSE(o.machineID.has_value());
    EXPECT_TRUE(o.writeStatus);
    EXPECT_FALSE(o.fullRescan);
    snapshot.machineID = "M-1";
    o = RunsModel::runOptions(snapshot, {.limit = 25, .copyAttachments = false, .fullSweep = true});
    EXPECT_EQ(o.verificationSample, 0);
    EXPECT_TRUE(o.fullSweep);
    EXPECT_EQ(o.limit, 25);
    EXPECT_FALSE(o.copyAttachments);
    EXPECT_EQ(o.machineID, "M-1");

    const auto ingesters = RunsModel::defaultIngesters();
    ASSERT_EQ(ingesters.size(), 5u);
    EXPECT_NE(ingesters[0], RunsModel::defaultIngesters()[0]); // a new list every call
}

TEST_F(Runs, AFullSweepVerifiesEveryObject) {
    messagesFolder(home / "copies/a");
    auto& m = start();
    registerSources({folderSource("a", "jorin", home / "copies/a")});
    m.runs().startScan({.limit = std::nullopt, .fullSweep = true});
    ASSERT_TRUE(waitForRun());
    ASSERT_TRUE(m.report().has_value());
    EXPECT_TRUE(m.report()->attachments.fullSweep);
    EXPECT_EQ(m.report()->attachments.sampleSize, 0);
}

TEST_F(Runs, SourcesChangedDuringARunNeverReachWhatTheRunReads) {
    messagesFolder(home / "copies/a");
    messagesFolder(home / "copies/b");
    messagesFolder(home / "copies/c");
    auto& m = start();
    registerSources({folderSource("a", "jorin", home / "copies/a"), folderSource("b", "jorin", home / "copies/b")});
    m.runs().startScan(ScanRequest{});
    m.sources().removeSource("b");
    ASSERT_TRUE(m.mutableRegistry().add(folderSource("c", "sam", home / "copies/c")));
    ASSERT_EQ(m.saveRegistry("add c"), std::nullopt);
    ASSERT_TRUE(waitForRun());

    std::vector<std::string> read;
    for (const auto& o : m.report()->sources) read.push_back(o.sourceId);
    EXPECT_EQ(read, (std::vector<std::string>{"a", "b"}));
    // The model's list keeps the changes, and only sources still listed take results.
    ASSERT_EQ(m.registry().sources().size(), 2u);
    EXPECT_EQ(m.registry().find("b"), nullptr);
    ASSERT_NE(m.registry().find("c"), nullptr);
    EXPECT_FALSE(m.registry().find("c")->lastScanned.has_value());
    const auto saved = SourceRegistry::loadOrReport(configDir() / "sources.json");
    ASSERT_EQ(saved.registry.sources().size(), 2u);
    EXPECT_EQ(saved.registry.sources()[1].id, "c");
    EXPECT_FALSE(sfs::exists(defaultRoot() / "sam"));
}

TEST_F(Runs, AFailedRunIsVisibleAndNeverShowsTheOldSuccessAsHealthy) {
    messagesFolder(home / "copies/a");
    auto& m = start();
    registerSources({folderSource("a", "jorin", home / "copies/a")});
    m.runs().startScan(ScanRequest{});
    ASSERT_TRUE(waitForRun());
    ASSERT_TRUE(m.report()->succeeded());
    EXPECT_FALSE(m.alerts().isReportStale());
    const auto household = m.householdModel().household();

    // The owner's archive folder is replaced by a file: the store cannot be written.
    sfs::remove_all(defaultRoot() / "jorin");
    writeAll(defaultRoot() / "jorin", "not a folder");
    center->added.clear();
    m.runs().startScan(ScanRequest{});
    ASSERT_TRUE(waitForRun());

    EXPECT_FALSE(m.lastError().isEmpty());
    ASSERT_TRUE(m.report().has_value());
    EXPECT_FALSE(m.report()->succeeded());
    EXPECT_EQ(m.report(), TreskEngine::readStatus((defaultRoot() / "STATUS.json").string()));
    EXPECT_TRUE(m.alerts().isReportStale());
    EXPECT_TRUE(hasAlert(m.alerts().activeAlerts(), HealthAlert::Kind::runFailed));
    EXPECT_EQ(m.householdModel().household(), household); // a failed run is not recorded
    ASSERT_TRUE(QTest::qWaitFor([&] { return !center->added.empty(); }, 10000));
    EXPECT_EQ(center->added[0].identifier, "kx.alert.runFailed");
}

TEST_F(Runs, ARunThatCouldNotStartIsAFailureEvenWithoutAStatusFile) {
    writeAll(home / "blocker", "a file where the archive root's parent should be");
    defaults->setString(DefaultsKey::destinationRoot, QString::fromStdString((home / "blocker/Tresk").string()));
    auto& m = start();
    m.runs().startScan(ScanRequest{});
    ASSERT_TRUE(waitForRun());
    ASSERT_FALSE(m.lastError().isEmpty());
    ASSERT_TRUE(m.report().has_value());
    EXPECT_FALSE(m.report()->succeeded());
    EXPECT_EQ(QString::fromStdString(m.report()->failure.value_or("")), m.lastError());
    EXPECT_TRUE(m.alerts().isReportStale());
    EXPECT_TRUE(hasAlert(m.alerts().activeAlerts(), HealthAlert::Kind::runFailed));
}

TEST_F(Runs, ARunThatCouldNotStartShowsNoneOfTheEarlierRunsCounts) {
    messagesFolder(home / "copies/a");
    auto& m = start();
    registerSources({folderSource("a", "jorin", home / "copies/a")});
    m.runs().startScan(ScanRequest{});
    ASSERT_TRUE(waitForRun());
    ASSERT_TRUE(m.report()->succeeded());
    const CoverageReport earlier = *m.report();
    ASSERT_GT(earlier.newMessages, 0);
    ASSERT_GT(earlier.uniqueMessages, 0);

    // Another run holds the archive: this one cannot start and writes no status.
    const std::string lock = ArchiveLayout(defaultRoot().string()).runLock();
    const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    m.runs().startScan(ScanRequest{});
    ASSERT_TRUE(waitForRun());
    ::close(fd);

    ASSERT_TRUE(m.report().has_value());
    const CoverageReport& now = *m.report();
    EXPECT_FALSE(now.succeeded());
    EXPECT_EQ(now.uniqueMessages, earlier.uniqueMessages); // what the archive holds
    EXPECT_EQ(now.newMessages, 0);
    EXPECT_EQ(now.attachments, AttachmentVerification{});
    EXPECT_TRUE(now.sources.empty());
    EXPECT_EQ(now.errors, std::vector<std::string>{m.lastError().toStdString()});
    for (const auto& owner : now.owners) EXPECT_EQ(owner.newMessages, 0) << owner.owner;
}

TEST_F(Runs, TheRunIsRecordedUnderTheOwnerItStartedWith) {
    messagesFolder(home / "copies/a");
    defaults->setString(DefaultsKey::archiveOwner, "jorin");
    auto& m = start();
    registerSources({folderSource("a", "jorin", home / "copies/a")});
    m.runs().startScan(ScanRequest{});
    m.owners().setArchiveOwner("sam");
    ASSERT_TRUE(waitForRun());
    EXPECT_NE(m.householdModel().household().member("jorin"), nullptr);
    EXPECT_EQ(m.householdModel().household().member("sam"), nullptr);
}

TEST_F(Runs, ADamagedHouseholdFileIsNotWrittenButTheRunIsRecordedInMemory) {
    messagesFolder(home / "copies/a");
    writeAll(configDir() / "household.json", "{damaged");
    auto& m = start();
    registerSources({folderSource("a", "jorin", home / "copies/a")});
    m.runs().startScan(ScanRequest{});
    ASSERT_TRUE(waitForRun());
    EXPECT_NE(m.householdModel().household().member("jorin"), nullptr);
    EXPECT_EQ(readAll(configDir() / "household.json"), "{damaged");
}

TEST_F(Runs, AHouseholdWithoutAHostGetsThisOwnerAsHost) {
    messagesFolder(home / "copies/a");
    Household h;
    h.recordRun("sam", "OTHER", "Sam's", std::chrono::system_clock::now(), 1);
    h.recordRun("jorin", "OTHER-2", "Old", std::chrono::system_clock::now(), 1);
    ASSERT_EQ(h.host(), nullptr);
    HouseholdStore::save(h, configDir().string(), false);
    auto& m = start();
    registerSources({folderSource("a", "jorin", home / "copies/a")});
    m.runs().startScan(ScanRequest{});
    ASSERT_TRUE(waitForRun());
    ASSERT_NE(m.householdModel().household().host(), nullptr);
    EXPECT_EQ(m.householdModel().household().host()->owner, "jorin");
    EXPECT_EQ(m.householdModel().household().member("sam")->role, Household::Role::member);
    EXPECT_EQ(m.householdModel().household().member("jorin")->macs.size(), 2u);
}

TEST_F(Runs, NothingIsRecordedWithoutAnOwner) {
    auto& m = start();
    const auto before = m.householdModel().household();
    CoverageReport r;
    m.householdModel().recordRun(r, QString());
    EXPECT_EQ(m.householdModel().household(), before);
    EXPECT_FALSE(sfs::exists(configDir() / "household.json"));
}

TEST_F(Runs, AScanIsRefusedWhileTheSourceListCouldNotBeRead) {
    messagesFolder(home / "copies/old-mac");
    start();
    registerSources({folderSource("old-mac", "jorin", home / "copies/old-mac")});
    model->runs().startScan(ScanRequest{});
    ASSERT_TRUE(waitForRun());
    ASSERT_TRUE(model->report() && model->report()->succeeded());
    const auto status = readAll(defaultRoot() / "STATUS.json");
    model.reset();

    writeAll(configDir() / "sources.json", "[{\"id\": \"old-mac\", \"owner\": ");
    auto& m = start();
    ASSERT_FALSE(m.registryLoadProblem().isNull());
    m.setLastError("an earlier problem");
    QSignalSpy running(&m.runs(), &RunsModel::isRunningChanged);
    m.runs().startScan(ScanRequest{});
    EXPECT_FALSE(m.runs().isRunning());
    EXPECT_EQ(m.lastError(), m.registryLoadSentence());
    EXPECT_TRUE(m.lastError().startsWith("Your source list at "));
    ASSERT_TRUE(waitForRun());
    EXPECT_EQ(running.count(), 0);
    EXPECT_EQ(readAll(defaultRoot() / "STATUS.json"), status);
    EXPECT_EQ(readAll(configDir() / "sources.json"), "[{\"id\": \"old-mac\", \"owner\": ");
}

TEST_F(Runs, ARunWhoseResultNeverReachedTheWindowIsRecordedAtTheNextStart) {
    messagesFolder(home / "copies/old-mac", 60);
    auto& m = start();
    registerSources({folderSource("old-mac", "jorin", home / "copies/old-mac")});
    // The application quits while the run goes on: the model goes away, so the
    // run's result is never handed back to it, but the engine finishes and
    // leaves its report in the archive root.
    m.runs().startScan(ScanRequest{});
    model.reset();
    ASSERT_TRUE(QTest::qWaitFor([&] { return QThreadPool::globalInstance()->waitForDone(0); }, 120000));
    const auto status = TreskEngine::readStatus((defaultRoot() / "STATUS.json").string());
    ASSERT_TRUE(status && status->succeeded());
    ASSERT_EQ(status->sources.size(), 1u);

    // The next start records it, in the list on screen and in its file.
    auto& again = start();
    const Source* source = again.registry().find("old-mac");
    ASSERT_NE(source, nullptr);
    ASSERT_TRUE(source->lastScanned.has_value());
    EXPECT_EQ(*source->lastScanned, status->sources[0].scannedAt);
    EXPECT_NE(again.registry().status(*source), SourceStatus::neverScanned);
    const auto onDisk = SourceRegistry::loadOrReport(configDir() / "sources.json");
    ASSERT_NE(onDisk.registry.find("old-mac"), nullptr);
    EXPECT_TRUE(onDisk.registry.find("old-mac")->lastScanned.has_value());

    // An older report never takes a newer scan back.
    Source newer = *source;
    newer.lastScanned = status->sources[0].scannedAt + std::chrono::hours(1);
    again.mutableRegistry().update(newer);
    ASSERT_EQ(again.saveRegistry("update"), std::nullopt);
    model.reset();
    auto& third = start();
    EXPECT_EQ(third.registry().find("old-mac")->lastScanned, newer.lastScanned);
}

// The application process is killed with SIGKILL once its run has ended and
// before the window heard of it: the run is recorded at the next start all the
// same. The killed process is this test program again, told so by the
// environment.
TEST_F(Runs, AnApplicationKilledBeforeItHeardOfItsRunsEndHasTheRunRecordedAtTheNextStart) {
    if (const char* inner = std::getenv("KX_KILLED_RUN_HOME")) {
        setenv("HOME", inner, 1);
        setenv("XDG_DATA_HOME", (sfs::path(inner) / ".local/share").c_str(), 1);
        system->home = inner;
        system->appSupport = (sfs::path(inner) / ".local/share").string();
        AppModel m;
        m.runs().startScan(ScanRequest{});
        // The engine finishes on the pool; its result is never handed back, as
        // no event is processed here.
        QThreadPool::globalInstance()->waitForDone();
        const char ended[] = "KX-RUN-ENDED\n";
        ASSERT_EQ(::write(STDOUT_FILENO, ended, sizeof ended - 1), static_cast<ssize_t>(sizeof ended - 1));
        for (;;) ::pause();
    }
    messagesFolder(home / "copies/old-mac", 60);
    start();
    registerSources({folderSource("old-mac", "jorin", home / "copies/old-mac")});
    model.reset();

    QProcess app;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KX_KILLED_RUN_HOME", QString::fromStdString(home.path().string()));
    app.setProcessEnvironment(env);
    app.start(QString::fromStdString(sfs::read_symlink("/proc/self/exe").string()),
              {"--gtest_filter=Runs.AnApplicationKilledBeforeItHeardOfItsRunsEndHasTheRunRecordedAtTheNextStart"});
    ASSERT_TRUE(app.waitForStarted());
    QByteArray out;
    while (!out.contains("KX-RUN-ENDED") && app.state() == QProcess::Running)
        if (app.waitForReadyRead(120000)) out += app.readAllStandardOutput();
    ASSERT_TRUE(out.contains("KX-RUN-ENDED")) << out.toStdString();
    ASSERT_EQ(::kill(static_cast<pid_t>(app.processId()), SIGKILL), 0);
    ASSERT_TRUE(app.waitForFinished(30000));
    EXPECT_EQ(app.exitStatus(), QProcess::CrashExit);
    ASSERT_EQ(SourceRegistry::loadOrReport(configDir() / "sources.json").registry.find("old-mac")->lastScanned,
              std::nullopt)
        << "the killed application recorded nothing itself";

    auto& again = start();
    const auto status = TreskEngine::readStatus((defaultRoot() / "STATUS.json").string());
    ASSERT_TRUE(status && status->succeeded());
    ASSERT_NE(again.registry().find("old-mac"), nullptr);
    EXPECT_EQ(again.registry().find("old-mac")->lastScanned, std::optional<Date>(status->sources.at(0).scannedAt));
}
