// The filters screen over the real model and a scanned archive: adding and
// removing rules changes the preview and the saved file; the form's rules;
// what the preview and the suggestions show at most; a damaged filters file is
// never saved over.
#include "sources/filters_view.h"
#include "tests/sources/sources_screen_support.h"
#include "tests/support/model_test_access.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QUuid>

namespace fs = std::filesystem;
namespace fx = kx::fixtures;
using sources::FiltersView;

namespace {

class FiltersViewTest : public kx::test::ScreenTest {
protected:
    FiltersView* showFilters() {
        return show<FiltersView>([this](QWidget* parent) { return new FiltersView(*model, parent); });
    }
    // Two owners with scanned archives: "jorin" (8 handles, three of them
    // addresses at example.com) and "sam".
    void scannedArchives() {
        fx::Options few;
        few.messages = 20;
        few.handles = 1;
        few.groupChats = 0;
        scanJorinAndSam(fx::Options{}, few);
    }
    static QStringList labels(QWidget* w) {
        QStringList out;
        for (auto* l : w->findChildren<QLabel*>()) out << l->text();
        return out;
    }
    static kx::FilterPreview::ConversationImpact impact(int i, bool keep) {
        kx::FilterPreview::ConversationImpact c;
        c.id = "chat" + std::to_string(i);
        if (i % 2) c.handle = "+1555000" + std::to_string(i);
        c.keptCount = i;
        c.decision.keep = keep;
        c.decision.explanation = keep ? "kept" : "skipped by a rule";
        return c;
    }
};

} // namespace

TEST_F(FiltersViewTest, WithoutSourcesOnlyTheHeaderAndTheNoArchivesTextShow) {
    start();
    ModelTestAccess::setFilterPreview(model->filtersModel(), kx::FilterPreview{});
    FiltersView* view = showFilters();
    EXPECT_TRUE(view->findChild<QLabel*>(QStringLiteral("noArchives"))->isVisible());
    EXPECT_FALSE(view->findChild<QWidget*>(QStringLiteral("filtersBody"))->isVisible());
    EXPECT_TRUE(view->selectedOwner().isEmpty());
    EXPECT_FALSE(model->filtersModel().filterPreview().has_value()) << "the preview for no owner is cleared";
}

TEST_F(FiltersViewTest, AddingAndRemovingARuleChangesThePreviewAndTheSavedFile) {
    start();
    scannedArchives();
    FiltersView* view = showFilters();
    // The first owner is chosen and its preview loads at once.
    EXPECT_EQ(view->selectedOwner(), QStringLiteral("jorin"));
    ASSERT_EQ(view->ownerButtons().size(), 2);
    EXPECT_TRUE(view->ownerButtons()[0]->isChecked());
    ASSERT_TRUE(model->filtersModel().filterPreview().has_value());
    EXPECT_TRUE(view->previewSection()->isVisible());
    EXPECT_TRUE(view->impactCards().isEmpty()) << "no rules, nothing skipped";
    EXPECT_TRUE(view->findChild<QLabel*>(QStringLiteral("noRules"))->isVisible());

    view->kindPicker()->setCurrentIndex(1); // contains text
    QTest::keyClicks(view->valueField(), QStringLiteral("example.com"));
    QTest::mouseClick(view->addRuleButton(), Qt::LeftButton);
    EXPECT_TRUE(view->valueField()->text().isEmpty());
    EXPECT_EQ(view->kindPicker()->currentIndex(), 1) << "the kind stays";
    ASSERT_EQ(view->ruleCards().size(), 1);
    EXPECT_TRUE(labels(view->ruleCards()[0]).contains(QStringLiteral("contains: example.com")));
    EXPECT_FALSE(view->findChild<QLabel*>(QStringLiteral("noRules"))->isVisible());
    const auto& rule = model->filtersModel().filters().rules.at(0);
    EXPECT_EQ(rule.kind, kx::FilterRule::Kind::contains);
    EXPECT_EQ(rule.enabled, 1);
    EXPECT_FALSE(rule.note.has_value());
    EXPECT_EQ(QUuid::fromString(QString::fromStdString(rule.id)).isNull(), false);
    // Saved for the next scan and the scheduled run.
    EXPECT_EQ(kx::FilterSet::load(configDir() / "filters.json").rules, model->filtersModel().filters().rules);

    // Three of the eight people write from example.com.
    EXPECT_EQ(view->impactCards().size(), 3);
    for (QWidget* c : view->impactCards()) {
        const QString all = labels(c).join('|');
        EXPECT_TRUE(all.contains(QStringLiteral("@example.com"))) << all.toStdString();
        EXPECT_TRUE(all.contains(QStringLiteral(" kept")));
    }
    EXPECT_FALSE(view->moreLabel()->isVisible());

    // Another owner's archive: its own preview.
    QTest::mouseClick(view->ownerButtons()[1], Qt::LeftButton);
    EXPECT_EQ(view->selectedOwner(), QStringLiteral("sam"));
    EXPECT_TRUE(view->impactCards().isEmpty()) << "sam writes with one phone number";
    QTest::mouseClick(view->ownerButtons()[0], Qt::LeftButton);
    EXPECT_EQ(view->impactCards().size(), 3);

    auto* remove = view->ruleCards()[0]->findChild<QPushButton*>(QStringLiteral("removeRule"));
    QTest::mouseClick(remove, Qt::LeftButton);
    EXPECT_TRUE(model->filtersModel().filters().rules.empty());
    EXPECT_TRUE(view->impactCards().isEmpty());
    EXPECT_TRUE(kx::FilterSet::load(configDir() / "filters.json").rules.empty());
}

TEST_F(FiltersViewTest, TheFormNeedsAValueExceptForAllShortcodes) {
    start();
    scannedArchives();
    FiltersView* view = showFilters();
    EXPECT_FALSE(view->addRuleButton()->isEnabled());
    QTest::keyClicks(view->valueField(), QStringLiteral(" "));
    EXPECT_TRUE(view->addRuleButton()->isEnabled()) << "a single space counts";
    view->kindPicker()->setCurrentIndex(2);
    EXPECT_FALSE(view->valueField()->isVisible());
    EXPECT_TRUE(view->addRuleButton()->isEnabled());
    // The button keeps its own width where the field was.
    QCoreApplication::processEvents();
    EXPECT_EQ(view->addRuleButton()->width(), view->addRuleButton()->sizeHint().width());
    view->valueField()->clear();
    EXPECT_TRUE(view->addRuleButton()->isEnabled());
    QTest::mouseClick(view->addRuleButton(), Qt::LeftButton);
    ASSERT_EQ(view->ruleCards().size(), 1);
    EXPECT_TRUE(labels(view->ruleCards()[0]).contains(QStringLiteral("All shortcode senders")));
    view->kindPicker()->setCurrentIndex(0);
    EXPECT_TRUE(view->valueField()->isVisible());
    EXPECT_FALSE(view->addRuleButton()->isEnabled());

    kx::FilterRule pattern;
    pattern.kind = kx::FilterRule::Kind::pattern;
    pattern.value = "*\nbank";
    EXPECT_EQ(FiltersView::ruleText(pattern), QStringLiteral("pattern: *\u2424bank"));
    pattern.kind = static_cast<kx::FilterRule::Kind>(7);
    EXPECT_EQ(FiltersView::ruleText(pattern), QStringLiteral("pattern: *\u2424bank"));
}

TEST_F(FiltersViewTest, ThePreviewShowsFiftySkippedAndTheSuggestionsTwenty) {
    start();
    scannedArchives();
    FiltersView* view = showFilters();
    kx::FilterPreview preview;
    preview.summary = "120 conversations would be skipped.";
    for (int i = 0; i < 120; ++i) preview.impacts.push_back(impact(i, false));
    for (int i = 0; i < 30; ++i) preview.impacts.push_back(impact(200 + i, true));
    preview.impacts[0].title.reset();
    preview.impacts[0].handle.reset(); // neither text: "Unknown"
    std::vector<kx::FilterSuggestion> suggestions;
    for (int i = 0; i < 35; ++i) {
        kx::FilterSuggestion s;
        s.rule.id = "S" + std::to_string(i);
        s.rule.kind = kx::FilterRule::Kind::handle;
        s.rule.value = std::to_string(26290 + i);
        s.caption = "short code, never answered";
        suggestions.push_back(s);
    }
    ModelTestAccess::setFilterPreview(model->filtersModel(), preview);
    ModelTestAccess::setFilterSuggestions(model->filtersModel(), suggestions);

    EXPECT_EQ(view->impactCards().size(), 50);
    EXPECT_TRUE(labels(view->impactCards()[0]).contains(QStringLiteral("Unknown")));
    EXPECT_TRUE(view->moreLabel()->isVisible());
    EXPECT_EQ(view->moreLabel()->text(), QStringLiteral("and 70 more"));
    EXPECT_EQ(view->suggestionCards().size(), 20);

    preview.impacts.resize(50);
    ModelTestAccess::setFilterPreview(model->filtersModel(), preview);
    EXPECT_EQ(view->impactCards().size(), 50);
    EXPECT_FALSE(view->moreLabel()->isVisible());

    // The same suggestion twice: its rule twice, with one id; one "Remove" takes both.
    view->addSuggestion(3);
    ModelTestAccess::setFilterSuggestions(model->filtersModel(), suggestions);
    view->addSuggestion(3);
    ASSERT_EQ(model->filtersModel().filters().rules.size(), 2u);
    EXPECT_EQ(model->filtersModel().filters().rules[0], model->filtersModel().filters().rules[1]);
    QTest::mouseClick(view->ruleCards()[0]->findChild<QPushButton*>(QStringLiteral("removeRule")), Qt::LeftButton);
    EXPECT_TRUE(model->filtersModel().filters().rules.empty());
}

TEST_F(FiltersViewTest, ADamagedFiltersFileIsNeverSavedOver) {
    kx::test::writeAll(configDir() / "filters.json", "{ this is not json");
    start();
    scannedArchives();
    FiltersView* view = showFilters();
    model->setLastError(QString());
    QTest::keyClicks(view->valueField(), QStringLiteral("26290"));
    QTest::mouseClick(view->addRuleButton(), Qt::LeftButton);
    EXPECT_TRUE(model->lastError().startsWith(QStringLiteral("Could not save your filters: ")));
    EXPECT_EQ(kx::test::readAll(configDir() / "filters.json"), "{ this is not json");
}
