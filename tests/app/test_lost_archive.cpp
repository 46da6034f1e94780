// An archive that ran and is gone, read off every screen that shows the
// archive: the whole archive root moved away, or only the owner's folder inside
// it. Each screen says it with the same sentence, never the wording of an
// archive still waiting for its first scan, and never what the archive held.
// An owner no run has archived yet still gets the first-scan wording.
#include "app/model/alerts_model.h"
#include "app/model/analysis_model.h"
#include "app/model/app_model.h"
#include "app/model/runs_model.h"
#include "app/platform/user_defaults.h"
#include "app/shell/kelvara_app.h"
#include "app/shell/main_window.h"
#include "app/shell/menu_bar_view.h"
#include "app/shell/root_view.h"
#include "app/ui/widgets.h"
#include "core/keys/secret_store.h"
#include "household/health_view.h"
#include "reading/browse_view.h"
#include "reading/model/conversation_list_model.h"
#include "reading/model/search_model.h"
#include "reading/search_view.h"
#include "sources/coverage_view.h"
#include "sources/filters_view.h"
#include "sources/source_row.h"
#include "sources/sources_view.h"
#include "tests/app/model/model_test_support.h"
#include "tests/support/secret_store_double.h"
#include "tests/support/snapshots.h"

#include <QLabel>
#include <QLineEdit>
#include <QStackedWidget>
#include <QTest>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

namespace {

namespace stdfs = std::filesystem;

enum class Gone { wholeRoot, ownerFolder };

// The whole application over a private home, its window open on the default
// archive root.
class PrivateShellTest : public kx::test::ModelTest {
protected:
    void SetUp() override {
        // The other tests of this program keep the home of the process.
        for (const char* name : {"HOME", "XDG_DATA_HOME"})
            if (const char* value = std::getenv(name)) savedEnvironment_.emplace_back(name, value);
        ModelTest::SetUp();
        kx::setDefaultSecretStoreForTesting(std::make_shared<kx::InMemorySecretStore>());
        defaults->setFlag(DefaultsKey::onboardingCompleted, true);
        RootView::setAnimationsEnabled(false);
    }
    void TearDown() override {
        if (app_) {
            EXPECT_TRUE(kx::test::drainModelTasks(*app));
        }
        app_.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        RootView::setAnimationsEnabled(true);
        kx::setDefaultSecretStoreForTesting(nullptr);
        ModelTest::TearDown();
        for (const auto& [name, value] : savedEnvironment_) setenv(name.c_str(), value.c_str(), 1);
    }

    // The application over the default archive root, its window open.
    void startApp() {
        KelvaraApp::Options o;
        o.useTray = false;
        o.quit = [] {};
        o.makeModel = [this] {
            auto m = std::make_unique<AppModel>();
            app = m.get();
            return m;
        };
        app_ = std::make_unique<KelvaraApp>(o);
        window = app_->showMainWindow();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
        ASSERT_TRUE(kx::test::drainModelTasks(*app));
    }

    // A generated Messages folder of `owner`, registered.
    void addSource(const std::string& owner) {
        messagesFolder(home / "src" / owner);
        ASSERT_TRUE(app->mutableRegistry().add(folderSource(owner + "-folder", owner, home / "src" / owner)));
        emit app->registryChanged();
    }

    template <typename Screen>
    Screen* visit(Route route) {
        app->setRoute(route);
        QCoreApplication::processEvents();
        EXPECT_TRUE(kx::test::drainModelTasks(*app));
        QCoreApplication::processEvents();
        return qobject_cast<Screen*>(window->rootView()->currentScreen());
    }
    // Every text on show in the current screen.
    QStringList shownTexts() const {
        QStringList texts;
        for (QLabel* l : window->rootView()->currentScreen()->findChildren<QLabel*>())
            if (l->isVisibleTo(window) && !l->text().isEmpty()) texts << l->text();
        return texts;
    }
    BannerWidget* shownBanner() const {
        auto* b = window->rootView()->currentScreen()->findChild<BannerWidget*>(QStringLiteral("archiveNotFound"));
        return b && b->isVisibleTo(window) ? b : nullptr;
    }

    std::unique_ptr<KelvaraApp> app_;
    AppModel* app = nullptr;
    MainWindow* window = nullptr;

private:
    std::vector<std::pair<std::string, std::string>> savedEnvironment_;
};

class LostArchiveTest : public PrivateShellTest, public ::testing::WithParamInterface<Gone> {
protected:
    // jorin's messages archived and their coverage analysed, then the archive
    // moved away as the parameter says.
    void archiveThenLose() {
        startApp();
        addSource("jorin");
        app->runs().startScan(ScanRequest{});
        ASSERT_TRUE(kx::test::drainModelTasks(*app));
        ASSERT_TRUE(app->report() && app->report()->succeeded());
        app->analysis().checkSafety();
        ASSERT_TRUE(kx::test::drainModelTasks(*app));
        ASSERT_FALSE(app->analysis().coverage().empty());
        root = app->destinationRoot().toStdString();
        ASSERT_TRUE(stdfs::is_regular_file(root / "jorin" / "tresk.db"));
        stdfs::rename(GetParam() == Gone::wholeRoot ? root : root / "jorin", home / "moved-away");
    }

    // The beginning of what every screen says.
    QString expected() const {
        const QString lead = QStringLiteral("Archive drive not found. ");
        if (GetParam() == Gone::wholeRoot)
            return lead + "Kelvara cannot find the archive folder at " + QString::fromStdString(root.string()) + ".";
        return lead + "Kelvara cannot find the archive of jorin at " +
               QString::fromStdString((root / "jorin").string()) + ", although a run archived into it.";
    }
    QString shotName(const char* screen) const {
        return QStringLiteral("lost-") + (GetParam() == Gone::wholeRoot ? "root-" : "owner-folder-") + screen;
    }

    static QString pageText(const ContentUnavailableWidget* page) { return page->title() + ". " + page->description(); }

    stdfs::path root;
};

INSTANTIATE_TEST_SUITE_P(Gone, LostArchiveTest, ::testing::Values(Gone::wholeRoot, Gone::ownerFolder),
                         [](const auto& param) {
                             return param.param == Gone::wholeRoot ? "WholeRoot" : "OwnerFolder";
                         });

TEST_P(LostArchiveTest, SourcesSaysItAndCallsNoSourceSafeToDelete) {
    archiveThenLose();
    auto* screen = visit<sources::SourcesView>(Route::sources);
    ASSERT_NE(screen, nullptr);
    BannerWidget* banner = shownBanner();
    ASSERT_NE(banner, nullptr);
    EXPECT_TRUE(banner->text().startsWith(expected())) << banner->text().toStdString();
    ASSERT_EQ(screen->listModel()->rowCount(), 1);
    EXPECT_FALSE(screen->listModel()->row(0).deletion.has_value());
    kx::test::snapshot(*window, shotName("sources"));
}

TEST_P(LostArchiveTest, BrowseSaysItNotNothingArchivedYet) {
    archiveThenLose();
    auto* browse = visit<BrowseView>(Route::browse);
    ASSERT_NE(browse, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !browse->conversations().isLoading(); }, 60000));
    EXPECT_EQ(browse->listState(), "archiveNotFound");
    auto* page = qobject_cast<ContentUnavailableWidget*>(browse->listSide()->currentWidget());
    ASSERT_NE(page, nullptr);
    EXPECT_TRUE(pageText(page).startsWith(expected())) << pageText(page).toStdString();
    EXPECT_FALSE(shownTexts().contains(QStringLiteral("Nothing archived yet")));
    kx::test::snapshot(*window, shotName("browse"));
}

TEST_P(LostArchiveTest, SearchSaysItNotNoResults) {
    archiveThenLose();
    auto* search = visit<SearchView>(Route::search);
    ASSERT_NE(search, nullptr);
    search->queryField()->setText(QStringLiteral("hello"));
    search->runSearch();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !search->searchModel().isSearching(); }, 60000));
    EXPECT_EQ(search->contentState(), "archiveNotFound");
    const QStringList texts = shownTexts();
    EXPECT_TRUE(texts.filter(QStringLiteral("No Results")).isEmpty()) << texts.join(" | ").toStdString();
    EXPECT_TRUE(texts.contains(QStringLiteral("Archive drive not found"))) << texts.join(" | ").toStdString();
    kx::test::snapshot(*window, shotName("search"));
}

TEST_P(LostArchiveTest, CoverageSaysItAndDrawsNoTimelineOfWhatIsGone) {
    archiveThenLose();
    auto* coverage = visit<sources::CoverageView>(Route::coverage);
    ASSERT_NE(coverage, nullptr);
    BannerWidget* banner = shownBanner();
    ASSERT_NE(banner, nullptr);
    EXPECT_TRUE(banner->text().startsWith(expected())) << banner->text().toStdString();
    EXPECT_TRUE(coverage->ownerSections().isEmpty());
    EXPECT_FALSE(coverage->emptyState()->isVisibleTo(window));
    EXPECT_FALSE(coverage->legend()->isVisibleTo(window));
    kx::test::snapshot(*window, shotName("coverage"));
}

TEST_P(LostArchiveTest, FiltersSaysItInsteadOfAPreview) {
    archiveThenLose();
    auto* filters = visit<sources::FiltersView>(Route::filters);
    ASSERT_NE(filters, nullptr);
    BannerWidget* banner = shownBanner();
    ASSERT_NE(banner, nullptr);
    EXPECT_TRUE(banner->text().startsWith(expected())) << banner->text().toStdString();
    EXPECT_FALSE(filters->previewSection()->isVisibleTo(window));
    kx::test::snapshot(*window, shotName("filters"));
}

TEST_P(LostArchiveTest, YourMacsSaysItNotThatTheArchiveWasUpdated) {
    archiveThenLose();
    visit<QWidget>(Route::household);
    auto* summary = window->rootView()->currentScreen()->findChild<QLabel*>(QStringLiteral("summaryText"));
    ASSERT_NE(summary, nullptr);
    EXPECT_TRUE(summary->text().startsWith(expected())) << summary->text().toStdString();
    EXPECT_TRUE(shownTexts().filter(QStringLiteral("updated in the last")).isEmpty());
    kx::test::snapshot(*window, shotName("your-macs"));
}

TEST_P(LostArchiveTest, HealthSaysItAndNotTheCountsOfWhatIsGone) {
    archiveThenLose();
    // Alerts turned off: an archive that is gone is said all the same.
    kx::HealthAlertSettings off = app->alerts().alertSettings();
    off.enabled = GetParam() == Gone::wholeRoot;
    app->alerts().setAlertSettings(off);
    app->alerts().saveAlertSettings();
    visit<HealthView>(Route::health);
    QStringList bodies;
    for (QLabel* l : window->rootView()->currentScreen()->findChildren<QLabel*>(QStringLiteral("alertBody")))
        if (l->isVisibleTo(window)) bodies << l->text();
    ASSERT_EQ(bodies.filter(QStringLiteral("cannot find")).size(), 1) << bodies.join(" | ").toStdString();
    EXPECT_TRUE(
        ("Archive drive not found. " + bodies.filter(QStringLiteral("cannot find")).front()).startsWith(expected()));
    const QStringList texts = shownTexts();
    EXPECT_TRUE(texts.filter(QStringLiteral("unique message")).isEmpty()) << texts.join(" | ").toStdString();
    EXPECT_FALSE(texts.contains(QStringLiteral("No run yet")));
    kx::test::snapshot(*window, shotName("health"));
}

TEST_P(LostArchiveTest, TheStatusPanelSaysItNotTheCounts) {
    archiveThenLose();
    MenuBarView* panel = app_->statusItem()->panel()->findChild<MenuBarView*>();
    ASSERT_NE(panel, nullptr);
    panel->refresh();
    auto* line = panel->findChild<QLabel*>(QStringLiteral("neverRunLabel"));
    EXPECT_EQ(line->text(), QStringLiteral("Archive drive not found"));
    EXPECT_TRUE(line->isVisibleTo(panel));
    kx::test::snapshot(*panel, shotName("status-panel"), kx::test::Grab::fitted);
}

TEST_P(LostArchiveTest, BackupSaysItAndListsNoWorkingCopy) {
    archiveThenLose();
    visit<QWidget>(Route::backup);
    auto* summary = window->rootView()->currentScreen()->findChild<QLabel*>(QStringLiteral("locationsSummary"));
    ASSERT_NE(summary, nullptr);
    EXPECT_TRUE(summary->text().startsWith(expected())) << summary->text().toStdString();
    const QStringList texts = shownTexts();
    EXPECT_FALSE(texts.contains(QStringLiteral("Working copy")));
    EXPECT_TRUE(texts.contains(QStringLiteral("No destinations yet."))) << texts.join(" | ").toStdString();
    kx::test::snapshot(*window, shotName("backup"));
}

// No run has archived sam yet, while jorin's archive is there: sam's screens
// ask for a first scan and nothing is said to be lost.
TEST_F(PrivateShellTest, AnOwnerNotArchivedYetGetsTheFirstScanWording) {
    startApp();
    addSource("jorin");
    app->runs().startScan(ScanRequest{});
    ASSERT_TRUE(kx::test::drainModelTasks(*app));
    addSource("sam");
    EXPECT_EQ(app->alerts().archiveNotFound(), std::nullopt);
    EXPECT_EQ(app->alerts().archiveNotFound(QStringLiteral("sam")), std::nullopt);

    visit<QWidget>(Route::sources);
    EXPECT_EQ(shownBanner(), nullptr);
    auto* browse = visit<BrowseView>(Route::browse);
    browse->chooseOwner(QStringLiteral("sam"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !browse->conversations().isLoading(); }, 60000));
    EXPECT_EQ(browse->listState(), "nothingArchived");
    auto* filters = visit<sources::FiltersView>(Route::filters);
    filters->setSelectedOwner(QStringLiteral("sam"));
    EXPECT_EQ(shownBanner(), nullptr);
    visit<QWidget>(Route::household);
    EXPECT_FALSE(shownTexts().filter(QStringLiteral("updated in the last 7 days")).isEmpty())
        << shownTexts().join(" | ").toStdString();
}

// Before any run, in the default root that no run has made yet.
TEST_F(PrivateShellTest, ABrandNewUserGetsTheFirstScanWording) {
    startApp();
    addSource("jorin");
    ASSERT_FALSE(stdfs::exists(app->destinationRoot().toStdString()));
    EXPECT_EQ(app->alerts().archiveNotFound(), std::nullopt);
    for (Route r : {Route::sources, Route::coverage, Route::filters, Route::health, Route::backup}) {
        visit<QWidget>(r);
        EXPECT_EQ(shownBanner(), nullptr);
        EXPECT_TRUE(shownTexts().filter(QStringLiteral("Archive drive not found")).isEmpty());
    }
    auto* browse = visit<BrowseView>(Route::browse);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !browse->conversations().isLoading(); }, 60000));
    EXPECT_EQ(browse->listState(), "nothingArchived");
    auto* search = visit<SearchView>(Route::search);
    search->queryField()->setText(QStringLiteral("hello"));
    search->runSearch();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !search->searchModel().isSearching(); }, 60000));
    EXPECT_EQ(search->contentState(), "noResults");
    visit<HealthView>(Route::health);
    EXPECT_TRUE(shownTexts().contains(QStringLiteral("Your archive has never run")))
        << shownTexts().join(" | ").toStdString();
}

} // namespace
