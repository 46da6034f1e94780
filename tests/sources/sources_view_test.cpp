// The sources screen driven through its widgets over the real model and engine
// on generated sources: connecting this computer's Messages, adding a copied
// folder through the sheet, scanning, verdicts and duplicates on the right
// rows, the dry-run script, the row menu and the on-show analyses.
#include "app/ui/widgets.h"
#include "sources/add_source_view.h"
#include "sources/source_row.h"
#include "sources/sources_view.h"
#include "sources/which_archive_panel.h"
#include "tests/sources/sources_screen_support.h"
#include "tests/support/snapshots.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>

#include <sys/stat.h>

namespace fs = std::filesystem;
namespace fx = kx::fixtures;
using sources::SourceListModel;
using sources::SourceRowDelegate;
using sources::SourcesView;

namespace {

class SourcesViewTest : public kx::test::ScreenTest {
protected:
    SourcesView* showSources(bool exposed = true) {
        return show<SourcesView>([this](QWidget* parent) { return new SourcesView(*model, parent); }, QSize(900, 700),
                                 exposed);
    }
    // The texts the row of a source draws.
    static QStringList rowTexts(SourcesView* view, const std::string& id) {
        const SourceListModel& m = *view->listModel();
        for (int i = 0; i < m.rowCount(); ++i)
            if (m.row(i).source.id == id) return SourceRowDelegate::visibleTexts(m, i);
        ADD_FAILURE() << "no row for " << id;
        return {};
    }
    static int rowOf(SourcesView* view, const std::string& id) {
        for (int i = 0; i < view->listModel()->rowCount(); ++i)
            if (view->listModel()->row(i).source.id == id) return i;
        return -1;
    }
    void liveDatabase(int64_t messages = 40) { messagesFolder(home / "Library/Messages", messages); }
    // Sam's Messages folder, registered as "sam" and scanned into the root.
    void scanSamsArchive() {
        fx::writeMessagesFolder(home / "src/sam", fx::Options{});
        model->mutableRegistry().add(folderSource("sam", "sam", home / "src/sam"));
        emit model->registryChanged();
        model->runs().startScan(ScanRequest{});
        ASSERT_TRUE(settle());
    }
    // original, an exact copy of it, and sam's own folder (which gains one
    // message after the scan, so it holds something the archive lacks).
    void registerFolders() {
        fx::Options o;
        o.messages = 40;
        fx::writeMessagesFolder(home / "src/original", o);
        fs::copy(home / "src/original", home / "src/copy", fs::copy_options::recursive);
        fx::writeMessagesFolder(home / "src/sam", o);
        auto& reg = model->mutableRegistry();
        reg.add(folderSource("original", "jorin", home / "src/original"));
        reg.add(folderSource("copy", "jorin", home / "src/copy"));
        reg.add(folderSource("sam", "sam", home / "src/sam"));
        emit model->registryChanged();
    }
    static QPushButton* button(QWidget* w, const char* name) {
        return w->findChild<QPushButton*>(QString::fromLatin1(name));
    }
};

} // namespace

TEST_F(SourcesViewTest, EmptyStateWithoutAMessagesDatabaseOffersOnlyTheOtherWays) {
    start();
    // A deletion report held from earlier does not bring the list back.
    SourcesView* view = showSources();
    EXPECT_TRUE(view->emptyState()->isVisible());
    EXPECT_FALSE(view->content()->isVisible());
    EXPECT_FALSE(view->connectButton()->isVisible());
    EXPECT_FALSE(view->scanAllButton()->isEnabled());
    EXPECT_FALSE(view->checkSafetyButton()->isEnabled());
    EXPECT_TRUE(view->addSourceButton()->isEnabled());
    QWidget* warning = view->findChild<QWidget*>(QStringLiteral("noMessagesDatabase"));
    ASSERT_NE(warning, nullptr);
    EXPECT_TRUE(warning->isVisible());
    EXPECT_EQ(warning->accessibleName(), QStringLiteral("No Messages database found on this Mac"));
    EXPECT_FALSE(button(view, "emptyConnectMessages")->isVisible());

    // "Join an existing archive" goes to the household screen.
    QTest::mouseClick(button(view, "joinExistingArchive"), Qt::LeftButton);
    EXPECT_EQ(model->route(), Route::household);

    // "Add another archive instead…" opens the add-source sheet.
    QTest::mouseClick(button(view, "addAnotherArchive"), Qt::LeftButton);
    ASSERT_NE(view->addSheet(), nullptr);
    EXPECT_TRUE(view->addSheet()->isVisible());
}

TEST_F(SourcesViewTest, ConnectingThisComputerFromTheEmptyStateRegistersItScansAndShowsItReady) {
    liveDatabase();
    start();
    SourcesView* view = showSources();
    EXPECT_TRUE(view->connectButton()->isVisible());
    QPushButton* big = button(view, "emptyConnectMessages");
    ASSERT_TRUE(big->isVisible());
    QTest::mouseClick(big, Qt::LeftButton);

    ASSERT_NE(model->registry().find("local-messages"), nullptr);
    EXPECT_FALSE(view->emptyState()->isVisible());
    EXPECT_TRUE(view->content()->isVisible());
    EXPECT_FALSE(view->connectButton()->isVisible()) << "this computer is connected";
    // The scan started at once: progress shows and both scan buttons wait.
    EXPECT_TRUE(model->runs().isRunning());
    EXPECT_TRUE(view->spinner()->isVisible());
    EXPECT_FALSE(view->scanAllButton()->isEnabled());

    ASSERT_TRUE(settle());
    EXPECT_FALSE(view->spinner()->isVisible());
    EXPECT_TRUE(view->scanAllButton()->isEnabled());
    const QStringList texts = rowTexts(view, "local-messages");
    EXPECT_EQ(texts.value(0), QStringLiteral("This Mac: Messages"));
    EXPECT_FALSE(texts.contains(QStringLiteral("NEVER SCANNED")));
    EXPECT_FALSE(texts.contains(QStringLiteral("never scanned")));
    EXPECT_EQ(view->listModel()->row(0).status, kx::SourceStatus::ready);
    // The run ended while the screen was shown: it asked for a fresh verdict,
    // and this computer's live database is never safe to delete.
    ASSERT_TRUE(view->listModel()->row(0).deletion.has_value());
    EXPECT_TRUE(rowTexts(view, "local-messages").contains(QStringLiteral("Do not delete")));
    const QModelIndex at = view->listModel()->index(0);
    EXPECT_EQ(at.data(Qt::AccessibleTextRole).toString(), QStringLiteral("This Mac: Messages, owner jorin"));
    EXPECT_TRUE(at.data(Qt::AccessibleDescriptionRole).toString().startsWith(QStringLiteral("Ready. Last scanned ")));
}

TEST_F(SourcesViewTest, ScanThenCheckSafetyPutsEachVerdictAndDuplicateNoteOnItsOwnRow) {
    start();
    registerFolders();
    SourcesView* view = showSources();
    ASSERT_TRUE(settle()); // the on-show analyses of the unscanned sources
    // Unscanned sources: one ready banner however many there are.
    QWidget* ready = view->findChild<QWidget*>(QStringLiteral("readyBannerBlock"));
    EXPECT_TRUE(ready->isVisible());
    EXPECT_EQ(view->findChildren<QPushButton*>(QStringLiteral("scanNow")).size(), 1);
    EXPECT_TRUE(rowTexts(view, "sam").contains(QStringLiteral("NEVER SCANNED")));

    QTest::mouseClick(button(view, "scanNow"), Qt::LeftButton);
    EXPECT_FALSE(button(view, "scanNow")->isEnabled());
    ASSERT_TRUE(settle());
    EXPECT_FALSE(ready->isVisible());
    fx::appendMessages(home / "src/sam/chat.db", 40, 1);

    QTest::mouseClick(view->checkSafetyButton(), Qt::LeftButton);
    EXPECT_FALSE(view->checkSafetyButton()->isEnabled()) << "disabled while the analysis runs";
    ASSERT_TRUE(settle());
    EXPECT_TRUE(view->checkSafetyButton()->isEnabled());

    EXPECT_TRUE(rowTexts(view, "original").contains(QStringLiteral("Verified redundant")));
    EXPECT_TRUE(rowTexts(view, "copy").contains(QStringLiteral("Verified redundant")));
    const QStringList sam = rowTexts(view, "sam");
    EXPECT_TRUE(sam.contains(QStringLiteral("Do not delete")));
    EXPECT_TRUE(sam.contains(QStringLiteral("\u00B7 41 messages exist only here")));
    EXPECT_TRUE(rowTexts(view, "copy").contains(QStringLiteral("Same content as original")));
    EXPECT_FALSE(sam.join('|').contains(QStringLiteral("Same content")));

    // The duplicate banner names the identical group; the summary counts verdicts.
    QListView* banners = view->duplicateBanners();
    ASSERT_TRUE(banners->isVisible());
    ASSERT_EQ(banners->model()->rowCount(), 1);
    EXPECT_EQ(banners->model()->index(0, 0).data(Qt::AccessibleTextRole).toString(),
              QStringLiteral("2 sources hold identical content. copy, original. Keeping them all costs a scan each "
                             "run. Nothing has been removed \u2014 that decision is yours."));
    auto* summary = view->findChild<QLabel*>(QStringLiteral("deletionSummaryText"));
    ASSERT_NE(summary, nullptr);
    EXPECT_TRUE(summary->isVisible());
    EXPECT_EQ(summary->text(), QStringLiteral("2 of 3 sources verified redundant"));
}

TEST_F(SourcesViewTest, TheBadgeOpensOnAClickAndStaysOpenThroughModelUpdates) {
    start();
    registerFolders();
    SourcesView* view = showSources();
    ASSERT_TRUE(settle());
    model->runs().startScan(ScanRequest{});
    ASSERT_TRUE(settle());
    ASSERT_TRUE(view->listModel()->row(rowOf(view, "sam")).deletion.has_value());

    QListView* list = view->list();
    const int row = rowOf(view, "sam");
    const QModelIndex at = view->listModel()->index(row);
    const QRect header = view->rowDelegate()->badgeHeaderRect(list->visualRect(at), at);
    ASSERT_FALSE(header.isEmpty());
    const int closedHeight = list->visualRect(at).height();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, header.center());
    ASSERT_TRUE(view->listModel()->isExpanded(row));
    EXPECT_TRUE(rowTexts(view, "sam").join('|').contains(QStringLiteral("40 messages read \u00B7 40 in the archive")));
    EXPECT_TRUE(QTest::qWaitFor([&] { return list->visualRect(at).height() > closedHeight; }));

    // A new analysis replaces every row's values; the open badge stays open.
    model->analysis().checkSafety();
    ASSERT_TRUE(settle());
    EXPECT_TRUE(view->listModel()->isExpanded(rowOf(view, "sam")));
    EXPECT_FALSE(view->listModel()->isExpanded(rowOf(view, "copy")));
    // Another source added before it: the flag follows the source, not the place.
    auto extra = folderSource("aaa", "jorin", home / "src/original");
    model->mutableRegistry().add(extra);
    emit model->registryChanged();
    EXPECT_TRUE(view->listModel()->isExpanded(rowOf(view, "sam")));

    // Space on the current row closes it again.
    list->setCurrentIndex(view->listModel()->index(rowOf(view, "sam")));
    list->setFocus();
    model->analysis().checkSafety();
    ASSERT_TRUE(settle());
    QTest::keyClick(list, Qt::Key_Space);
    EXPECT_FALSE(view->listModel()->isExpanded(rowOf(view, "sam")));
    // Its height (kept between changes) follows: back to the closed height.
    const QModelIndex closed = view->listModel()->index(rowOf(view, "sam"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return list->visualRect(closed).height() == closedHeight; }));
}

TEST_F(SourcesViewTest, TheDryRunScriptIsWrittenWhereChosenPrivateAndDeletesNothingWhenRun) {
    start();
    registerFolders();
    SourcesView* view = showSources();
    model->runs().startScan(ScanRequest{});
    ASSERT_TRUE(settle());
    ASSERT_TRUE(model->analysis().deletion().has_value());
    const std::string before = kx::test::snapshotTree(home / "src");

    auto* exportButton = button(view, "exportDryRunScript");
    ASSERT_TRUE(exportButton->isVisible());
    // Cancelling the chooser writes nothing.
    nextSavePath.clear();
    QTest::mouseClick(exportButton, Qt::LeftButton);
    ASSERT_EQ(savePrompts.size(), 1);
    EXPECT_EQ(savePrompts[0], QStringLiteral("kelvara-dry-run.sh|This script deletes nothing as written \u2014 every "
                                             "line is commented out."));

    kx::test::TempDir out;
    const fs::path script = out / "my review"; // no ".sh": the name is kept exactly
    nextSavePath = QString::fromStdString(script.string());
    QTest::mouseClick(exportButton, Qt::LeftButton);
    ASSERT_TRUE(fs::is_regular_file(script));
    EXPECT_EQ(std::distance(fs::directory_iterator(out.path()), fs::directory_iterator()), 1);
    struct stat st {};
    ASSERT_EQ(::stat(script.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(model->lastError().isNull());

    QProcess bash;
    bash.setWorkingDirectory(QString::fromStdString(out.path().string()));
    bash.start(QStringLiteral("bash"), {nextSavePath});
    ASSERT_TRUE(bash.waitForFinished(30000));
    EXPECT_EQ(bash.exitCode(), 0) << bash.readAllStandardError().toStdString();
    const QString printed = QString::fromUtf8(bash.readAllStandardOutput());
    EXPECT_TRUE(
        printed.contains(QStringLiteral("Would delete: ") + QString::fromStdString((home / "src/copy").string())));
    EXPECT_EQ(kx::test::snapshotTree(home / "src"), before) << "running the script deleted nothing";

    // A place that cannot be written: a sentence, and no file.
    nextSavePath = QString::fromStdString((out / "missing-folder/script.sh").string());
    QTest::mouseClick(exportButton, Qt::LeftButton);
    EXPECT_TRUE(model->lastError().startsWith(QStringLiteral("Could not write the dry-run script: ")));
    EXPECT_FALSE(fs::exists(out / "missing-folder"));
}

TEST_F(SourcesViewTest, TheRowMenuRevealsTheContainingFolderAndRemovesWithoutAsking) {
    start();
    registerFolders();
    SourcesView* view = showSources();
    ASSERT_TRUE(settle());
    QListView* list = view->list();
    const int row = rowOf(view, "copy");
    QMenu* menu = view->showRowMenu(row, list->mapToGlobal(list->visualRect(view->listModel()->index(row)).center()));
    ASSERT_NE(menu, nullptr);
    const auto actions = menu->actions();
    ASSERT_EQ(actions.size(), 2);
    EXPECT_EQ(actions[0]->text(), QStringLiteral("Reveal in Finder"));
    EXPECT_EQ(actions[1]->text(), QStringLiteral("Remove from registry"));

    // Without a file manager that selects items, the folder holding the source opens.
    fileManagerSelects = false;
    actions[0]->trigger();
    ASSERT_EQ(shownItems.size(), 1);
    EXPECT_EQ(shownItems[0], QUrl::fromLocalFile(QString::fromStdString((home / "src/copy").string())).toString());
    ASSERT_EQ(openedFolders.size(), 1);
    EXPECT_EQ(openedFolders[0].toLocalFile(), QString::fromStdString((home / "src").string()));

    // A source that is a file: shown selected, the file itself is never opened.
    auto file = folderSource("file", "jorin", home / "src/original/chat.db");
    model->mutableRegistry().add(file);
    emit model->registryChanged();
    fileManagerSelects = true;
    view->revealSource(rowOf(view, "file"));
    EXPECT_EQ(shownItems.last(),
              QUrl::fromLocalFile(QString::fromStdString((home / "src/original/chat.db").string())).toString());
    EXPECT_EQ(openedFolders.size(), 1) << "the file manager showed it; nothing else opened";
    fileManagerSelects = false;
    view->revealSource(rowOf(view, "file"));
    ASSERT_EQ(openedFolders.size(), 2);
    EXPECT_EQ(openedFolders.last().toLocalFile(), QString::fromStdString((home / "src/original").string()));

    // A source whose files are gone: a sentence, nothing opened.
    fs::remove_all(home / "src/sam");
    view->revealSource(rowOf(view, "sam"));
    EXPECT_EQ(openedFolders.size(), 2);
    EXPECT_TRUE(model->lastError().contains(QStringLiteral("nothing is there any more")));

    menu = view->showRowMenu(rowOf(view, "copy"), QPoint(10, 10));
    menu->actions()[1]->trigger();
    EXPECT_EQ(model->registry().find("copy"), nullptr);
    EXPECT_EQ(rowOf(view, "copy"), -1);
    EXPECT_FALSE(fs::exists(home / "src/copy") == false) << "the source's files stay";
}

TEST_F(SourcesViewTest, ShowingTheScreenAgainWhileAnalysesRunStartsNoSecondOne) {
    start();
    registerFolders();
    model->runs().startScan(ScanRequest{});
    ASSERT_TRUE(settle());
    QSignalSpy safety(&model->analysis(), &AnalysisModel::isAnalyzingChanged);
    QSignalSpy duplicates(&model->analysis(), &AnalysisModel::isFindingDuplicatesChanged);
    SourcesView* view = showSources(false);
    EXPECT_TRUE(model->analysis().isAnalyzing());
    EXPECT_TRUE(model->analysis().isFindingDuplicates());
    // Hidden and shown again before either analysis reported back.
    view->hide();
    view->show();
    view->hide();
    view->show();
    ASSERT_TRUE(settle());
    EXPECT_EQ(safety.count(), 2) << "one analysis: started once, ended once";
    EXPECT_EQ(duplicates.count(), 2);
    ASSERT_TRUE(model->analysis().deletion().has_value());
    ASSERT_FALSE(model->analysis().duplicateFindings().empty());

    // With both results held, showing again starts nothing.
    view->hide();
    view->show();
    EXPECT_FALSE(model->analysis().isAnalyzing());
    EXPECT_FALSE(model->analysis().isFindingDuplicates());
}

// No two of the texts and buttons of `area` that are shown overlap.
static void expectNothingOverlaps(QWidget* area) {
    std::vector<QWidget*> parts;
    for (QWidget* w : area->findChildren<QWidget*>())
        if ((qobject_cast<QLabel*>(w) || qobject_cast<QPushButton*>(w)) && w->isVisibleTo(area)) parts.push_back(w);
    for (size_t i = 0; i < parts.size(); ++i)
        for (size_t j = i + 1; j < parts.size(); ++j) {
            if (parts[i]->isAncestorOf(parts[j]) || parts[j]->isAncestorOf(parts[i])) continue;
            const QRect a(parts[i]->mapTo(area, QPoint()), parts[i]->size());
            const QRect b(parts[j]->mapTo(area, QPoint()), parts[j]->size());
            EXPECT_FALSE(a.intersects(b))
                << parts[i]->objectName().toStdString() << " / " << parts[j]->objectName().toStdString();
        }
}

TEST_F(SourcesViewTest, TheEmptyStateUnderAnOwnerChoiceKeepsItsPartsApart) {
    liveDatabase();
    start();
    // Sam's archive lies in the root, but no source is registered.
    scanSamsArchive();
    model->sources().removeSource(QStringLiteral("sam"));
    ASSERT_TRUE(settle());

    SourcesView* view = showSources();
    // About the room the main window gives a screen at its smallest.
    window->setFixedSize(660, 530);
    QTest::mouseClick(view->findChild<QPushButton*>(QStringLiteral("emptyConnectMessages")), Qt::LeftButton);
    ASSERT_FALSE(model->sources().pendingOwnerChoice().isNull());
    ASSERT_NE(view->whichArchivePanel(), nullptr);
    QCoreApplication::processEvents();
    QWidget* empty = view->findChild<QWidget*>(QStringLiteral("sourcesEmptyState"));
    ASSERT_NE(empty, nullptr);
    EXPECT_TRUE(empty->isVisible());
    expectNothingOverlaps(empty);
    kx::test::snapshot(*window, QStringLiteral("sources-empty-under-owner-choice"));
}

TEST_F(SourcesViewTest, AnOwnerChoiceShowsThePanelAboveTheListAndAChoiceConnects) {
    liveDatabase();
    start();
    // Another person's archive already lies in the root.
    scanSamsArchive();

    SourcesView* view = showSources();
    QTest::mouseClick(view->connectButton(), Qt::LeftButton);
    ASSERT_FALSE(model->sources().pendingOwnerChoice().isNull());
    sources::WhichArchivePanel* panel = view->whichArchivePanel();
    ASSERT_NE(panel, nullptr);
    EXPECT_TRUE(panel->isVisible());
    EXPECT_TRUE(view->content()->isVisible()) << "the panel stands above the list";
    ASSERT_EQ(panel->addButtons().size(), 1);
    EXPECT_EQ(panel->addButtons()[0]->text(), QStringLiteral("Add to \"sam\""));

    // Blanks only keep "Start New Archive" disabled.
    QTest::keyClicks(panel->newNameField(), QStringLiteral("   "));
    EXPECT_FALSE(panel->startNewButton()->isEnabled());
    panel->newNameField()->clear();
    QTest::keyClicks(panel->newNameField(), QStringLiteral(" fenna "));
    EXPECT_TRUE(panel->startNewButton()->isEnabled());

    QTest::mouseClick(panel->addButtons()[0], Qt::LeftButton);
    EXPECT_TRUE(model->sources().pendingOwnerChoice().isNull());
    ASSERT_NE(model->registry().find("local-messages"), nullptr);
    EXPECT_EQ(model->registry().find("local-messages")->owner, "sam");
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(view->whichArchivePanel(), nullptr);
    ASSERT_TRUE(settle());
}

TEST_F(SourcesViewTest, HostilePathsAndNamesStayOnOneElidedLineOfTheUsualHeight) {
    start();
    model->mutableRegistry().add(folderSource("plain", "jorin", home / "src/plain"));
    kx::Source hostile = folderSource("hostile", "jo\u202Erin", home / "x");
    hostile.path = "/tmp/a\nb\"c'$(rm -rf ~)\u202Etxt.exe/" + std::string(4000, 'p');
    hostile.label = std::string("two\nlines \u2066isolated");
    model->mutableRegistry().add(hostile);
    emit model->registryChanged();
    SourcesView* view = showSources();
    ASSERT_TRUE(settle());

    const QStringList texts = rowTexts(view, "hostile");
    for (const QString& t : texts) {
        EXPECT_FALSE(t.contains(QLatin1Char('\n'))) << t.toStdString();
        EXPECT_FALSE(t.contains(QChar(0x202E))) << t.toStdString();
        EXPECT_FALSE(t.contains(QChar(0x2066))) << t.toStdString();
        EXPECT_LT(t.size(), 400) << "elided to the row's width";
    }
    EXPECT_TRUE(texts[1].contains(QChar(0x2026))) << "the long path is shortened in the middle";
    EXPECT_TRUE(texts[1].startsWith(QStringLiteral("/tmp/a")));
    QListView* list = view->list();
    const int plainHeight = list->visualRect(view->listModel()->index(rowOf(view, "plain"))).height();
    const int hostileHeight = list->visualRect(view->listModel()->index(rowOf(view, "hostile"))).height();
    EXPECT_EQ(hostileHeight, plainHeight);
    EXPECT_LE(list->horizontalScrollBar()->maximum(), 0) << "nothing is wider than the list";
}
