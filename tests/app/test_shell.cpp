// The application shell driven through its real widgets: routing, the View
// menu's shortcuts, the scan command, the error banner, the two sheets and
// their close rules, the status panel and the backup owner.
#include "app/model/alerts_model.h"
#include "app/model/analysis_model.h"
#include "app/model/app_model.h"
#include "app/model/owners_model.h"
#include "app/model/permissions_model.h"
#include "app/model/runs_model.h"
#include "app/platform/notification_center.h"
#include "app/platform/user_defaults.h"
#include "app/shell/commands.h"
#include "app/shell/kelvara_app.h"
#include "app/shell/main_window.h"
#include "app/shell/menu_bar_view.h"
#include "app/shell/root_view.h"
#include "app/shell/routes.h"
#include "app/shell/settings_window.h"
#include "app/shell/updater.h"
#include "app/ui/widgets.h"
#include "backup/model/backup_model.h"
#include "reading/browse_view.h"
#include "reading/model/conversation_list_model.h"
#include "setup/model/onboarding_model.h"
#include "sources/coverage_view.h"
#include "sources/source_row.h"
#include "sources/sources_view.h"
#include "tests/fixtures/fixtures.h"
#include "tests/support/model_tasks.h"
#include "tests/support/model_test_access.h"
#include "tests/support/notification_center_double.h"
#include "tests/support/platform_doubles.h"
#include "tests/support/snapshots.h"
#include "tests/support/test_env.h"
#include "tests/support/user_defaults_double.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <tuple>

namespace {

using namespace std::chrono_literals;

// Reaches the model's protected setters, as the engine's results would.
class TestAppModel : public AppModel {
public:
    using AppModel::AppModel;
    using AppModel::setReport;
};

struct NullDriver final : UpdateUserDriver {
    void showUpdateAvailable(const UpdateItem&, const QString&) override {}
    void showUpToDate(const QString&) override {}
    void showCheckFailed(const QString&) override {}
};

std::filesystem::path liveDatabase() { return kx::test::home() / "Library" / "Messages" / "chat.db"; }

class ShellTest : public ::testing::Test {
protected:
    void SetUp() override {
        defaults_ = std::make_shared<MemoryUserDefaults>();
        // Each test archives into a root of its own.
        root_ = std::make_unique<kx::test::TempDir>();
        defaults_->setString(DefaultsKey::destinationRoot, QString::fromStdString(root_->path().string()));
        setUserDefaultsForTesting(defaults_);
        std::filesystem::remove(liveDatabase());
        RootView::setAnimationsEnabled(false);
    }

    void TearDown() override {
        app_.reset();
        setNotificationCenterForTesting(nullptr);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        root_.reset();
        if (!savedSourceList_.empty()) std::filesystem::remove(savedSourceList_);
        setUserDefaultsForTesting(nullptr);
        std::filesystem::remove(liveDatabase());
        RootView::setAnimationsEnabled(true);
    }

    // Starts the application with the given stored state and opens its window.
    MainWindow* start(bool openWindow = true) {
        KelvaraApp::Options o;
        o.useTray = false;
        o.updateDriver = std::make_shared<NullDriver>();
        o.quit = [this] { ++quitCalls_; };
        o.makeModel = [this] {
            auto m = std::make_unique<TestAppModel>(clock_);
            model_ = m.get();
            return m;
        };
        app_ = std::make_unique<KelvaraApp>(o);
        if (!openWindow) return nullptr;
        MainWindow* w = app_->showMainWindow();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(w));
        QApplication::setActiveWindow(w);
        EXPECT_TRUE(QTest::qWaitForWindowActive(w));
        return w;
    }

    // A state in which no sheet is wanted: onboarding done, no live database.
    void onboardingDone() { defaults_->setFlag(DefaultsKey::onboardingCompleted, true); }

    static void makeLiveDatabase() { kx::test::writeAll(liveDatabase(), "not a database, but present"); }

    // A generated Messages folder registered as source "old-mac" of "me", in
    // the source list on disk too (removed again after the test).
    void addScannableSource() {
        kx::fixtures::Options o;
        o.messages = 200;
        kx::fixtures::writeMessagesFolder(folder_.path(), o);
        kx::Source s;
        s.id = "old-mac";
        s.owner = "me";
        s.path = folder_.path().string();
        s.format = kx::SourceFormat::macosMessagesFolder;
        ASSERT_TRUE(model_->mutableRegistry().add(s));
        savedSourceList_ = model_->config().sources();
        ASSERT_EQ(model_->saveRegistry("add"), std::nullopt);
    }

    static void addSource(AppModel& model) {
        kx::Source s;
        s.id = "s1";
        s.owner = "me";
        s.path = "/somewhere";
        model.mutableRegistry().add(s);
        emit model.registryChanged();
    }

    std::shared_ptr<MemoryUserDefaults> defaults_;
    std::unique_ptr<kx::test::TempDir> root_;
    std::shared_ptr<kx::FixedClock> clock_ = std::make_shared<kx::FixedClock>(
        kx::Date(std::chrono::sys_days(std::chrono::year(2026) / 3 / 1)));
    std::unique_ptr<KelvaraApp> app_;
    TestAppModel* model_ = nullptr;
    int quitCalls_ = 0;
    kx::test::TempDir folder_;
    std::filesystem::path savedSourceList_;
};

QString screenName(Route r) {
    return QStringLiteral("screen.") +
           QString::fromLatin1(routeKey(r).data(), static_cast<qsizetype>(routeKey(r).size()));
}

void clickRow(QListWidget* list, int row) {
    const QRect r = list->visualItemRect(list->item(row));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, r.center());
}

} // namespace

TEST_F(ShellTest, SidebarListsTheRoutesInItsOwnOrderAndSelectsThem) {
    onboardingDone();
    MainWindow* w = start();
    RootView* root = w->rootView();
    QListWidget* sidebar = root->findChild<QListWidget*>(QStringLiteral("sidebar"));
    ASSERT_NE(sidebar, nullptr);
    EXPECT_EQ(sidebar->width(), RootView::kSidebarWidth);
    const QStringList expected = {"Sources", "Coverage", "Browse", "Search",
                                  "Backup",  "Filters",  "Health", "Your Macs"};
    ASSERT_EQ(sidebar->count(), expected.size());
    for (int i = 0; i < sidebar->count(); ++i) EXPECT_EQ(sidebar->item(i)->text(), expected[i]);

    EXPECT_EQ(model_->route(), Route::sources);
    EXPECT_EQ(root->currentScreen()->objectName(), screenName(Route::sources));
    // Each built screen belongs to one route: no route shows another's screen.
    std::map<QString, Route> screenClasses;
    for (int i = 0; i < sidebar->count(); ++i) {
        clickRow(sidebar, i);
        EXPECT_EQ(model_->route(), kSidebarRows[static_cast<size_t>(i)].route) << i;
        EXPECT_EQ(root->currentScreen()->objectName(), screenName(model_->route()));
        EXPECT_TRUE(root->currentScreen()->isVisible());
        const QString cls = QString::fromLatin1(root->currentScreen()->metaObject()->className());
        if (cls == QStringLiteral("ContentUnavailableWidget")) continue;
        const auto [at, fresh] = screenClasses.emplace(cls, model_->route());
        EXPECT_TRUE(fresh) << cls.toStdString() << " shown for two routes";
    }
    // The last row, Your Macs, shows the household screen.
    EXPECT_STREQ(root->currentScreen()->metaObject()->className(), "HouseholdView");
}

TEST_F(ShellTest, ClickingTheSelectedRowOrEmptySpaceKeepsTheRouteAndItsScreen) {
    onboardingDone();
    MainWindow* w = start();
    RootView* root = w->rootView();
    QListWidget* sidebar = root->sidebar();
    clickRow(sidebar, 2); // Browse
    ASSERT_EQ(model_->route(), Route::browse);
    QPointer<QWidget> screen = root->currentScreen();
    clickRow(sidebar, 2);
    QTest::mouseClick(sidebar->viewport(), Qt::LeftButton, {}, QPoint(60, sidebar->viewport()->height() - 4));
    QTest::mouseClick(sidebar->viewport(), Qt::LeftButton, Qt::ControlModifier,
                      sidebar->visualItemRect(sidebar->item(2)).center());
    QCoreApplication::processEvents();
    EXPECT_EQ(model_->route(), Route::browse);
    EXPECT_EQ(root->currentScreen(), screen.data());
    ASSERT_TRUE(QTest::qWaitFor([&] { return sidebar->selectedItems().size() == 1; }));
    EXPECT_EQ(sidebar->selectedItems().first()->text(), QStringLiteral("Browse"));
}

TEST_F(ShellTest, EveryVisitToARouteGetsAFreshScreen) {
    onboardingDone();
    MainWindow* w = start();
    RootView* root = w->rootView();
    model_->setRoute(Route::browse);
    QPointer<QWidget> first = root->currentScreen();
    model_->setRoute(Route::sources);
    model_->setRoute(Route::browse);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(first.isNull()) << "the old screen is discarded";
    EXPECT_EQ(root->currentScreen()->objectName(), screenName(Route::browse));
    // Setting the same route again keeps the screen.
    QPointer<QWidget> second = root->currentScreen();
    model_->setRoute(Route::browse);
    EXPECT_EQ(root->currentScreen(), second.data());
}

TEST_F(ShellTest, ControlDigitsFollowTheMenuOrderNotTheSidebarOrder) {
    onboardingDone();
    MainWindow* w = start();
    QListWidget* sidebar = w->rootView()->sidebar();
    const std::vector<std::pair<Qt::Key, Route>> expected = {
        {Qt::Key_1, Route::sources},  {Qt::Key_2, Route::browse},    {Qt::Key_3, Route::search},
        {Qt::Key_4, Route::coverage}, {Qt::Key_5, Route::backup},    {Qt::Key_6, Route::filters},
        {Qt::Key_7, Route::health},   {Qt::Key_8, Route::household},
    };
    for (const auto& [key, route] : expected) {
        QTest::keyClick(w, key, Qt::ControlModifier);
        EXPECT_EQ(model_->route(), route) << "Ctrl+" << (key - Qt::Key_0);
        EXPECT_EQ(sidebar->selectedItems().value(0)->text(), routeTitle(route));
    }
    // Ctrl+2 is Browse, which is the sidebar's third row.
    QTest::keyClick(w, Qt::Key_2, Qt::ControlModifier);
    EXPECT_EQ(sidebar->currentRow(), 2);

    // The View menu lists the same eight routes in the menu's order.
    AppCommands* c = w->commands();
    QStringList titles;
    for (const RouteMenuItem& item : kRouteMenuItems) titles << c->routeAction(item.route)->text();
    EXPECT_EQ(titles,
              (QStringList{"Sources", "Browse", "Search", "Coverage", "Backup", "Filters", "Health", "Your Macs"}));
    EXPECT_EQ(c->routeAction(Route::household)->shortcut(), QKeySequence(QStringLiteral("Ctrl+8")));
    EXPECT_EQ(c->scanAllSources()->shortcut(), QKeySequence(QStringLiteral("Ctrl+R")));
}

TEST_F(ShellTest, ScanCommandsAreDisabledWhileARunIsGoing) {
    onboardingDone();
    MainWindow* w = start();
    QAction* scan = w->commands()->scanAllSources();
    StatusPanel* panel = app_->statusItem()->panel();
    auto* scanNow = panel->findChild<QPushButton*>(QStringLiteral("scanNowButton"));
    ASSERT_NE(scanNow, nullptr);
    EXPECT_TRUE(scan->isEnabled());
    EXPECT_TRUE(scanNow->isEnabled());
    ModelTestAccess::setIsRunning(model_->runs(), true);
    EXPECT_FALSE(scan->isEnabled());
    EXPECT_FALSE(scanNow->isEnabled());
    ModelTestAccess::setIsRunning(model_->runs(), false);
    EXPECT_TRUE(scan->isEnabled());
    EXPECT_TRUE(scanNow->isEnabled());

    // Ctrl+R starts a real run (of no sources here); the command comes back
    // when it ends.
    QTest::keyClick(w, Qt::Key_R, Qt::ControlModifier);
    EXPECT_TRUE(model_->runs().isRunning());
    EXPECT_FALSE(scan->isEnabled());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model_->runs().isRunning(); }, 60000));
    EXPECT_TRUE(scan->isEnabled());
    EXPECT_TRUE(scanNow->isEnabled());
}

TEST_F(ShellTest, ErrorBannerShowsTheNewestErrorAndDismissClearsIt) {
    onboardingDone();
    MainWindow* w = start();
    RootView* root = w->rootView();
    BannerWidget* banner = root->banner();
    EXPECT_FALSE(banner->isVisible());
    model_->setLastError(QStringLiteral("The first problem."));
    model_->setLastError(QStringLiteral("The destination was not added. Backups already stored are untouched."));
    EXPECT_TRUE(banner->isVisible());
    EXPECT_EQ(banner->text(), QStringLiteral("The destination was not added. Backups already stored are untouched."));
    EXPECT_EQ(banner->accessibleName(),
              QStringLiteral("Error: The destination was not added. Backups already stored are untouched."));
    // The banner sits above the route's screen.
    EXPECT_LT(banner->mapTo(root, QPoint(0, 0)).y(), root->currentScreen()->mapTo(root, QPoint(0, 0)).y());
    // The text can be selected and copied with Edit > Copy.
    banner->textLabel()->setFocus();
    banner->textLabel()->setSelection(0, 15);
    w->findChild<QAction*>(QStringLiteral("editAction.copy"))->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("The destination"));
    QToolButton* dismiss = banner->dismissButton();
    EXPECT_EQ(dismiss->accessibleName(), QStringLiteral("Dismiss error"));
    QTest::mouseClick(dismiss, Qt::LeftButton);
    EXPECT_TRUE(model_->lastError().isNull());
    EXPECT_FALSE(banner->isVisible());
}

TEST_F(ShellTest, BannerAnimatesInAndOut) {
    onboardingDone();
    RootView::setAnimationsEnabled(true);
    MainWindow* w = start();
    RootView* root = w->rootView();
    model_->setLastError(QStringLiteral("Something went wrong."));
    EXPECT_TRUE(root->bannerWanted());
    EXPECT_TRUE(root->banner()->isVisible());
    ASSERT_TRUE(QTest::qWaitFor([&] { return root->banner()->height() > 20; }));
    model_->setLastError(QString());
    EXPECT_FALSE(root->bannerWanted());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !root->banner()->isVisible(); }));
    // Back in again after a quick out-and-in.
    model_->setLastError(QStringLiteral("Again."));
    model_->setLastError(QString());
    model_->setLastError(QStringLiteral("And again."));
    ASSERT_TRUE(QTest::qWaitFor([&] { return root->banner()->isVisible() && root->banner()->height() > 20; }));
    EXPECT_EQ(root->banner()->text(), QStringLiteral("And again."));
}

TEST_F(ShellTest, FirstLaunchShowsOnboardingNotTheAccessPrompt) {
    makeLiveDatabase();
    MainWindow* w = start();
    model_->permissions().setHasFullDiskAccess(false);
    RootView* root = w->rootView();
    ASSERT_TRUE(QTest::qWaitFor([&] { return root->onboardingSheet() && root->onboardingSheet()->isVisible(); }));
    EXPECT_EQ(root->fullDiskAccessSheet(), nullptr);
    EXPECT_EQ(root->onboardingSheet()->windowModality(), Qt::WindowModal);

    // Escape closes the sheet: recorded as set up later.
    QTest::keyClick(root->onboardingSheet(), Qt::Key_Escape);
    OnboardingModel* onboarding = &app_->onboarding();
    EXPECT_TRUE(onboarding->skippedFlag());
    EXPECT_TRUE(defaults_->flag(DefaultsKey::onboardingSkipped));
    EXPECT_FALSE(onboarding->explicitlyOpened());
    EXPECT_TRUE(onboarding->isFinished());
    EXPECT_EQ(root->onboardingSheet(), nullptr);
    // Access is still missing while the database exists: the prompt follows.
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return root->fullDiskAccessSheet() && root->fullDiskAccessSheet()->isVisible(); }));

    // Closing the prompt records the dismissal for this run.
    QTest::keyClick(root->fullDiskAccessSheet(), Qt::Key_Escape);
    EXPECT_TRUE(model_->permissions().dismissedFullDiskAccessPrompt());
    EXPECT_EQ(root->fullDiskAccessSheet(), nullptr);
}

// Within a few pixels: a border and rounding.
static void expectCentredOver(const QWidget* window, const QWidget* over, const char* what) {
    const QPoint off = window->geometry().center() - over->geometry().center();
    EXPECT_LE(std::abs(off.x()), 3) << what;
    EXPECT_LE(std::abs(off.y()), 3) << what;
}

TEST_F(ShellTest, TheWindowTheSheetAndSettingsOpenCentredOverOneAnother) {
    MainWindow* w = start();
    const QRect room = w->screen()->availableGeometry();
    ASSERT_TRUE(room.contains(w->frameGeometry()));
    EXPECT_LE(std::abs(w->geometry().center().x() - room.center().x()), 3);
    // Room for a title bar above it.
    EXPECT_LE(std::abs((w->frameGeometry().top() - room.top()) - (room.bottom() - w->frameGeometry().bottom()) + 40),
              6);
    ASSERT_TRUE(QTest::qWaitFor([&] { return w->rootView()->onboardingSheet() != nullptr; }));
    QDialog* sheet = w->rootView()->onboardingSheet();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(sheet));
    expectCentredOver(sheet, w, "onboarding sheet");
    sheet->reject();

    // Settings opens over the main window wherever that is, not at the corner
    // of the screen over its menus.
    w->move(room.topLeft() + QPoint(40, 30));
    QCoreApplication::processEvents();
    w->commands()->settings()->trigger();
    SettingsWindow* settings = app_->settingsWindow();
    ASSERT_NE(settings, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(settings));
    expectCentredOver(settings, w, "settings");
    EXPECT_TRUE(room.contains(settings->geometry()));
}

static bool posted(const FakeNotificationCenter& center, const char* identifier) {
    return std::any_of(center.added.begin(), center.added.end(),
                       [&](const NotificationRequest& r) { return r.identifier == QLatin1String(identifier); });
}

TEST_F(ShellTest, TheNeverRanNoticeWaitsUntilTheOnboardingSheetCloses) {
    auto center = std::make_shared<FakeNotificationCenter>();
    setNotificationCenterForTesting(center);
    MainWindow* w = start();
    RootView* root = w->rootView();
    ASSERT_TRUE(QTest::qWaitFor([&] { return root->onboardingSheet() != nullptr; }));
    // The launch alerts were worked out (with the permission read) and the
    // archive has never run, but nothing was posted over the sheet.
    ASSERT_TRUE(kx::test::drainModelTasks(*model_));
    EXPECT_GT(center->statusReads, 0);
    const auto& active = model_->alerts().activeAlerts();
    ASSERT_TRUE(std::any_of(active.begin(), active.end(),
                            [](const kx::HealthAlert& a) { return a.kind == kx::HealthAlert::Kind::neverRan; }));
    EXPECT_FALSE(posted(*center, "kx.alert.neverRan"));

    // Set up later: still due, so it is posted now.
    root->onboardingSheet()->reject();
    ASSERT_TRUE(QTest::qWaitFor([&] { return posted(*center, "kx.alert.neverRan"); }));
    EXPECT_EQ(center->added.size(), 1u);

    // Reopened from the menu: a run that ends while the sheet is up posts
    // nothing about never having run either.
    center->added.clear();
    w->commands()->setUpKelvara()->trigger();
    ASSERT_TRUE(QTest::qWaitFor([&] { return root->onboardingSheet() != nullptr; }));
    model_->alerts().refreshAlerts(true);
    ASSERT_TRUE(kx::test::drainModelTasks(*model_));
    EXPECT_FALSE(posted(*center, "kx.alert.neverRan"));
}

TEST_F(ShellTest, SkippedOnboardingDoesNotComeBackAtTheNextLaunch) {
    defaults_->setFlag(DefaultsKey::onboardingSkipped, true);
    MainWindow* w = start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return w->rootView()->sheetsSettled(); }));
    EXPECT_EQ(w->rootView()->onboardingSheet(), nullptr);
    // No live database on this machine: nothing to ask permission for.
    EXPECT_EQ(w->rootView()->fullDiskAccessSheet(), nullptr);
}

TEST_F(ShellTest, AccessPromptRules) {
    onboardingDone();
    makeLiveDatabase();
    MainWindow* w = start();
    RootView* root = w->rootView();
    model_->permissions().setHasFullDiskAccess(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return root->sheetsSettled(); }));
    EXPECT_EQ(root->fullDiskAccessSheet(), nullptr) << "with access granted the prompt never shows";

    model_->permissions().setHasFullDiskAccess(false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return root->fullDiskAccessSheet() != nullptr; }));
    // Access found by a re-check closes it without counting as a dismissal.
    model_->permissions().setHasFullDiskAccess(true);
    EXPECT_EQ(root->fullDiskAccessSheet(), nullptr);
    EXPECT_FALSE(model_->permissions().dismissedFullDiskAccessPrompt());

    // "Continue without it" dismisses it.
    model_->permissions().setHasFullDiskAccess(false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return root->fullDiskAccessSheet() != nullptr; }));
    auto* without = root->fullDiskAccessSheet()->findChild<QPushButton*>(QStringLiteral("continueWithoutAccessButton"));
    ASSERT_NE(without, nullptr);
    QTest::mouseClick(without, Qt::LeftButton);
    EXPECT_TRUE(model_->permissions().dismissedFullDiskAccessPrompt());
    EXPECT_EQ(root->fullDiskAccessSheet(), nullptr);

    // Without a live database there is nothing to ask for.
    model_->permissions().setDismissedFullDiskAccessPrompt(false);
    std::filesystem::remove(liveDatabase());
    model_->permissions().setHasFullDiskAccess(true);
    model_->permissions().setHasFullDiskAccess(false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return root->sheetsSettled(); }));
    EXPECT_EQ(root->fullDiskAccessSheet(), nullptr);
}

TEST_F(ShellTest, SetUpKelvaraReopensTheFlowWhichSurvivesItsOwnFirstSource) {
    onboardingDone();
    MainWindow* w = start();
    RootView* root = w->rootView();
    ASSERT_TRUE(QTest::qWaitFor([&] { return root->sheetsSettled(); }));
    ASSERT_EQ(root->onboardingSheet(), nullptr);
    w->commands()->setUpKelvara()->trigger();
    ASSERT_TRUE(QTest::qWaitFor([&] { return root->onboardingSheet() != nullptr; }));
    EXPECT_TRUE(app_->onboarding().explicitlyOpened());
    // Bringing the window forward keeps the new sheet in front of it.
    EXPECT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() == root->onboardingSheet(); }));

    // The flow's first-scan step registers this Mac's source; the sheet stays.
    app_->onboarding().setExplicitlyOpened(false);
    addSource(*model_);
    ASSERT_TRUE(QTest::qWaitFor([&] { return root->sheetsSettled(); }));
    EXPECT_NE(root->onboardingSheet(), nullptr);

    // The flow ends by itself: the sheet closes, and that is not a skip.
    app_->onboarding().setCompletedFlag(true);
    app_->onboarding().setIsFinished(true);
    EXPECT_EQ(root->onboardingSheet(), nullptr);
    EXPECT_FALSE(defaults_->flag(DefaultsKey::onboardingSkipped));
}

TEST_F(ShellTest, HelpItemsBringAMainWindowBackAfterItWasClosed) {
    onboardingDone();
    MainWindow* w = start();
    QAction* help = w->commands()->kelvaraHelp();
    help->trigger();
    EXPECT_EQ(model_->route(), Route::health);
    EXPECT_EQ(KelvaraApp::mainWindows().size(), 1);

    model_->setRoute(Route::sources);
    QPointer<MainWindow> old = w;
    w->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_TRUE(old.isNull()) << "closing the main window discards it";
    // Without a tray icon nothing could reopen it, so the last window closing quits.
    EXPECT_TRUE(QApplication::quitOnLastWindowClosed());
    EXPECT_TRUE(KelvaraApp::mainWindows().isEmpty());
    showMainWindow();
    ASSERT_EQ(KelvaraApp::mainWindows().size(), 1);
    MainWindow* again = KelvaraApp::mainWindows().first();
    EXPECT_TRUE(again->isVisible());
    EXPECT_GE(again->minimumWidth(), MainWindow::kMinimumWidth);
    EXPECT_GE(again->minimumHeight(), MainWindow::kMinimumHeight);
    // A second call brings the same window forward rather than opening another.
    again->showMinimized();
    showMainWindow();
    EXPECT_EQ(KelvaraApp::mainWindows().size(), 1);
    EXPECT_FALSE(again->isMinimized());
}

TEST_F(ShellTest, RouteItemsDoNotBringTheWindowForward) {
    onboardingDone();
    MainWindow* w = start();
    w->showMinimized();
    w->commands()->routeAction(Route::search)->trigger();
    EXPECT_EQ(model_->route(), Route::search);
    EXPECT_TRUE(w->isMinimized());
}

TEST_F(ShellTest, BackupModelFollowsTheArchiveOwner) {
    onboardingDone();
    start(false);
    BackupModel& backup = app_->backup();
    QSignalSpy changed(&backup, &BackupModel::ownerChanged);
    model_->owners().setArchiveOwner(QStringLiteral("jorin"));
    EXPECT_EQ(backup.owner(), QStringLiteral("jorin"));
    EXPECT_EQ(changed.count(), 1);
    // Telling it the same owner again changes nothing.
    app_->syncBackupOwner();
    EXPECT_EQ(changed.count(), 1);
}

TEST_F(ShellTest, BackupModelTakesTheStoredOwnerWhenTheFirstWindowShows) {
    onboardingDone();
    defaults_->setString(DefaultsKey::archiveOwner, QStringLiteral("jorin"));
    start(false);
    BackupModel& backup = app_->backup();
    ASSERT_NE(backup.owner(), QStringLiteral("jorin")) << "served the login name until a window shows";
    QSignalSpy changed(&backup, &BackupModel::ownerChanged);
    app_->showMainWindow();
    EXPECT_EQ(backup.owner(), QStringLiteral("jorin"));
    EXPECT_EQ(changed.count(), 1);
}

TEST_F(ShellTest, StatusPanelShowsNeverRunThenHealthAndCounts) {
    onboardingDone();
    start(false);
    StatusPanel* panel = app_->statusItem()->panel();
    panel->popUpAt(QPoint(10, 10));
    MenuBarView* view = panel->view();
    auto label = [&](const char* name) { return view->findChild<QLabel*>(QString::fromLatin1(name)); };
    EXPECT_TRUE(label("neverRunLabel")->isVisible());
    EXPECT_FALSE(view->findChild<QWidget*>(QStringLiteral("statusRow"))->isVisible());

    kx::CoverageReport report;
    report.runDate = clock_->now() - 47h;
    report.uniqueMessages = 1;
    kx::CoverageGap quiet;
    quiet.kind = kx::CoverageGap::Kind::quiet;
    report.gaps = {quiet};
    model_->setReport(report);
    EXPECT_FALSE(label("neverRunLabel")->isVisible());
    EXPECT_EQ(label("statusLabel")->text(), QStringLiteral("Healthy"));
    EXPECT_EQ(label("messageCountLabel")->text(), QStringLiteral("1 message archived"));
    EXPECT_FALSE(label("gapCountLabel")->isVisible()) << "quiet periods are not gaps to attend to";

    kx::CoverageGap missing;
    missing.kind = kx::CoverageGap::Kind::missing;
    kx::CoverageGap notScanned;
    notScanned.kind = kx::CoverageGap::Kind::notScanned;
    report.runDate = clock_->now() - 49h;
    report.uniqueMessages = 12034;
    report.gaps = {quiet, missing, notScanned};
    model_->setReport(report);
    EXPECT_EQ(label("statusLabel")->text(), QStringLiteral("Stale"));
    EXPECT_EQ(label("messageCountLabel")->text(), QStringLiteral("12034 messages archived"));
    EXPECT_TRUE(label("gapCountLabel")->isVisible());
    EXPECT_EQ(label("gapCountLabel")->text(), QStringLiteral("2 coverage gaps"));
    EXPECT_EQ(view->width(), MenuBarView::kWidth);
}

TEST_F(ShellTest, StatusPanelNeverCallsARunThatReadNoSourceHealthy) {
    onboardingDone();
    start(false);
    StatusPanel* panel = app_->statusItem()->panel();
    panel->popUpAt(QPoint(10, 10));
    MenuBarView* view = panel->view();
    auto* status = view->findChild<QLabel*>(QStringLiteral("statusLabel"));
    auto* scanNow = view->findChild<QPushButton*>(QStringLiteral("scanNowButton"));
    auto scan = [&] {
        QTest::mouseClick(scanNow, Qt::LeftButton);
        return QTest::qWaitFor([&] { return !model_->runs().isRunning(); }, 60000);
    };
    auto useOnly = [&](const std::filesystem::path& folder) {
        kx::Source s;
        s.id = "only";
        s.owner = "jorin";
        s.path = folder.string();
        s.format = kx::SourceFormat::macosMessagesFolder;
        s.label = "Only source";
        model_->mutableRegistry().remove("only");
        model_->mutableRegistry().add(s);
        emit model_->registryChanged();
    };

    // A readable folder first: a fresh success is healthy.
    kx::fixtures::Options good;
    good.messages = 5;
    kx::fixtures::writeMessagesFolder(root_->path() / "sources/good", good);
    useOnly(root_->path() / "sources/good");
    ASSERT_TRUE(scan());
    ASSERT_TRUE(model_->report() && model_->report()->succeeded());
    EXPECT_EQ(status->text(), QStringLiteral("Healthy"));

    // Then the only source is an iOS 5 database: the run fails, and the
    // earlier success must not keep the panel green.
    kx::fixtures::Options old;
    old.schema = kx::fixtures::Schema::legacyIos5;
    old.messages = 5;
    old.editEvery = 0;
    kx::fixtures::writeMessagesFolder(root_->path() / "sources/ios5", old);
    useOnly(root_->path() / "sources/ios5");
    ASSERT_TRUE(scan());
    ASSERT_TRUE(model_->report());
    EXPECT_FALSE(model_->report()->succeeded());
    panel->popUpAt(QPoint(10, 10)); // "Scan Now" closed it
    EXPECT_TRUE(view->findChild<QWidget*>(QStringLiteral("statusRow"))->isVisible());
    EXPECT_NE(status->text(), QStringLiteral("Healthy"));
    EXPECT_EQ(status->text(), QStringLiteral("Stale"));
}

TEST_F(ShellTest, StatusPanelOpensTheMainWindowAndQuits) {
    onboardingDone();
    start(false);
    EXPECT_TRUE(KelvaraApp::mainWindows().isEmpty());
    StatusPanel* panel = app_->statusItem()->panel();
    panel->popUpAt(QPoint(100, 100));
    QTest::mouseClick(panel->findChild<QPushButton*>(QStringLiteral("openKelvaraButton")), Qt::LeftButton);
    EXPECT_EQ(KelvaraApp::mainWindows().size(), 1);
    EXPECT_FALSE(panel->isVisible());
    QTest::mouseClick(panel->findChild<QPushButton*>(QStringLiteral("quitButton")), Qt::LeftButton);
    EXPECT_EQ(quitCalls_, 1);
}

TEST_F(ShellTest, ApplicationMenuCommands) {
    onboardingDone();
    MainWindow* w = start();
    AppCommands* c = w->commands();
    // No update feed in this build of the test: the command is disabled.
    EXPECT_EQ(c->checkForUpdates()->text(), QStringLiteral("Check for Updates…"));
    EXPECT_FALSE(c->checkForUpdates()->isEnabled());
    EXPECT_EQ(c->setUpKelvara()->text(), QStringLiteral("Set Up Kelvara…"));
    c->settings()->trigger();
    ASSERT_NE(app_->settingsWindow(), nullptr);
    EXPECT_TRUE(app_->settingsWindow()->isVisible());
    EXPECT_EQ(app_->settingsWindow()->currentTab(), SettingsTab::general);
    EXPECT_EQ(app_->settingsWindow()->width(), SettingsWindow::kWidth);
    auto* privacy = app_->settingsWindow()->findChild<QToolButton*>(QStringLiteral("settingsTab.privacy"));
    ASSERT_NE(privacy, nullptr);
    QTest::mouseClick(privacy, Qt::LeftButton);
    EXPECT_EQ(app_->settingsWindow()->currentTab(), SettingsTab::privacy);
    EXPECT_EQ(app_->settingsWindow()->windowTitle(), QStringLiteral("Privacy"));
    // One settings window per application.
    QPointer<SettingsWindow> first = app_->settingsWindow();
    c->settings()->trigger();
    EXPECT_EQ(app_->settingsWindow(), first.data());
    c->statusPanel()->trigger();
    EXPECT_TRUE(app_->statusItem()->panel()->isVisible());
    app_->statusItem()->panel()->hide();
    c->quit()->trigger();
    EXPECT_EQ(quitCalls_, 1);
}

TEST(BackupModelOwner, NamesAreNormalisedAndOnlyARealChangeCounts) {
    BackupModel backup(QStringLiteral("/nowhere"), QStringLiteral("  jorin \t"));
    EXPECT_EQ(backup.owner(), QStringLiteral("jorin"));
    QSignalSpy changed(&backup, &BackupModel::ownerChanged);
    backup.setOwner(QStringLiteral("jorin  "));
    EXPECT_EQ(changed.count(), 0);
    backup.setOwner(QStringLiteral("Ada   Vale"));
    EXPECT_EQ(backup.owner(), QStringLiteral("Ada Vale"));
    EXPECT_EQ(changed.count(), 1);
}

TEST_F(ShellTest, TheAccessWindowClosesItselfOnceTheDatabaseBecomesReadable) {
    onboardingDone();
    makeLiveDatabase(); // present but not a database this program can open
    MainWindow* w = start();
    RootView* root = w->rootView();
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return root->fullDiskAccessSheet() && root->fullDiskAccessSheet()->isVisible(); }));
    EXPECT_FALSE(model_->permissions().hasFullDiskAccess());
    // Its parts follow one another at the column's spacing, without gaps.
    QDialog* sheet = root->fullDiskAccessSheet();
    expectCentredOver(sheet, w, "access sheet");
    const QWidget* explanation = sheet->findChild<QWidget*>(QStringLiteral("explanation"));
    const QWidget* firstStep = sheet->findChild<QWidget*>(QStringLiteral("step"));
    const QWidget* button = sheet->findChild<QWidget*>(QStringLiteral("openSystemSettings"));
    ASSERT_TRUE(explanation && firstStep && button);
    EXPECT_LE(firstStep->mapTo(sheet, QPoint()).y() - explanation->mapTo(sheet, QPoint(0, explanation->height())).y(),
              16);
    EXPECT_LE(sheet->height() - button->mapTo(sheet, QPoint(0, button->height())).y(), 28 + 2);
    // The next re-check finds a readable database: no button is pressed.
    std::filesystem::remove(liveDatabase());
    kx::fixtures::Options o;
    o.messages = 5;
    kx::fixtures::writeChatDatabase(liveDatabase(), o);
    QElapsedTimer waited;
    waited.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return root->fullDiskAccessSheet() == nullptr; }, 4000));
    EXPECT_LT(waited.elapsed(), 2600);
    EXPECT_TRUE(model_->permissions().hasFullDiskAccess());
    EXPECT_FALSE(model_->permissions().dismissedFullDiskAccessPrompt());
}

TEST_F(ShellTest, TheHealthRouteShowsTheHealthScreen) {
    onboardingDone();
    MainWindow* w = start();
    model_->setRoute(Route::health);
    QCoreApplication::processEvents();
    QWidget* screen = w->rootView()->currentScreen();
    EXPECT_EQ(screen->objectName(), screenName(Route::health));
    EXPECT_STREQ(screen->metaObject()->className(), "HealthView");
}

TEST_F(ShellTest, TheStatusPanelHealthAndCoverageCountTheSameGaps) {
    onboardingDone();
    MainWindow* w = start();
    // jorin's one folder falls silent for six weeks (a quiet period); sam's
    // two folders hold the stretches before and after it (a gap no source
    // covers). Both archives stop in 2019, long before the clock's 2026.
    namespace fx = kx::fixtures;
    fx::Options early;
    early.messages = 30;
    fx::Options none = early;
    none.messages = 0;
    const std::filesystem::path jorin = folder_.path() / "jorin", samEarly = folder_.path() / "sam-early",
                                samLate = folder_.path() / "sam-late";
    fx::writeMessagesFolder(jorin, early);
    fx::appendMessages(jorin / "chat.db", 40000, 30);
    fx::writeMessagesFolder(samEarly, early);
    fx::writeMessagesFolder(samLate, none);
    fx::appendMessages(samLate / "chat.db", 40000, 30);
    for (const auto& [id, owner, path] : {std::tuple{"jorin", "jorin", jorin}, std::tuple{"sam-early", "sam", samEarly},
                                          std::tuple{"sam-late", "sam", samLate}}) {
        kx::Source s;
        s.id = id;
        s.owner = owner;
        s.path = path.string();
        s.format = kx::SourceFormat::macosMessagesFolder;
        ASSERT_TRUE(model_->mutableRegistry().add(s));
    }
    emit model_->registryChanged();
    w->commands()->scanAllSources()->trigger();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model_->runs().isRunning(); }, 120000));
    ASSERT_TRUE(model_->report() && model_->report()->succeeded());

    // What the run found: every kind but one needs attention, in both archives.
    std::map<std::string, int> counted;
    bool quiet = false;
    for (const kx::CoverageGap& g : model_->report()->gaps) {
        if (g.kind == kx::CoverageGap::Kind::quiet) quiet = true;
        else ++counted[g.owner];
    }
    ASSERT_TRUE(quiet);
    ASSERT_EQ(counted.size(), 2u);
    const int total = counted["jorin"] + counted["sam"];
    ASSERT_GE(total, 3);
    const QString expected = QString::number(total) + QStringLiteral(" coverage gaps");

    // The status panel.
    StatusPanel* panel = app_->statusItem()->panel();
    panel->popUpAt(QPoint(10, 10));
    auto* trayCount = panel->view()->findChild<QLabel*>(QStringLiteral("gapCountLabel"));
    EXPECT_TRUE(trayCount->isVisible());
    EXPECT_EQ(trayCount->text(), expected);
    kx::test::snapshot(*panel, QStringLiteral("gaps-counted-status-panel"));
    panel->hide();

    // Health: the same count over the rows, quiet periods listed but not counted.
    model_->setRoute(Route::health);
    QCoreApplication::processEvents();
    QWidget* health = w->rootView()->currentScreen();
    auto* healthCount = health->findChild<QLabel*>(QStringLiteral("gapCount"));
    ASSERT_NE(healthCount, nullptr);
    EXPECT_TRUE(healthCount->isVisibleTo(w));
    EXPECT_EQ(healthCount->text(), expected);
    EXPECT_EQ(health->findChildren<QWidget*>(QStringLiteral("gap")).size(),
              static_cast<qsizetype>(model_->report()->gaps.size()));
    kx::test::snapshot(*w, QStringLiteral("gaps-counted-health"));

    // Coverage: each owner's timeline names that owner's share of the count.
    model_->setRoute(Route::coverage);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return !model_->analysis().coverage().empty() && !model_->analysis().isAnalyzing(); },
                        60000));
    QCoreApplication::processEvents();
    const QRegularExpression gapsSaid(QStringLiteral(" (\\d+) coverage gaps?, totalling"));
    std::map<std::string, int> spoken;
    for (auto* bar : w->rootView()->currentScreen()->findChildren<sources::TimelineBar*>()) {
        const QRegularExpressionMatch m = gapsSaid.match(bar->accessibleDescription());
        ASSERT_TRUE(m.hasMatch()) << bar->accessibleDescription().toStdString();
        spoken[bar->accessibleName().section(QLatin1Char(' '), -1).toStdString()] = m.captured(1).toInt();
    }
    EXPECT_EQ(spoken, counted);
    kx::test::snapshot(*w, QStringLiteral("gaps-counted-coverage"));
}

TEST_F(ShellTest, QuittingDuringARunSaysSoWaitsForItAndRecordsWhatItArchived) {
    onboardingDone();
    MainWindow* w = start();
    addScannableSource();

    // Ctrl+R, then Ctrl+Q while the run goes on: nothing quits or hides yet,
    // and a notice says why.
    QTest::keyClick(w, Qt::Key_R, Qt::ControlModifier);
    ASSERT_TRUE(model_->runs().isRunning());
    w->commands()->quit()->trigger();
    EXPECT_EQ(quitCalls_, 0);
    EXPECT_TRUE(w->isVisible());
    auto* notice = w->findChild<QMessageBox*>("quitWaitsForRunNotice");
    ASSERT_NE(notice, nullptr);
    EXPECT_TRUE(notice->isVisible());
    EXPECT_EQ(notice->text(), "Kelvara quits when the archive run has finished");
    // A second Ctrl+Q waits for the same run.
    w->commands()->quit()->trigger();
    EXPECT_EQ(w->findChildren<QMessageBox*>("quitWaitsForRunNotice").size(), 1);
    kx::test::snapshot(*notice, QStringLiteral("quit-waits-for-run"));

    // The run ends: its results are recorded, then Kelvara quits.
    ASSERT_TRUE(QTest::qWaitFor([&] { return quitCalls_ > 0; }, 120000));
    EXPECT_EQ(quitCalls_, 1);
    EXPECT_FALSE(model_->runs().isRunning());
    ASSERT_NE(model_->registry().find("old-mac"), nullptr);
    EXPECT_TRUE(model_->registry().find("old-mac")->lastScanned.has_value());
    EXPECT_TRUE(QTest::qWaitFor([&] { return w->findChildren<QMessageBox*>("quitWaitsForRunNotice").isEmpty(); }));

    // "Keep Kelvara Open" takes the quit back: the run's end quits nothing.
    w->commands()->scanAllSources()->trigger();
    ASSERT_TRUE(model_->runs().isRunning());
    w->commands()->quit()->trigger();
    notice = w->findChild<QMessageBox*>("quitWaitsForRunNotice");
    ASSERT_NE(notice, nullptr);
    notice->findChild<QPushButton*>("keepKelvaraOpen")->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model_->runs().isRunning(); }, 120000));
    QTest::qWait(50);
    EXPECT_EQ(quitCalls_, 1);

    // Without a tray icon closing the last window quits: during a run it waits
    // the same way, with the window still there.
    ASSERT_TRUE(QApplication::quitOnLastWindowClosed());
    w->commands()->scanAllSources()->trigger();
    ASSERT_TRUE(model_->runs().isRunning());
    EXPECT_FALSE(w->close());
    EXPECT_TRUE(w->isVisible());
    EXPECT_NE(w->findChild<QMessageBox*>("quitWaitsForRunNotice"), nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return quitCalls_ > 1; }, 120000));
    EXPECT_EQ(quitCalls_, 2);
}

TEST_F(ShellTest, AnArchiveThatRanAndIsGoneIsNotFoundOnEveryScreenNotNew) {
    onboardingDone();
    // The default location, which no setting names until one is chosen.
    defaults_->remove(DefaultsKey::destinationRoot);
    MainWindow* w = start();
    const std::filesystem::path root = model_->destinationRoot().toStdString();
    ASSERT_EQ(model_->destinationRoot(), model_->defaultDestinationRoot());
    struct RemoveOnExit {
        std::filesystem::path path;
        ~RemoveOnExit() { std::filesystem::remove_all(path); }
    } archive{root};
    addScannableSource();
    QTest::keyClick(w, Qt::Key_R, Qt::ControlModifier);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model_->runs().isRunning(); }, 120000));
    ASSERT_TRUE(model_->report() && model_->report()->succeeded());
    ASSERT_TRUE(std::filesystem::is_directory(root));
    // The sources screen's safety analysis, while the archive is there.
    model_->setRoute(Route::sources);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return model_->analysis().deletion().has_value() && !model_->analysis().isAnalyzing(); },
                        60000));

    // The archive folder goes while Kelvara runs.
    std::filesystem::remove_all(root);
    const QString notFound = QStringLiteral("Archive drive not found");
    const auto screenTexts = [&](Route route) {
        model_->setRoute(route);
        QCoreApplication::processEvents();
        QStringList texts;
        for (QLabel* l : w->rootView()->currentScreen()->findChildren<QLabel*>())
            if (l->isVisibleTo(w)) texts << l->text();
        return texts;
    };
    // Sources (still the open screen as the folder went): the alert above the
    // rows, and no source called safe to delete because of an archive that is
    // not there.
    model_->setRoute(Route::sources);
    auto* sourcesScreen = qobject_cast<sources::SourcesView*>(w->rootView()->currentScreen());
    ASSERT_NE(sourcesScreen, nullptr);
    auto* sourcesAlert = sourcesScreen->findChild<BannerWidget*>(QStringLiteral("archiveNotFound"));
    ASSERT_NE(sourcesAlert, nullptr);
    EXPECT_TRUE(sourcesAlert->isVisibleTo(w));
    EXPECT_TRUE(sourcesAlert->text().startsWith(notFound + ". Kelvara cannot find the archive folder at " +
                                                QString::fromStdString(root.string())))
        << sourcesAlert->text().toStdString();
    ASSERT_EQ(sourcesScreen->listModel()->rowCount(), 1);
    EXPECT_FALSE(sourcesScreen->listModel()->row(0).deletion.has_value());
    EXPECT_TRUE(model_->analysis().deletion().has_value());
    auto* deletionSummary = sourcesScreen->findChild<QWidget*>(QStringLiteral("deletionSummary"));
    EXPECT_FALSE(deletionSummary->isVisibleTo(w));
    EXPECT_FALSE(sourcesScreen->checkSafetyButton()->isEnabled());
    kx::test::snapshot(*w, QStringLiteral("archive-not-found-sources"));

    // Health: the alert, never "has never run" or "No run yet", also after Refresh.
    QStringList health = screenTexts(Route::health);
    EXPECT_TRUE(health.contains(notFound)) << health.join(" | ").toStdString();
    auto* refresh = w->rootView()->currentScreen()->findChild<QAbstractButton*>(QStringLiteral("refresh"));
    ASSERT_NE(refresh, nullptr);
    refresh->click();
    health = screenTexts(Route::health);
    EXPECT_TRUE(health.contains(notFound)) << health.join(" | ").toStdString();
    EXPECT_FALSE(health.contains(QStringLiteral("Your archive has never run")));
    EXPECT_FALSE(health.contains(QStringLiteral("No run yet")));
    kx::test::snapshot(*w, QStringLiteral("archive-not-found-health"));

    // Browse: the alert, not "Nothing archived yet".
    model_->setRoute(Route::browse);
    auto* browse = qobject_cast<BrowseView*>(w->rootView()->currentScreen());
    ASSERT_NE(browse, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !browse->conversations().isLoading(); }, 60000));
    EXPECT_EQ(browse->listState(), "archiveNotFound");
    kx::test::snapshot(*w, QStringLiteral("archive-not-found-browse"));

    // Backup: this Mac's working copy is not listed; the alert is where it was.
    const QStringList backup = screenTexts(Route::backup);
    EXPECT_FALSE(backup.contains(QStringLiteral("Working copy"))) << backup.join(" | ").toStdString();
    EXPECT_FALSE(backup.filter(QRegularExpression("^" + notFound + "\\. Kelvara cannot find")).isEmpty())
        << backup.join(" | ").toStdString();
    EXPECT_TRUE(backup.filter("exists only on this").isEmpty()) << backup.join(" | ").toStdString();
    kx::test::snapshot(*w, QStringLiteral("archive-not-found-backup"));

    // The status panel: the alert, not the old counts.
    MenuBarView* panel = app_->statusItem()->panel()->findChild<MenuBarView*>();
    ASSERT_NE(panel, nullptr);
    panel->refresh();
    auto* line = panel->findChild<QLabel*>(QStringLiteral("neverRunLabel"));
    EXPECT_EQ(line->text(), notFound);
    EXPECT_TRUE(line->isVisibleTo(panel));
    kx::test::snapshot(*panel, QStringLiteral("archive-not-found-status-panel"));

    // After a restart it is the same story.
    app_.reset();
    w = start();
    health = screenTexts(Route::health);
    EXPECT_TRUE(health.contains(notFound)) << health.join(" | ").toStdString();
    EXPECT_FALSE(health.contains(QStringLiteral("No run yet")));

    // The folder comes back while the sources screen is open: the alert goes
    // and the safety analysis runs on what is there now.
    model_->setRoute(Route::sources);
    auto* again = w->rootView()->currentScreen()->findChild<BannerWidget*>(QStringLiteral("archiveNotFound"));
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(again->isVisibleTo(w));
    model_->analysis().clearAnalyses();
    std::filesystem::create_directories(root);
    model_->alerts().recheckArchiveRoot();
    EXPECT_FALSE(again->isVisibleTo(w));
    EXPECT_TRUE(QTest::qWaitFor([&] { return model_->analysis().deletion().has_value(); }, 60000));
}
