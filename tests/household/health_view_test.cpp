// The health screen and its scheduled-access panel, driven through their
// widgets against a started application model: every verdict of the access
// check, a report of each kind (none, a spot check, a full sweep, stale, a
// failed run, every gap kind with errors), alerts with notifications off, and
// the access probe the screen starts. With KX_SNAPSHOT_DIR set, each state is
// also saved there as a PNG.
#include "app/model/runs_model.h"
#include "app/platform/workspace.h"
#include "app/shell/route_screens.h"
#include "app/ui/text_widgets.h"
#include "app/ui/widgets.h"
#include "core/health/schedule_installer.h"
#include "household/health_view.h"
#include "household/scheduled_access_panel.h"
#include "reading/manifest_panel.h"
#include "reading/sealed_exports_panel.h"
#include "tests/app/model/model_test_support.h"
#include "tests/support/model_test_access.h"
#include "tests/support/schedule_seams.h"
#include "tests/support/snapshots.h"
#include "tests/support/workspace_double.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <sys/stat.h>

namespace {

namespace stdfs = std::filesystem;
using namespace kx;
using namespace kx::test;
using namespace std::chrono;
using Verdict = FullDiskAccessProbe::Verdict;
using Auth = HealthNotifier::Authorization;

const Date kNow = fromUnixSeconds(1'800'000'000);

bool shown(QWidget& in, const QString& name) {
    QCoreApplication::processEvents(); // widgets added to a shown screen appear on the next turn
    auto* w = in.findChild<QWidget*>(name);
    return w && w->isVisibleTo(&in);
}

// The text of a plain label or a symbol line, by object name; "<none>" when absent.
QString textOf(QWidget& in, const QString& name) {
    QWidget* w = in.findChild<QWidget*>(name);
    if (!w) return QStringLiteral("<none>");
    if (auto* s = qobject_cast<SymbolTextLabel*>(w)) return s->text();
    if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
    return QStringLiteral("<other>");
}

QString symbolOf(QWidget& in, const QString& name) {
    QWidget* w = in.findChild<QWidget*>(name);
    return w ? w->property("symbol").toString() : QString();
}

CoverageReport successAt(Date runDate) {
    CoverageReport r;
    r.runDate = runDate;
    r.finishedAt = runDate + seconds(40);
    r.lastSuccessAt = runDate;
    r.uniqueMessages = 1204;
    r.newMessages = 1;
    r.duplicatesCollapsed = 17;
    r.corroborated = 312;
    return r;
}

class HealthScreen : public ModelTest {
protected:
    void SetUp() override {
        ModelTest::SetUp();
        opened = std::make_shared<RecordingWorkspace>();
        setWorkspaceForTesting(opened);
    }
    void TearDown() override {
        ScheduleInstaller::setSeamsForTesting({});
        setWorkspaceForTesting(nullptr);
        ModelTest::TearDown();
    }
    // A started model whose access verdict is settled, so showing the screen
    // starts no probe unless a test wants one.
    // The reports these tests show are of runs into the default archive root,
    // which those runs made.
    AppModel& startSettled() {
        std::filesystem::create_directories(defaultRoot());
        AppModel& m = start(clock);
        ModelTestAccess::setFdaVerdict(m.permissions(), Verdict::allGranted("Kelvara reads 40 messages."));
        return m;
    }
    std::unique_ptr<HealthView> show(AppModel& m) {
        auto view = std::make_unique<HealthView>(m, makeEvidencePanels(m));
        view->resize(760, 1000);
        view->show();
        QCoreApplication::processEvents();
        return view;
    }
    // An engine tool that answers the scheduled-context probe after `delay`.
    void slowEngine(const char* delay) { installApplicationWithEngine(home / "app", std::string("sleep ") + delay); }

    std::shared_ptr<FixedClock> clock = std::make_shared<FixedClock>(kNow);
    std::shared_ptr<RecordingWorkspace> opened;
};

// ---- the scheduled-access panel ------------------------------------------------

TEST_F(HealthScreen, ThePanelDrawsEveryVerdictByItsTable) {
    AppModel& m = startSettled();
    ScheduledAccessPanel panel(m);
    panel.resize(640, panel.sizeHint().height());
    panel.show();
    struct Case {
        Verdict verdict;
        const char* symbol;
        bool semibold, detail, advice, openAccess;
        const char* png;
    };
    const Case cases[] = {
        {Verdict::allGranted("Kelvara reads 40 messages."), "checkmark.seal.fill", false, false, false, false,
         "all-granted"},
        {Verdict::scheduledBlocked("The scheduled job cannot read /home/j/Library/Messages/chat.db."),
         "exclamationmark.octagon.fill", true, true, true, true, "scheduled-blocked"},
        {Verdict::appBlocked("Kelvara itself cannot open the Messages database."), "lock.slash.fill", true, true, true,
         true, "app-blocked"},
        {Verdict::notRunYet(), "questionmark.circle", true, false, true, true, "not-checked"},
        {Verdict::noDatabase(), "minus.circle", false, false, false, false, "no-database"},
        // A verdict this version does not know: neutral, claims nothing, offers the fix.
        {Verdict{static_cast<Verdict::Case>(7), "?"}, "minus.circle", true, false, false, true, "unknown"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.png);
        ModelTestAccess::setFdaVerdict(m.permissions(), c.verdict);
        EXPECT_EQ(panel.symbol()->property("symbol").toString(), c.symbol);
        EXPECT_EQ(panel.headline()->text(), QString::fromStdString(c.verdict.headline()));
        EXPECT_EQ(panel.headline()->font().weight() == QFont::DemiBold, c.semibold);
        EXPECT_EQ(panel.detail()->isVisibleTo(&panel), c.detail);
        if (c.detail) {
            EXPECT_EQ(panel.detail()->text(), QString::fromStdString(c.verdict.text));
        }
        EXPECT_EQ(panel.advice()->isVisibleTo(&panel), c.advice);
        EXPECT_EQ(panel.grantPathRows()->isVisibleTo(&panel), c.advice);
        EXPECT_EQ(panel.openAccessButton()->isVisibleTo(&panel), c.openAccess);
        EXPECT_TRUE(panel.checkButton()->isEnabled());
        EXPECT_EQ(panel.accessibleName(), "Scheduled archiving: " + QString::fromStdString(c.verdict.headline()));
        panel.resize(640, panel.heightForWidth(640) > 0 ? panel.heightForWidth(640) : panel.sizeHint().height());
        snapshot(panel, QStringLiteral("health-access-") + c.png);
    }
    ModelTestAccess::setFdaVerdict(m.permissions(), Verdict::scheduledBlocked("x"));
    EXPECT_TRUE(panel.advice()->text().startsWith("Open System Settings, Privacy and Security, Full Disk Access"));
    EXPECT_TRUE(panel.advice()->text().contains("\n\n  /Applications/Kelvara.app\n"
                                                "  /Applications/Kelvara.app/Contents/Frameworks/kxctl\n\n"));
    ModelTestAccess::setFdaVerdict(m.permissions(), Verdict::notChecked("the engine tool was not found."));
    EXPECT_EQ(panel.advice()->text(), "Open the app's Health panel and run the check again.");
}

TEST_F(HealthScreen, EachGrantPathIsCopiedExactlyAndOpenAccessShowsTheMessagesFolder) {
    AppModel& m = startSettled();
    ModelTestAccess::setFdaVerdict(m.permissions(), Verdict::appBlocked("blocked"));
    ScheduledAccessPanel panel(m);
    panel.resize(640, 400);
    panel.show();
    const std::vector<QString> paths = PermissionsModel::grantPaths();
    ASSERT_EQ(paths.size(), 2u);
    const auto buttons = panel.grantPathRows()->findChildren<QToolButton*>(QStringLiteral("copyGrantPath"));
    ASSERT_EQ(buttons.size(), 2);
    for (int i = 0; i < 2; ++i) {
        QApplication::clipboard()->setText(QStringLiteral("something else"));
        EXPECT_EQ(buttons[i]->accessibleName(), "Copy " + paths[static_cast<size_t>(i)]);
        QTest::mouseClick(buttons[i], Qt::LeftButton);
        const QMimeData* data = QApplication::clipboard()->mimeData();
        EXPECT_EQ(data->text(), paths[static_cast<size_t>(i)]);
        EXPECT_FALSE(data->hasHtml());
    }
    stdfs::create_directories(home / "Library/Messages");
    QTest::mouseClick(panel.openAccessButton(), Qt::LeftButton);
    EXPECT_EQ(opened->calls, QStringList{"folder " + messagesPlace()});
}

TEST_F(HealthScreen, CheckNowRunsOneCheckAndShowsItWhileItRuns) {
    slowEngine("1");
    AppModel& m = startSettled();
    ScheduledAccessPanel panel(m);
    panel.resize(640, 300);
    panel.show();
    QTest::mouseClick(panel.checkButton(), Qt::LeftButton);
    ASSERT_TRUE(m.permissions().isProbingFDA());
    EXPECT_EQ(panel.checkButton()->text(), "Checking…");
    EXPECT_FALSE(panel.checkButton()->isEnabled());
    EXPECT_TRUE(shown(panel, "checkingIndicator"));
    snapshot(panel, "health-access-checking");
    QTest::mouseClick(panel.checkButton(), Qt::LeftButton); // disabled: nothing more starts
    ASSERT_TRUE(drainModelTasks(m));
    EXPECT_FALSE(m.permissions().isProbingFDA());
    EXPECT_EQ(panel.checkButton()->text(), "Check now");
    EXPECT_TRUE(panel.checkButton()->isEnabled());
    EXPECT_FALSE(shown(panel, "checkingIndicator"));
    // No database on this machine: the check says so.
    EXPECT_EQ(m.permissions().fdaVerdict(), Verdict::noDatabase());
}

// ---- the health screen ---------------------------------------------------------

TEST_F(HealthScreen, WithoutAReportOnlyTheHeaderTheAccessPanelAndNoRunYetShow) {
    AppModel& m = startSettled();
    m.setReport(std::nullopt);
    auto view = show(m);
    EXPECT_TRUE(shown(*view, "noRunYet"));
    EXPECT_TRUE(view->scheduledAccessPanel()->isVisibleTo(view.get()));
    for (const char* name : {"lastRunBox", "attachmentsBox", "evidencePanels", "gapsBox", "errorsBox"})
        EXPECT_FALSE(shown(*view, name)) << name;
    EXPECT_FALSE(view->findChild<ManifestPanel*>()->isVisibleTo(view.get()));
    EXPECT_FALSE(view->findChild<SealedExportsPanel*>()->isVisibleTo(view.get()));
    snapshot(*view, "health-no-report");
}

TEST_F(HealthScreen, AFreshSpotCheckIsLabelledAsASampleEverywhere) {
    AppModel& m = startSettled();
    CoverageReport r = successAt(kNow - hours(3));
    r.attachments = {.verified = 49, .missingBytes = 1, .hashed = 50, .storedObjects = 812, .sampleSize = 50};
    m.setReport(r);
    auto view = show(m);
    EXPECT_EQ(textOf(*view, "runAge"), "3 hr ago");
    EXPECT_FALSE(view->findChild<QLabel*>("staleDot")->property("stale").toBool());
    EXPECT_FALSE(shown(*view, "staleMark"));
    EXPECT_EQ(textOf(*view, "uniqueMessages"), "1204 unique messages archived");
    EXPECT_EQ(textOf(*view, "newMessages"), "1 new this run");
    EXPECT_EQ(symbolOf(*view, "newMessages"), "plus.circle.fill");
    EXPECT_EQ(textOf(*view, "duplicates"), "17 duplicates collapsed · 312 corroborated across sources");
    EXPECT_EQ(textOf(*view, "verification"), "Spot-check: 50 of 812 objects hashed");
    EXPECT_EQ(textOf(*view, "verifiedCount"), "49 verified in the sample");
    EXPECT_EQ(textOf(*view, "missingCount"), "1 missing bytes in the sample");
    EXPECT_TRUE(shown(*view, "sampleCaveat"));
    QPushButton* verify = view->verifyEveryObjectButton();
    ASSERT_NE(verify, nullptr);
    EXPECT_TRUE(verify->isEnabled());
    EXPECT_EQ(verify->toolTip(),
              "Re-hashes all 812 stored objects. Slower, but the only basis for a deletion decision.");
    EXPECT_TRUE(shown(*view, "noGaps"));
    EXPECT_FALSE(shown(*view, "errorsBox"));
    EXPECT_TRUE(view->findChild<ManifestPanel*>()->isVisibleTo(view.get()));
    EXPECT_TRUE(view->findChild<SealedExportsPanel*>()->isVisibleTo(view.get()));
    snapshot(*view, "health-spot-check");

    // Any run going on disables the full sweep.
    ModelTestAccess::setIsRunning(m.runs(), true);
    EXPECT_FALSE(view->verifyEveryObjectButton()->isEnabled());
    ModelTestAccess::setIsRunning(m.runs(), false);
    EXPECT_TRUE(view->verifyEveryObjectButton()->isEnabled());
}

TEST_F(HealthScreen, VerifyEveryObjectNowRunsTheOneFullSweep) {
    fixtures::Options o;
    o.messages = 12;
    o.attachmentEvery = 3;
    fixtures::writeMessagesFolder(home / "copies/a", o);
    AppModel& m = startSettled();
    m.mutableRegistry().add(folderSource("a", "jorin", home / "copies/a"));
    emit m.registryChanged();
    m.runs().startScan();
    ASSERT_TRUE(waitForRun());
    ASSERT_TRUE(m.report() && m.report()->succeeded());
    // A spot check of a store this small already covers it; pretend a larger store.
    CoverageReport spot = *m.report();
    spot.attachments.hashed = 1;
    spot.attachments.storedObjects = 4;
    spot.attachments.fullSweep = false;
    m.setReport(spot);
    auto view = show(m);
    ASSERT_NE(view->verifyEveryObjectButton(), nullptr);
    QTest::mouseClick(view->verifyEveryObjectButton(), Qt::LeftButton);
    EXPECT_TRUE(m.runs().isRunning());
    ASSERT_TRUE(waitForRun());
    ASSERT_TRUE(m.report()->succeeded());
    EXPECT_TRUE(m.report()->attachments.fullSweep);
    EXPECT_TRUE(textOf(*view, "verification").startsWith("Full sweep: all "))
        << textOf(*view, "verification").toStdString();
}

TEST_F(HealthScreen, AFullSweepNeedsNoCaveatAndNothingCheckedSaysSo) {
    AppModel& m = startSettled();
    CoverageReport r = successAt(kNow - minutes(5));
    r.newMessages = 0;
    r.attachments = {.verified = 812, .missingBytes = 0, .hashed = 812, .storedObjects = 812, .fullSweep = true};
    m.setReport(r);
    auto view = show(m);
    EXPECT_EQ(textOf(*view, "verification"), "Full sweep: all 812 objects hashed");
    EXPECT_EQ(symbolOf(*view, "verification"), "checkmark.seal.fill");
    EXPECT_EQ(textOf(*view, "verifiedCount"), "812 verified");
    EXPECT_FALSE(shown(*view, "missingCount"));
    EXPECT_FALSE(shown(*view, "sampleCaveat"));
    EXPECT_EQ(view->verifyEveryObjectButton(), nullptr);
    EXPECT_EQ(textOf(*view, "newMessages"), "nothing new this run");
    EXPECT_EQ(symbolOf(*view, "newMessages"), "equal.circle");
    snapshot(*view, "health-full-sweep");

    r.attachments = {.verified = 0, .missingBytes = 0, .hashed = 3, .storedObjects = 0};
    m.setReport(r);
    EXPECT_EQ(textOf(*view, "verification"), "Not checked in the last run");
    EXPECT_TRUE(shown(*view, "verificationHint"));
    EXPECT_FALSE(shown(*view, "verifiedCount"));
    EXPECT_EQ(view->verifyEveryObjectButton(), nullptr);
}

TEST_F(HealthScreen, StalenessHasItsBoundaryAt48Hours) {
    AppModel& m = startSettled();
    m.setReport(successAt(kNow - seconds(172800)));
    auto view = show(m);
    EXPECT_FALSE(view->findChild<QLabel*>("staleDot")->property("stale").toBool());
    EXPECT_FALSE(shown(*view, "staleMark"));
    clock->advance(seconds(1));
    view->hide();
    view->show(); // coming back to the screen redraws it
    EXPECT_TRUE(view->findChild<QLabel*>("staleDot")->property("stale").toBool());
    EXPECT_EQ(textOf(*view, "staleMark"), "— STALE");
    EXPECT_EQ(textOf(*view, "runAge"), "2 days ago");
    snapshot(*view, "health-stale");
}

TEST_F(HealthScreen, TheRunsAgeMovesOnWhileTheScreenStaysOpen) {
    AppModel& m = startSettled();
    m.setReport(successAt(kNow - minutes(5) - seconds(10)));
    auto view = show(m);
    EXPECT_EQ(textOf(*view, "runAge"), "5 min ago");
    // The screen asks to be redrawn when the text next changes: within a minute.
    auto* tick = view->findChild<QTimer*>(QStringLiteral("ageTick"));
    ASSERT_NE(tick, nullptr);
    ASSERT_TRUE(tick->isActive());
    EXPECT_LE(tick->remainingTime(), 60 * 1000);
    clock->advance(minutes(2));
    tick->start(0); // the minute is up
    EXPECT_TRUE(QTest::qWaitFor([&] { return textOf(*view, "runAge") == "7 min ago"; }, 2000))
        << textOf(*view, "runAge").toStdString();
    EXPECT_TRUE(tick->isActive());
}

TEST_F(HealthScreen, AFailedRunShowsItsErrorAndCountsItsAgeFromTheLastSuccess) {
    AppModel& m = startSettled();
    CoverageReport r = successAt(kNow - hours(1));
    r.status = CoverageReport::Status::failed;
    r.failure = "The archive folder could not be written: the disk is full.";
    r.lastSuccessAt = kNow - hours(50);
    m.setReport(r);
    auto view = show(m);
    EXPECT_EQ(textOf(*view, "runFailed"), "The last run failed 1 hr ago");
    EXPECT_EQ(textOf(*view, "runFailure"), "The archive folder could not be written: the disk is full.");
    EXPECT_EQ(textOf(*view, "runAge"), "Last successful run 2 days, 2 hr ago");
    EXPECT_TRUE(view->findChild<QLabel*>("staleDot")->property("stale").toBool());
    EXPECT_TRUE(shown(*view, "staleMark"));
    snapshot(*view, "health-failed-run");

    r.lastSuccessAt.reset();
    m.setReport(r);
    EXPECT_EQ(textOf(*view, "runAge"), "No run has succeeded yet");
}

TEST_F(HealthScreen, EveryGapKindAndTheErrorsAreListed) {
    AppModel& m = startSettled();
    CoverageReport r = successAt(kNow - hours(2));
    const Date start = fromUnixSeconds(1'700'000'000);
    auto gap = [&](int kind, const char* name, int64_t days, std::optional<std::string> detail) {
        CoverageGap g;
        g.kind = static_cast<CoverageGap::Kind>(kind);
        g.name = name;
        g.start = start;
        g.end = start + hours(24 * days);
        g.days = days;
        g.detail = std::move(detail);
        return g;
    };
    r.gaps = {gap(0, "jorin", 12, "No source holds these days."), gap(1, "jorin", 1, std::nullopt),
              gap(2, "Old laptop", 30, std::nullopt), gap(3, "jorin", 9, "The last message archived is 9 days old."),
              gap(9, "jorin", 2, std::nullopt)};
    r.errors = {"Source \"Old laptop\" could not be read: no such folder.", "3 attachments were refused."};
    m.setReport(r);
    auto view = show(m);
    QStringList titles;
    QStringList symbols;
    for (QWidget* row : view->findChildren<QWidget*>("gap")) {
        titles << textOf(*row, "gapTitle");
        symbols << symbolOf(*row, "gapTitle");
    }
    EXPECT_EQ(titles,
              (QStringList{"jorin — Not archived anywhere", "jorin — Likely a quiet period",
                           "Old laptop — Not yet scanned", "jorin — Nothing archived since", "jorin — Not archived"}));
    EXPECT_EQ(symbols, (QStringList{"exclamationmark.triangle.fill", "moon.zzz", "questionmark.circle.fill",
                                    "clock.badge.exclamationmark", "minus.circle"}));
    const auto rows = view->findChildren<QWidget*>("gap");
    EXPECT_EQ(textOf(*rows[0], "gapDays"), "· 12 days");
    EXPECT_EQ(textOf(*rows[1], "gapDays"), "· 1 day");
    EXPECT_TRUE(textOf(*rows[0], "gapDates").contains(" → "));
    EXPECT_EQ(textOf(*rows[0], "gapDetail"), "No source holds these days.");
    EXPECT_EQ(rows[1]->findChild<QLabel*>("gapDetail"), nullptr);
    EXPECT_FALSE(shown(*view, "noGaps"));
    ASSERT_TRUE(shown(*view, "errorsBox"));
    QStringList errors;
    for (QLabel* l : view->findChildren<QLabel*>("error")) errors << l->text();
    EXPECT_EQ(errors,
              (QStringList{"Source \"Old laptop\" could not be read: no such folder.", "3 attachments were refused."}));
    snapshot(*view, "health-gaps-errors");
}

TEST_F(HealthScreen, AlertsStayListedWithNotificationsOffAndRefreshNeverPosts) {
    center->status = 1; // denied
    AppModel& m = startSettled();
    ASSERT_TRUE(drainModelTasks(m));
    ASSERT_EQ(m.alerts().notifier()->authorization(), Auth::denied);
    // No archive root and no run: the drive alert.
    auto view = show(m);
    ASSERT_TRUE(shown(*view, "alertsBox"));
    QStringList titles;
    for (QWidget* row : view->findChildren<QWidget*>("alert")) titles << textOf(*row, "alertTitle");
    ASSERT_FALSE(titles.isEmpty());
    EXPECT_EQ(titles.size(), static_cast<qsizetype>(m.alerts().activeAlerts().size()));
    EXPECT_EQ(titles[0], AlertsModel::alertTitle(m.alerts().activeAlerts()[0].kind));
    EXPECT_TRUE(shown(*view, "notificationsOff"));
    EXPECT_EQ(textOf(*view, "notificationsOff"),
              "Notifications are off, so you will only see these by opening this panel.");
    snapshot(*view, "health-alerts");

    const auto posted = center->added.size();
    QTest::mouseClick(view->refreshButton(), Qt::LeftButton);
    QTest::qWait(50);
    EXPECT_EQ(center->added.size(), posted);

    // With notifications allowed there is no note.
    center->status = 2;
    m.alerts().notifier()->refreshAuthorization();
    ASSERT_TRUE(QTest::qWaitFor([&] { return m.alerts().notifier()->authorization() == Auth::authorized; }));
    EXPECT_FALSE(shown(*view, "notificationsOff"));

    // An alert kind this version does not know has a generic title and a neutral symbol.
    EXPECT_EQ(AlertsModel::alertTitle(static_cast<HealthAlert::Kind>(42)), "Kelvara health alert");
    EXPECT_EQ(HealthView::alertSymbol(static_cast<HealthAlert::Kind>(42)), "bell");
    EXPECT_EQ(HealthView::alertSymbol(HealthAlert::Kind::stale), "exclamationmark.triangle.fill");
}

TEST_F(HealthScreen, RefreshRereadsTheStatusFile) {
    AppModel& m = startSettled();
    auto view = show(m);
    EXPECT_TRUE(shown(*view, "noRunYet"));
    stdfs::create_directories(defaultRoot());
    writeAll(defaultRoot() / "STATUS.json", successAt(kNow - hours(1)).toJson());
    QTest::mouseClick(view->refreshButton(), Qt::LeftButton);
    EXPECT_FALSE(shown(*view, "noRunYet"));
    EXPECT_EQ(textOf(*view, "uniqueMessages"), "1204 unique messages archived");
}

TEST_F(HealthScreen, TheProbeStartsOncePerVisitAndOutlivesTheScreen) {
    slowEngine("1");
    AppModel& m = start(clock);
    ASSERT_EQ(m.permissions().fdaVerdict(), Verdict::notRunYet());
    auto view = show(m);
    EXPECT_TRUE(m.permissions().isProbingFDA());
    EXPECT_EQ(view->scheduledAccessPanel()->checkButton()->text(), "Checking…");
    // Leaving the screen while the check runs: the model still records its verdict.
    view.reset();
    ASSERT_TRUE(drainModelTasks(m));
    EXPECT_FALSE(m.permissions().isProbingFDA());
    EXPECT_EQ(m.permissions().fdaVerdict(), Verdict::noDatabase());

    // A check that could not settle anything is not repeated within one visit.
    ModelTestAccess::setFdaVerdict(m.permissions(), Verdict::notChecked("the engine tool did not answer."));
    view = show(m);
    EXPECT_TRUE(m.permissions().isProbingFDA());
    ASSERT_TRUE(drainModelTasks(m));
    ModelTestAccess::setFdaVerdict(m.permissions(), Verdict::notChecked("the engine tool did not answer."));
    view->hide();
    view->show();
    EXPECT_FALSE(m.permissions().isProbingFDA());
}

} // namespace
