// The first-run flow's model against a started application model on a private
// home with a generated live Messages database: when it shows, how it moves,
// the live facts, the archive name, the first archive's outcome (from the run
// it started, whatever the banner does), and the daily schedule through the
// real systemd scheduler with a fake systemctl.
#include "core/health/schedule_installer.h"
#include "setup/model/onboarding_model.h"
#include "tests/app/model/model_test_support.h"
#include "tests/support/fake_systemctl.h"
#include "tests/support/model_test_access.h"
#include "tests/support/schedule_seams.h"
#include "tests/support/workspace_double.h"

#include <QPointer>
#include <QSignalSpy>

#include <sys/stat.h>

namespace {

namespace stdfs = std::filesystem;
using namespace kx::test;
using Step = OnboardingModel::Step;
using Scan = OnboardingModel::ScanOutcome;
using Verdict = kx::FullDiskAccessProbe::Verdict;

class Onboarding : public ModelTest {
protected:
    void SetUp() override {
        ModelTest::SetUp();
        opened = std::make_shared<RecordingWorkspace>();
        setWorkspaceForTesting(opened);
        installApplicationWithEngine(home / "app");
    }
    void TearDown() override {
        ModelTest::TearDown();
        kx::ScheduleInstaller::setSeamsForTesting({});
        setWorkspaceForTesting(nullptr);
    }

    stdfs::path messagesDir() const { return home / "Library/Messages"; }
    OnboardingModel& startFlow() {
        start();
        return flow();
    }
    // The flow over the current model, made as the application makes it.
    OnboardingModel& flow() {
        if (!flow_) flow_ = new OnboardingModel(*model, model.get());
        return *flow_;
    }
    bool waitForScanEnd(OnboardingModel& o) {
        return QTest::qWaitFor([&] { return o.scan().kind != Scan::Kind::running; }, 120000);
    }
    void addSource() {
        model->mutableRegistry().add(folderSource("s1", "me", home / "elsewhere"));
        emit model->registryChanged();
    }

    std::shared_ptr<RecordingWorkspace> opened;
    QPointer<OnboardingModel> flow_;
};

TEST_F(Onboarding, AFirstLaunchShowsTheFlowUntilAFlagOrASourceSaysOtherwiseAndReopeningStartsAfresh) {
    OnboardingModel& o = startFlow();
    EXPECT_TRUE(o.shouldShow());
    EXPECT_FALSE(o.scheduleInstalled());
    defaults->setFlag(DefaultsKey::onboardingSkipped, true);
    EXPECT_FALSE(o.shouldShow());
    defaults->setFlag(DefaultsKey::onboardingSkipped, false);
    QSignalSpy changed(&o, &OnboardingModel::shouldShowChanged);
    addSource();
    EXPECT_GE(changed.count(), 1);
    EXPECT_FALSE(o.shouldShow());

    // Reopened after completion, with a source: shown again at the welcome step
    // with nothing of the earlier flow kept; the stored flags stay.
    o.setCompletedFlag(true);
    o.setStep(Step::firstScan);
    o.setArchiveChoice(kx::Onboarding::ArchiveChoice::join);
    o.setJoinCompleted(true);
    o.setIsFinished(true);
    o.reopen();
    EXPECT_TRUE(o.shouldShow());
    EXPECT_EQ(o.step(), Step::welcome);
    EXPECT_FALSE(o.archiveChoice());
    EXPECT_FALSE(o.joinCompleted());
    EXPECT_EQ(o.scan(), Scan::notRun());
    EXPECT_TRUE(defaults->flag(DefaultsKey::onboardingCompleted));
    o.setIsFinished(true);
    EXPECT_FALSE(o.shouldShow()) << "finished wins over reopened";
}

TEST_F(Onboarding, TheLiveFactsAreReadOffTheGuiThreadAndCountedInWords) {
    messagesFolder(messagesDir(), 30);
    writeAll(messagesDir() / "Attachments/ab/01/photo.jpg", std::string(5000, 'x'));
    OnboardingModel& o = startFlow();
    EXPECT_EQ(o.retention().kind, kx::RetentionPolicy::Setting::Kind::unreadable) << "not read yet";
    EXPECT_EQ(o.retention().reason, "not read yet");

    o.refreshLiveState();
    EXPECT_TRUE(o.isReadingLiveState()) << "the measurement runs in the background";
    ASSERT_TRUE(drainModelTasks(*model));
    EXPECT_FALSE(o.isReadingLiveState());
    EXPECT_EQ(o.liveMessages(), 30);
    EXPECT_GE(o.liveAttachmentBytes(), 5000);
    EXPECT_EQ(o.liveMessagesSummary(), "30 messages in Messages on this Mac right now");
    EXPECT_FALSE(o.retentionDeletesMessages());

    // A database that cannot be opened reads as 0, and 0 is plural.
    writeAll(messagesDir() / "chat.db", "not a database at all, and too short to be one");
    o.refreshLiveState();
    ASSERT_TRUE(drainModelTasks(*model));
    EXPECT_EQ(o.liveMessages(), 0);
    EXPECT_EQ(o.liveMessagesSummary(), "0 messages in Messages on this Mac right now");
}

TEST_F(Onboarding, AllowAccessReadsOnlyTheFirstPageThenOpensThePlaceAndChecksAgain) {
    // A "database" that never ends: reading it whole would never come back.
    stdfs::create_directories(messagesDir());
    stdfs::create_symlink("/dev/zero", messagesDir() / "chat.db");
    OnboardingModel& o = startFlow();
    o.requestMessagesAccess();
    ASSERT_TRUE(drainModelTasks(*model, 20000)) << "the read attempt never came back";
    ASSERT_FALSE(opened->calls.isEmpty());
    EXPECT_EQ(opened->calls.front(), "folder " + QString::fromStdString(messagesDir().string()));
}

TEST_F(Onboarding, AdvancingFollowsTheGatesAndGoingBackRefreshesNothing) {
    messagesFolder(messagesDir(), 10);
    OnboardingModel& o = startFlow();
    o.advance();
    EXPECT_EQ(o.step(), Step::fullDiskAccess);
    ASSERT_TRUE(drainModelTasks(*model));

    // Blocked: nothing moves.
    ModelTestAccess::setFdaVerdict(model->permissions(), Verdict::appBlocked("no"));
    QSignalSpy anyChange(&o, &OnboardingModel::stateChanged);
    o.advance();
    EXPECT_EQ(o.step(), Step::fullDiskAccess);
    EXPECT_EQ(anyChange.count(), 0);

    ModelTestAccess::setFdaVerdict(model->permissions(), Verdict::allGranted("fine"));
    o.advance();
    EXPECT_EQ(o.step(), Step::archiveChoice);
    o.advance();
    EXPECT_EQ(o.step(), Step::archiveChoice) << "no choice yet";
    o.setArchiveChoice(kx::Onboarding::ArchiveChoice::startNew);
    o.advance();
    EXPECT_EQ(o.step(), Step::firstScan);

    // The last step's warning (nothing archived) still lets the flow finish;
    // going back first re-reads nothing.
    o.goBack();
    EXPECT_EQ(o.step(), Step::archiveChoice);
    EXPECT_FALSE(o.isReadingLiveState());
    o.advance();
    o.advance();
    EXPECT_TRUE(o.isFinished());
    EXPECT_TRUE(o.completedFlag());
    EXPECT_FALSE(o.explicitlyOpened());
    EXPECT_FALSE(o.shouldShow());
}

TEST_F(Onboarding, ArchiveNamesThatCannotNameTheirOwnFolderAreRefusedWithASentence) {
    stdfs::create_directories(defaultRoot() / "a_b");
    writeAll(defaultRoot() / "a_b/tresk.db", "");
    OnboardingModel& o = startFlow();
    const QString before = model->owners().archiveOwner();
    for (const QString& bad : {QString(""), QString("   "), QString("."), QString(".."), QString(".hidden"),
                               QString("a\x01"
                                       "b"),
                               QString::fromUtf8("a\0b", 3), QString("a/b")}) {
        o.setArchiveName(bad);
        EXPECT_FALSE(o.lastError().isEmpty()) << bad.toStdString();
        EXPECT_EQ(model->owners().archiveOwner(), before) << bad.toStdString();
    }
    o.setArchiveName(" ");
    EXPECT_EQ(o.lastError(), "An archive name cannot be blank.");

    o.setArchiveName("  Jorin   Vale ");
    EXPECT_TRUE(o.lastError().isNull());
    EXPECT_EQ(model->owners().archiveOwner(), "Jorin Vale");
    EXPECT_EQ(o.state().resolvedOwner, "Jorin Vale");
    EXPECT_TRUE(o.wouldStartSeparateArchive()) << "a_b is someone else's";

    // The same folder on both sides is the same archive.
    model->owners().setArchiveOwner("a_b");
    EXPECT_FALSE(o.wouldStartSeparateArchive());
}

TEST_F(Onboarding, TheWholeFlowEndsArchivedWithTheDailyScheduleInstalled) {
    FakeSystemctl systemctl;
    messagesFolder(messagesDir(), 30);
    OnboardingModel& o = startFlow();
    o.advance();
    ModelTestAccess::setFdaVerdict(model->permissions(), Verdict::allGranted("fine"));
    ASSERT_TRUE(drainModelTasks(*model));
    ModelTestAccess::setFdaVerdict(model->permissions(), Verdict::allGranted("fine"));
    o.advance();
    o.setArchiveChoice(kx::Onboarding::ArchiveChoice::startNew);
    o.advance();
    ASSERT_EQ(o.step(), Step::firstScan);

    o.connectThisMac();
    EXPECT_EQ(o.scan(), Scan::running());
    EXPECT_TRUE(kx::Onboarding::gate(o.state()).isBlocked());
    o.connectThisMac(); // a second press while it runs changes nothing
    ASSERT_TRUE(waitForScanEnd(o));
    EXPECT_EQ(o.scan(), Scan::archived(30));
    EXPECT_TRUE(model->sources().hasThisMacSource());

    // The schedule: a failed registration springs back off with its sentence.
    systemctl.failOn("enable", 4);
    o.installSchedule();
    EXPECT_FALSE(o.scheduleInstalled());
    EXPECT_TRUE(o.lastError().startsWith("The daily schedule did not install: ")) << o.lastError().toStdString();
    stdfs::remove(systemctl.dir / "fail-enable");
    // Reported success, nothing on disk.
    systemctl.runOn("enable", "rm -f '" + kx::ScheduleInstaller::plistURL() + "'\n");
    o.installSchedule();
    EXPECT_FALSE(o.scheduleInstalled());
    EXPECT_EQ(o.lastError(),
              "The daily schedule reported success but is not on disk at " + OnboardingModel::launchAgentPath() + ".");
    stdfs::remove(systemctl.dir / "do-enable");
    o.installSchedule();
    EXPECT_TRUE(o.scheduleInstalled());
    EXPECT_TRUE(o.lastError().isNull());
    EXPECT_NE(systemctl.calls().find("enable --now"), std::string::npos);

    o.advance();
    EXPECT_TRUE(o.isFinished());
    EXPECT_TRUE(o.completedFlag());

    o.removeSchedule();
    EXPECT_FALSE(o.scheduleInstalled());
}

TEST_F(Onboarding, TheOutcomeIsTheStartedRunsOwnWhateverTheBannerDoes) {
    messagesFolder(messagesDir(), 20);
    OnboardingModel& o = startFlow();

    // A failed run whose banner is dismissed the moment it appears still reads
    // as failed. (The archive root lies under a file, so the run cannot make it.)
    writeAll(home / "blocker", "a file");
    model->setDestinationRoot(QString::fromStdString((home / "blocker/root").string()));
    QMetaObject::Connection dismiss = QObject::connect(model.get(), &AppModel::lastErrorChanged, [this] {
        if (!model->lastError().isEmpty()) model->setLastError(QString());
    });
    o.connectThisMac();
    ASSERT_TRUE(waitForScanEnd(o));
    QObject::disconnect(dismiss);
    EXPECT_EQ(o.scan().kind, Scan::Kind::failed) << o.scan().text;
    EXPECT_FALSE(o.scan().text.empty());

    // A good run with an unrelated error shown meanwhile reads as archived.
    model->setDestinationRoot(QString::fromStdString(defaultRoot().string()));
    o.connectThisMac();
    ASSERT_EQ(o.scan(), Scan::running());
    model->setLastError("Something else went wrong elsewhere.");
    ASSERT_TRUE(waitForScanEnd(o));
    EXPECT_EQ(o.scan(), Scan::archived(20));
}

TEST_F(Onboarding, NothingConnectedFailsAtOnceWithTheReason) {
    OnboardingModel& o = startFlow(); // no Messages database at all
    o.connectThisMac();
    EXPECT_EQ(o.scan().kind, Scan::Kind::failed);
    EXPECT_NE(o.scan().text.find("No Messages database found"), std::string::npos) << o.scan().text;
    EXPECT_FALSE(model->runs().isRunning());
}

TEST_F(Onboarding, AReopenedFlowIsNeverWrittenToByTheEarlierFlowsRun) {
    messagesFolder(messagesDir(), 20);
    OnboardingModel& o = startFlow();
    o.connectThisMac();
    ASSERT_EQ(o.scan(), Scan::running());
    o.reopen();
    EXPECT_EQ(o.scan(), Scan::notRun());
    ASSERT_TRUE(drainModelTasks(*model));
    QCoreApplication::processEvents();
    EXPECT_EQ(o.scan(), Scan::notRun()) << "the earlier run's outcome stays out of the new flow";
}

TEST_F(Onboarding, ARunStillGoingAfterTheFollowLimitSaysSoAndAPressFollowsItAgain) {
    messagesFolder(messagesDir(), 5);
    OnboardingModel& o = startFlow();
    addSource();
    model->mutableRegistry().add(folderSource("local-messages", "jorin", messagesDir()));
    // A run that does not end while the test looks, followed for 50 ms instead of an hour.
    ModelTestAccess::setIsRunning(model->runs(), true);
    o.setFollowLimit(std::chrono::milliseconds(50));
    o.connectThisMac();
    ASSERT_EQ(o.scan(), Scan::running()) << "follows the run already going";
    ASSERT_TRUE(QTest::qWaitFor([&] { return o.scan().kind == Scan::Kind::failed; }, 60000));
    EXPECT_EQ(o.scan().text,
              "The first archive is still running after an hour. Leave it, and check the Health screen later.");
    EXPECT_TRUE(model->runs().isRunning());
    o.connectThisMac();
    EXPECT_EQ(o.scan(), Scan::running());
    ModelTestAccess::setIsRunning(model->runs(), false);
}

} // namespace
