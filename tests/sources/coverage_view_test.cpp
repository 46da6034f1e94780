// The coverage screen over the real analysis of generated sources, and the
// timeline bar's segments over made-up coverage.
#include "app/ui/screen_widgets.h"
#include "app/ui/widgets.h"
#include "sources/coverage_view.h"
#include "sources/source_display.h"
#include "tests/sources/coverage_samples.h"
#include "tests/sources/sources_screen_support.h"
#include "tests/support/model_test_access.h"

#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QSignalSpy>

namespace fs = std::filesystem;
namespace fx = kx::fixtures;
using namespace std::chrono;
using sources::CoverageView;
using sources::TimelineBar;

namespace {

class CoverageViewTest : public kx::test::ScreenTest {
protected:
    CoverageView* showCoverage() {
        return show<CoverageView>([this](QWidget* parent) { return new CoverageView(*model, parent); });
    }
    static QLabel* child(QWidget* w, const char* name) { return w->findChild<QLabel*>(QString::fromLatin1(name)); }
};

kx::Date onDay(int y, unsigned m, unsigned d) { return sys_days(year(y) / month(m) / day(d)); }

} // namespace

TEST_F(CoverageViewTest, AFirstVisitStartsTheAnalysisAndTheOwnersReplaceTheEmptyState) {
    start();
    fx::Options o;
    o.messages = 60;
    scanJorinAndSam(o, o);
    ASSERT_TRUE(model->analysis().coverage().empty());

    CoverageView* view = showCoverage();
    EXPECT_TRUE(view->emptyState()->isVisible());
    EXPECT_EQ(static_cast<ContentUnavailableWidget*>(view->emptyState())->title(),
              QStringLiteral("Nothing analyzed yet"));
    EXPECT_TRUE(model->analysis().isAnalyzing()) << "started on showing";
    EXPECT_TRUE(view->spinner()->isVisible());
    EXPECT_FALSE(view->refreshButton()->isEnabled());

    ASSERT_TRUE(settle());
    EXPECT_FALSE(view->emptyState()->isVisible());
    EXPECT_FALSE(view->spinner()->isVisible());
    EXPECT_TRUE(view->refreshButton()->isEnabled());
    const auto sections = view->ownerSections();
    ASSERT_EQ(sections.size(), 2);
    EXPECT_EQ(child(sections[0], "messageCount")->text(),
              QString::number(model->analysis().coverage()[0].messageCount) + " messages");
    EXPECT_EQ(static_cast<ElidedLabel*>(child(sections[1], "ownerName"))->fullText(), QStringLiteral("sam"));
    // The count and the gaps of the last run's report, which the menu-bar panel
    // and the health screen show: reactions counted, the trailing gap since 2019 there.
    const auto& report = *model->report();
    ASSERT_EQ(report.owners.size(), 2u);
    std::vector<std::tuple<std::string, kx::CoverageGap::Kind, kx::Date>> shown, reported;
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(child(sections[i], "messageCount")->text(),
                  QString::number(report.owners[static_cast<size_t>(i)].uniqueMessages) + " messages");
        for (const auto& g : model->analysis().coverage()[static_cast<size_t>(i)].gaps)
            shown.emplace_back(g.owner, g.kind, g.start);
    }
    for (const auto& g : report.gaps) reported.emplace_back(g.owner, g.kind, g.start);
    EXPECT_FALSE(reported.empty());
    EXPECT_EQ(shown, reported);
    EXPECT_TRUE(view->legend()->isVisible());
    EXPECT_EQ(view->legend()->findChildren<QWidget*>(QStringLiteral("legendRow")).size(), 5);
    QStringList texts;
    for (QLabel* l : view->findChildren<QLabel*>())
        if (l->isVisibleTo(view)) texts << l->text();
    EXPECT_TRUE(texts.contains(QStringLiteral("Computed from the messages actually in your tresk \u2014 not from "
                                              "what a source claims to contain.")))
        << texts.join('|').toStdString();
    EXPECT_TRUE(texts.contains(QStringLiteral("messages exist in the tresk for this period")));

    // The archive stopped in 2019: the dates show, and the analysis's gaps are rows.
    const auto& jorin = model->analysis().coverage()[0];
    ASSERT_TRUE(jorin.firstDate && jorin.lastDate);
    EXPECT_EQ(child(sections[0], "firstDate")->text(), sources::mediumDate(*jorin.firstDate));
    auto* gaps = sections[0]->findChild<QListView*>(QStringLiteral("gapList"));
    if (jorin.gaps.empty()) {
        EXPECT_NE(sections[0]->findChild<QWidget*>(QStringLiteral("noGaps")), nullptr);
    } else {
        ASSERT_NE(gaps, nullptr);
        EXPECT_EQ(gaps->model()->rowCount(), static_cast<int>(jorin.gaps.size()));
        EXPECT_EQ(gaps->height(), gaps->sizeHint().height()) << "every gap row is shown, none scrolled away";
    }
    auto* bar = sections[0]->findChild<TimelineBar*>();
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->accessibleName(), QStringLiteral("Coverage timeline for jorin"));
    EXPECT_TRUE(bar->accessibleDescription().startsWith(QStringLiteral("Archived from ")));

    // Coming back with coverage held starts nothing; "Refresh" does.
    QSignalSpy busy(&model->analysis(), &AnalysisModel::isAnalyzingChanged);
    view->hide();
    view->show();
    EXPECT_EQ(busy.count(), 0);
    QTest::mouseClick(view->refreshButton(), Qt::LeftButton);
    EXPECT_TRUE(model->analysis().isAnalyzing());
    ASSERT_TRUE(settle());
    EXPECT_EQ(view->ownerSections().size(), 2);
}

TEST_F(CoverageViewTest, NothingToAnalyzeKeepsTheEmptyStateAndALaterVisitTriesAgain) {
    start();
    CoverageView* view = showCoverage();
    ASSERT_TRUE(settle());
    EXPECT_TRUE(view->emptyState()->isVisible());
    EXPECT_FALSE(view->legend()->isVisible());
    view->hide();
    view->show();
    EXPECT_TRUE(model->analysis().isAnalyzing()) << "coverage is still empty";
    ASSERT_TRUE(settle());
}

TEST(TimelineBarTest, SegmentsOfEveryKindStayInsideTheBar) {
    const kx::Date now = onDay(2026, 12, 9);
    kx::OwnerCoverage c;
    c.owner = "jorin";
    c.firstDate = onDay(2016, 1, 1);
    c.lastDate = onDay(2025, 12, 1);
    c.periods = {{onDay(2016, 1, 1), onDay(2020, 1, 1), 100}, {onDay(2021, 1, 1), onDay(2025, 12, 1), 100}};
    using K = kx::CoverageGap::Kind;
    auto gap = [](K kind, kx::Date a, kx::Date b) {
        return kx::CoverageGap{kind, "jorin", "g", a, b, 1, std::nullopt};
    };
    c.gaps = {gap(K::missing, onDay(2014, 1, 1), onDay(2016, 3, 1)), // starts before the first date
              gap(K::quiet, onDay(2020, 1, 1), onDay(2021, 1, 1)),
              gap(K::notScanned, onDay(2022, 5, 1), onDay(2022, 5, 1) + hours(3)), // a few hours
              gap(K::trailing, onDay(2025, 12, 1), onDay(2027, 6, 1)),             // ends after now
              gap(static_cast<K>(9), onDay(2023, 1, 1), onDay(2023, 2, 1)),
              gap(K::missing, onDay(2010, 1, 1), onDay(2011, 1, 1))}; // wholly before: not drawn
    const TimelineBar bar(c, now);
    const double width = 600;
    const auto segments = bar.segments(width);
    ASSERT_EQ(segments.size(), 2u + 5u);
    for (const auto& s : segments) {
        EXPECT_GE(s.rect.left(), 0.0);
        EXPECT_LE(s.rect.right(), width);
        EXPECT_GE(s.rect.width(), 1.5);
        EXPECT_EQ(s.rect.height(), TimelineBar::kHeight);
    }
    EXPECT_DOUBLE_EQ(segments[2].rect.left(), 0.0);                 // the early gap is cut at the start
    EXPECT_DOUBLE_EQ(segments[5].rect.right(), width);              // the trailing gap at the end
    EXPECT_DOUBLE_EQ(segments[4].rect.width(), 1.5);                // hours still show
    EXPECT_NEAR(segments[0].color.alphaF(), 0.75, 0.01);            // archived
    EXPECT_NEAR(segments[3].color.alphaF(), 0.45, 0.01);            // quiet
    EXPECT_EQ(segments[6].color.rgb(), secondaryTextColor().rgb()); // an unknown kind is neutral

    kx::OwnerCoverage none;
    none.owner = "sam";
    EXPECT_TRUE(TimelineBar(none, now).segments(width).empty());
    EXPECT_EQ(TimelineBar(none, now).accessibleDescription(), QStringLiteral("No messages archived"));
}

TEST_F(CoverageViewTest, OwnerSectionsFollowTheirDatesAndGaps) {
    start();
    const kx::Date now = model->clock().now();
    kx::OwnerCoverage openEnded;
    openEnded.owner = "first only";
    openEnded.firstDate = now - hours(24 * 30);
    openEnded.messageCount = 1;
    kx::OwnerCoverage quietOnly = kx::test::sampleCoverage("quiet", now, 2, 0);
    quietOnly.gaps = {kx::CoverageGap{kx::CoverageGap::Kind::quiet, "quiet", "q", now - hours(24 * 300),
                                      now - hours(24 * 200), 100, std::string("a source spans it")}};
    kx::OwnerCoverage clean = kx::test::sampleCoverage("clean", now, 1, 0);
    clean.gaps.clear();
    const kx::OwnerCoverage busy = kx::test::sampleCoverage("jorin\u202Eevil\nname", now, 20, 300);
    ModelTestAccess::setCoverage(model->analysis(), {openEnded, quietOnly, clean, busy});

    CoverageView* view = showCoverage();
    EXPECT_FALSE(model->analysis().isAnalyzing()) << "coverage is held: nothing started";
    const auto sections = view->ownerSections();
    ASSERT_EQ(sections.size(), 4);
    // A first date without a last one: the bar, no date row.
    EXPECT_NE(sections[0]->findChild<TimelineBar*>(), nullptr);
    EXPECT_EQ(child(sections[0], "firstDate"), nullptr);
    EXPECT_EQ(child(sections[0], "messageCount")->text(), QStringLiteral("1 messages"));
    // Only quiet periods: listed as rows, and no "No gaps" label.
    EXPECT_EQ(sections[1]->findChild<QWidget*>(QStringLiteral("noGaps")), nullptr);
    auto* quietRows = sections[1]->findChild<QListView*>(QStringLiteral("gapList"));
    ASSERT_NE(quietRows, nullptr);
    const QString quietRow = quietRows->model()->index(0, 0).data(Qt::AccessibleTextRole).toString();
    EXPECT_TRUE(quietRow.startsWith(QStringLiteral("Quiet period, 100 days, ")));
    EXPECT_TRUE(quietRow.endsWith(QStringLiteral(", a source spans it")));
    EXPECT_TRUE(quietRow.contains(QStringLiteral(" \u2192 ")));
    EXPECT_TRUE(
        sections[1]->findChild<TimelineBar*>()->accessibleDescription().endsWith(QStringLiteral(" No coverage gaps.")));
    // No gaps at all: the green label.
    EXPECT_NE(sections[2]->findChild<QWidget*>(QStringLiteral("noGaps")), nullptr);
    // Three hundred gaps and a hostile owner name: one line, every row listed.
    auto* name = static_cast<ElidedLabel*>(child(sections[3], "ownerName"));
    EXPECT_FALSE(name->text().contains(QLatin1Char('\n')));
    EXPECT_FALSE(name->text().contains(QChar(0x202E)));
    auto* rows = sections[3]->findChild<QListView*>(QStringLiteral("gapList"));
    EXPECT_EQ(rows->model()->rowCount(), 301);
    EXPECT_EQ(rows->height(), rows->sizeHint().height());
}
