// The sources room's screens in each of their states, checked for text cut
// short: every shown label and button gets the room its text needs (a wrapped
// label its full height). With KX_SNAPSHOT_DIR set, each state is also saved
// there as a PNG file for a person to look at.
#include "app/model/filters_model.h"
#include "app/model/sources_model.h"
#include "app/ui/screen_widgets.h"
#include "sources/add_source_view.h"
#include "sources/coverage_view.h"
#include "sources/filters_view.h"
#include "sources/source_row.h"
#include "sources/sources_view.h"
#include "tests/sources/coverage_samples.h"
#include "tests/sources/sources_screen_support.h"
#include "tests/support/model_test_access.h"
#include "tests/support/snapshots.h"

#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace fs = std::filesystem;
namespace fx = kx::fixtures;
using Verdict = kx::SourceDeletionReport::Verdict;

namespace {

class ScreensLook : public kx::test::ScreenTest {
protected:
    // Checks `root` for text cut short, then saves it as `name`.png when asked.
    void look(QWidget* root, const QString& name) {
        QCoreApplication::processEvents();
        for (QLabel* l : root->findChildren<QLabel*>()) {
            if (!l->isVisibleTo(root) || l->text().isEmpty() || qobject_cast<ElidedLabel*>(l)) continue;
            if (l->wordWrap())
                EXPECT_GE(l->height(), l->heightForWidth(l->width()))
                    << name.toStdString() << ": " << l->text().toStdString();
            else EXPECT_GE(l->width(), l->sizeHint().width()) << name.toStdString() << ": " << l->text().toStdString();
        }
        for (QPushButton* b : root->findChildren<QPushButton*>()) {
            if (!b->isVisibleTo(root) || b->text().isEmpty()) continue;
            EXPECT_GE(b->width(), b->sizeHint().width()) << name.toStdString() << ": " << b->text().toStdString();
        }
        kx::test::saveSnapshot(root->grab(), name);
    }

    sources::SourcesView* showSources(QSize size = QSize(900, 760)) {
        return show<sources::SourcesView>([this](QWidget* p) { return new sources::SourcesView(*model, p); }, size);
    }

    // Six sources, one in each status (and a sixth with a hostile path), with
    // every verdict, both kinds of duplicate note and one identical group.
    void sixSources() {
        const kx::Date now = model->clock().now();
        auto& reg = model->mutableRegistry();
        fs::create_directories(home / "src/ready");
        fs::create_directories(home / "src/copy");
        fs::create_directories(home / "src/new");
        fs::create_directories(home / "src/broken");
        auto ready = folderSource("t7-archive", "jorin", home / "src/ready");
        ready.label = "Old MacBook (2019)";
        ready.lastScanned = now - std::chrono::hours(3);
        auto copy = folderSource("t7-copy", "jorin", home / "src/copy");
        copy.lastScanned = now - std::chrono::hours(26);
        auto gone = folderSource("usb-stick", "jorin", home / "src/unplugged");
        gone.lastScanned = now - std::chrono::hours(24 * 40);
        auto fresh = folderSource("sam-folder", "sam", home / "src/new");
        auto broken = folderSource("broken-backup", "sam", home / "src/broken");
        broken.lastError = "The database is damaged.";
        broken.lastScanned = now - std::chrono::minutes(5);
        auto noMessages = folderSource("iphone-2017", "jorin", home / "src/broken");
        noMessages.format = kx::SourceFormat::iosBackupNoMessages;
        noMessages.label = std::string("iPhone backup \u202Egnp.exe $(rm -rf ~)\n") + std::string(600, 'x');
        for (const auto& s : {ready, copy, gone, fresh, broken, noMessages}) reg.add(s);
        emit model->registryChanged();
        // The analyses the screen asks for on showing run to the end first; the
        // verdicts and findings below then stand for every kind there is.
        ASSERT_TRUE(settle());

        kx::DeletionSafetyReport report;
        auto verdict = [&](const std::string& id, Verdict v, int64_t unique, std::vector<std::string> reasons) {
            kx::SourceDeletionReport r;
            r.sourceId = id;
            r.messagesRead = 18214;
            r.messagesInArchive = 18214 - unique;
            r.uniqueMessages = unique;
            r.attachments = 912;
            r.hashVerifiedAttachments = unique ? 870 : 912;
            r.verdict = v;
            r.reasons = std::move(reasons);
            report.sources.push_back(r);
        };
        verdict("t7-archive", Verdict::verifiedRedundant, 0, {"Every message and attachment is in the tresk."});
        verdict("t7-copy", Verdict::verifiedRedundant, 0, {});
        verdict("usb-stick", Verdict::unknown, 0, {"The source could not be read."});
        verdict("broken-backup", Verdict::doNotDelete, 312,
                {"312 messages exist only here.", "42 attachments could not be verified by hash."});
        ModelTestAccess::setDeletion(model->analysis(), report);
        AnalysisModel::DuplicateFindings findings;
        findings["t7-copy"] = {"t7-copy", "identical", "t7-archive", "Both hold the same 18,214 messages."};
        findings["t7-archive"] = {"t7-archive", "identical", "t7-copy", "Both hold the same 18,214 messages."};
        findings["usb-stick"] = {"usb-stick", "redundant", "t7-archive", "Every message here is also in t7-archive."};
        ModelTestAccess::setDuplicates(model->analysis(), findings, {{"t7-archive", "t7-copy"}});
    }
};

} // namespace

TEST_F(ScreensLook, SourcesEmptyLoadingAndFull) {
    start();
    {
        showSources();
        look(window.get(), "sources-empty-no-database");
    }
    messagesFolder(home / "Library/Messages", 60);
    {
        sources::SourcesView* view = showSources();
        look(window.get(), "sources-empty");
        // Connecting: the scan runs at once, its progress in the header.
        QTest::mouseClick(view->findChild<QPushButton*>(QStringLiteral("emptyConnectMessages")), Qt::LeftButton);
        ASSERT_TRUE(model->runs().isRunning());
        look(window.get(), "sources-scanning");
        ASSERT_TRUE(settle());
    }
    model->sources().removeSource(QStringLiteral("local-messages"));
    ASSERT_TRUE(settle());
    sources::SourcesView* view = showSources(QSize(900, 1040));
    sixSources();
    view->listModel()->toggleExpanded(4); // "broken-backup", with its reasons
    look(window.get(), "sources-six");
}

TEST_F(ScreensLook, OwnerChoiceAndTheAddSheetWithItsRefusals) {
    messagesFolder(home / "Library/Messages", 30);
    start();
    fx::writeMessagesFolder(home / "src/sam", fx::Options{});
    model->mutableRegistry().add(folderSource("sam-folder", "sam", home / "src/sam"));
    emit model->registryChanged();
    model->runs().startScan(ScanRequest{});
    ASSERT_TRUE(settle());
    sources::SourcesView* view = showSources();
    QTest::mouseClick(view->connectButton(), Qt::LeftButton);
    ASSERT_FALSE(model->sources().pendingOwnerChoice().isNull());
    ASSERT_TRUE(settle());
    look(window.get(), "sources-owner-choice");

    view->presentAddSheet();
    sources::AddSourceView* sheet = view->addSheet();
    ASSERT_NE(sheet, nullptr);
    look(sheet, "add-source-empty");
    QTest::keyClicks(sheet->identifierField(), QStringLiteral("sam-folder"));
    QTest::keyClicks(sheet->ownerField(), QStringLiteral(".."));
    QTest::keyClicks(sheet->pathField(), QStringLiteral("/Volumes/T7/Messages"));
    EXPECT_EQ(sheet->problems().size(), 3);
    look(sheet, "add-source-refusals");
    sheet->reject();
}

TEST_F(ScreensLook, CoverageNothingAnalysingAndEveryGapKind) {
    start();
    auto showCoverage = [this] {
        return show<sources::CoverageView>([this](QWidget* p) { return new sources::CoverageView(*model, p); },
                                           QSize(900, 900));
    };
    {
        showCoverage();
        ASSERT_TRUE(settle());
        look(window.get(), "coverage-nothing-analyzed");
    }
    fx::Options o;
    o.messages = 40;
    scanJorinAndSam(o, o);
    {
        sources::CoverageView* view = showCoverage();
        if (!model->analysis().isAnalyzing()) QTest::mouseClick(view->refreshButton(), Qt::LeftButton);
        ASSERT_TRUE(model->analysis().isAnalyzing());
        look(window.get(), "coverage-analyzing");
        ASSERT_TRUE(settle());
    }
    const kx::Date now = model->clock().now();
    kx::OwnerCoverage quietOnly;
    quietOnly.owner = "fenna";
    quietOnly.firstDate = now - std::chrono::hours(24 * 800);
    quietOnly.lastDate = now - std::chrono::hours(2);
    quietOnly.messageCount = 1;
    quietOnly.periods.push_back({*quietOnly.firstDate, *quietOnly.lastDate, 1});
    kx::OwnerCoverage nothing;
    nothing.owner = "new-owner";
    ModelTestAccess::setCoverage(model->analysis(),
                                 {kx::test::sampleCoverage("jorin", now, 20, 7), quietOnly, nothing});
    showCoverage();
    look(window.get(), "coverage-every-gap-kind");
}

TEST_F(ScreensLook, FiltersEmptyAndWithRulesPreviewAndSuggestions) {
    start();
    auto showFilters = [this] {
        return show<sources::FiltersView>([this](QWidget* p) { return new sources::FiltersView(*model, p); },
                                          QSize(900, 1000));
    };
    showFilters();
    look(window.get(), "filters-no-archives");

    fx::Options o;
    o.messages = 40;
    scanJorinAndSam(o, o);
    sources::FiltersView* view = showFilters();
    look(window.get(), "filters-no-rules");
    QTest::keyClicks(view->valueField(), QStringLiteral("26290"));
    QTest::mouseClick(view->addRuleButton(), Qt::LeftButton);
    QTest::keyClicks(view->valueField(), QStringLiteral("no-reply"));
    view->kindPicker()->setCurrentIndex(1);
    QTest::mouseClick(view->addRuleButton(), Qt::LeftButton);
    ASSERT_TRUE(settle());
    kx::FilterPreview preview;
    preview.summary = "3 of 9 conversations would be skipped from now on.";
    for (int i = 0; i < 53; ++i) {
        kx::FilterPreview::ConversationImpact c;
        c.id = "chat" + std::to_string(i);
        c.handle = std::to_string(26290 + i);
        c.keptCount = 12 + i;
        c.decision.keep = false;
        c.decision.explanation = "Matches the rule \u201cExact number 26290\u201d";
        preview.impacts.push_back(c);
    }
    std::vector<kx::FilterSuggestion> suggestions;
    for (int i = 0; i < 3; ++i) {
        kx::FilterSuggestion s;
        s.rule.id = "S" + std::to_string(i);
        s.rule.value = std::to_string(72000 + i);
        s.caption = "Short code that sent 40 messages and was never answered";
        suggestions.push_back(s);
    }
    ModelTestAccess::setFilterPreview(model->filtersModel(), preview);
    ModelTestAccess::setFilterSuggestions(model->filtersModel(), suggestions);
    look(window.get(), "filters-rules-preview-suggestions");
}
