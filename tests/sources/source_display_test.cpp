// What the sources and coverage screens show for the core's values: the
// neutral form for unknown values, texts from data on one line, the coverage
// span, segment geometry inside the bar, and the spoken summary.
#include "sources/source_display.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace std::chrono;
using namespace sources;

namespace {

kx::Date onDay(int y, unsigned m, unsigned d) { return sys_days(year(y) / month(m) / std::chrono::day(d)); }

kx::CoverageGap gap(kx::CoverageGap::Kind kind, kx::Date start, kx::Date end, int64_t days) {
    return kx::CoverageGap{kind, "jorin", "a stretch", start, end, days, std::nullopt};
}

} // namespace

TEST(SourceDisplay, ValuesOutsideTheKnownCasesShowTheNeutralForm) {
    const auto status = statusLook(static_cast<kx::SourceStatus>(99));
    EXPECT_EQ(status.text, QStringLiteral("Unknown"));
    EXPECT_TRUE(status.neutral);
    const auto verdict = verdictLook(static_cast<kx::SourceDeletionReport::Verdict>(-3));
    EXPECT_EQ(verdict.text, QStringLiteral("Unknown"));
    EXPECT_EQ(verdict.symbol, QStringLiteral("questionmark.circle"));
    EXPECT_TRUE(verdict.neutral);
    const auto g = gapLook(static_cast<kx::CoverageGap::Kind>(42));
    EXPECT_EQ(g.tag, QStringLiteral("Unknown"));
    EXPECT_TRUE(g.neutral);
    EXPECT_EQ(formatText(static_cast<kx::SourceFormat>(7)), QStringLiteral("Unknown"));
    // Rows name every format by its case name.
    QStringList formats;
    for (const kx::SourceFormat f : kx::allSourceFormats()) formats << formatText(f);
    EXPECT_EQ(formats, (QStringList{"macosMessagesFolder", "liveChatDB", "iosDeviceBackup", "iosBackupNoMessages",
                                    "htmlExport"}));

    // The known ones, with their colours' meaning.
    EXPECT_EQ(statusLook(kx::SourceStatus::neverScanned).tone, Tone::orange);
    EXPECT_TRUE(statusLook(kx::SourceStatus::noMessages).neutral);
    EXPECT_EQ(verdictLook(kx::SourceDeletionReport::Verdict::verifiedRedundant).text,
              QStringLiteral("Verified redundant"));
    EXPECT_EQ(verdictLook(kx::SourceDeletionReport::Verdict::doNotDelete).tone, Tone::red);
}

TEST(SourceDisplay, DuplicateNotesOnlyForTheKindsTheRowKnows) {
    kx::DuplicateSourceAnalyzer::Finding f{"a", "identical", "b", "why"};
    EXPECT_EQ(duplicateLook(f)->firstLine, QStringLiteral("Same content as b"));
    f.kind = "redundant";
    EXPECT_EQ(duplicateLook(f)->firstLine, QStringLiteral("Already contained in b"));
    f.kind = "overlapping";
    EXPECT_FALSE(duplicateLook(f).has_value());
}

TEST(SourceDisplay, BadgeAndBannerCounts) {
    EXPECT_TRUE(uniqueMessagesText(0).isEmpty());
    EXPECT_EQ(uniqueMessagesText(1), QStringLiteral("\u00B7 1 messages exist only here"));
    EXPECT_EQ(identicalGroupTitle(1), QStringLiteral("1 source hold identical content"));
    EXPECT_EQ(identicalGroupTitle(3), QStringLiteral("3 sources hold identical content"));
    kx::DeletionSafetyReport empty;
    EXPECT_EQ(deletionSummaryText(empty), QStringLiteral("0 of 0 archives verified redundant"));
}

TEST(SourceDisplay, DataTextsNeverBreakALineOrTurnItAround) {
    const QString hostile = QString::fromUtf8("a\nb\r\tc\u202Ed\u2067e\u200Ff\x7f") + QChar(0x85);
    const QString shown = singleLine(hostile);
    for (const QChar c : shown) {
        EXPECT_FALSE(c.category() == QChar::Other_Control) << int(c.unicode());
        EXPECT_FALSE(c.unicode() >= 0x202A && c.unicode() <= 0x202E);
        EXPECT_FALSE(c.unicode() >= 0x2066 && c.unicode() <= 0x2069);
        EXPECT_NE(c.unicode(), 0x200F);
    }
    EXPECT_TRUE(shown.startsWith(QStringLiteral("a\u2424b")));
    EXPECT_EQ(singleLine(QStringLiteral("plain $(x) \"q\" 'q' \u00e9\U0001F600")),
              QStringLiteral("plain $(x) \"q\" 'q' \u00e9\U0001F600"));
}

TEST(SourceDisplay, RelativeTimes) {
    const kx::Date now = onDay(2026, 12, 9) + hours(10);
    EXPECT_EQ(relativeShort(now - seconds(5), now), QStringLiteral("5 sec ago"));
    EXPECT_EQ(relativeShort(now - minutes(7), now), QStringLiteral("7 min ago"));
    EXPECT_EQ(relativeShort(now - hours(3) - minutes(12), now), QStringLiteral("3 hr, 12 min ago"));
    EXPECT_EQ(relativeShort(now - days(1) - hours(2), now), QStringLiteral("1 day, 2 hr ago"));
    EXPECT_EQ(relativeShort(now - days(40), now), QStringLiteral("40 days ago"));
    EXPECT_EQ(relativeShort(now + minutes(2), now), QStringLiteral("in 2 min"));
    EXPECT_EQ(relativeNamed(now - days(1) - hours(3), now), QStringLiteral("yesterday"));
    EXPECT_EQ(relativeNamed(now - minutes(1), now), QStringLiteral("1 minute ago"));
    EXPECT_EQ(relativeNamed(now - days(3), now), QStringLiteral("3 days ago"));

    kx::Source s;
    s.id = "x";
    s.owner = "jorin";
    EXPECT_EQ(rowAccessibleLabel(s), QStringLiteral("x, owner jorin"));
    EXPECT_EQ(rowAccessibleValue(s, kx::SourceStatus::unreachable, now), QStringLiteral("Unreachable. Never scanned."));
    s.label = "Old laptop";
    s.lastScanned = now - hours(2);
    EXPECT_EQ(rowAccessibleLabel(s), QStringLiteral("Old laptop, owner jorin"));
    EXPECT_EQ(rowAccessibleValue(s, kx::SourceStatus::ready, now), QStringLiteral("Ready. Last scanned 2 hours ago."));
}

TEST(CoverageDisplay, SpanEndsTodayAndNeedsAFirstDateInThePast) {
    const kx::Date now = onDay(2026, 12, 9);
    kx::OwnerCoverage c;
    EXPECT_FALSE(timelineSpan(c, now).has_value());
    c.firstDate = onDay(2027, 1, 1); // only in the future
    EXPECT_FALSE(timelineSpan(c, now).has_value());
    c.firstDate = onDay(2020, 1, 1);
    c.lastDate = onDay(2025, 12, 9); // a year old: the span still ends now
    const auto span = timelineSpan(c, now);
    ASSERT_TRUE(span.has_value());
    EXPECT_EQ(span->first, onDay(2020, 1, 1));
    EXPECT_EQ(span->second, now);
}

TEST(CoverageDisplay, SegmentsStayInsideTheBar) {
    const std::pair<kx::Date, kx::Date> span{onDay(2020, 1, 1), onDay(2020, 1, 11)}; // ten days
    auto g = segmentGeometry(onDay(2020, 1, 3), onDay(2020, 1, 5), span, 100);
    ASSERT_TRUE(g.has_value());
    EXPECT_DOUBLE_EQ(g->first, 20);
    EXPECT_DOUBLE_EQ(g->second, 20);
    // A few hours is still drawn 1.5 points wide.
    g = segmentGeometry(onDay(2020, 1, 5), onDay(2020, 1, 5) + hours(2), span, 100);
    ASSERT_TRUE(g.has_value());
    EXPECT_DOUBLE_EQ(g->second, 1.5);
    // Starting before the first date, or ending after now: cut at the edges.
    g = segmentGeometry(onDay(2019, 6, 1), onDay(2020, 1, 2), span, 100);
    ASSERT_TRUE(g.has_value());
    EXPECT_DOUBLE_EQ(g->first, 0);
    EXPECT_DOUBLE_EQ(g->second, 10);
    g = segmentGeometry(onDay(2020, 1, 10), onDay(2021, 1, 1), span, 100);
    ASSERT_TRUE(g.has_value());
    EXPECT_DOUBLE_EQ(g->first, 90);
    EXPECT_DOUBLE_EQ(g->first + g->second, 100);
    // A tiny segment at the very end grows leftwards, not past the edge.
    g = segmentGeometry(span.second - seconds(1), span.second, span, 100);
    ASSERT_TRUE(g.has_value());
    EXPECT_LE(g->first + g->second, 100.0);
    EXPECT_DOUBLE_EQ(g->second, 1.5);
    // Wholly outside: not drawn.
    EXPECT_FALSE(segmentGeometry(onDay(2018, 1, 1), onDay(2018, 2, 1), span, 100).has_value());
    EXPECT_FALSE(segmentGeometry(onDay(2022, 1, 1), onDay(2022, 2, 1), span, 100).has_value());
}

TEST(CoverageDisplay, SpokenSummaryCountsEverythingButQuietPeriods) {
    const kx::Date now = onDay(2026, 12, 9);
    kx::OwnerCoverage c;
    c.owner = "jorin";
    EXPECT_EQ(timelineAccessibleValue(c, now), QStringLiteral("No messages archived"));
    EXPECT_EQ(timelineAccessibleLabel(c), QStringLiteral("Coverage timeline for jorin"));
    c.firstDate = onDay(2024, 3, 1);
    c.lastDate = onDay(2025, 1, 1);
    const QString lead = "Archived from " + mediumDate(onDay(2024, 3, 1)) + " to " + mediumDate(now) + ".";
    c.gaps = {gap(kx::CoverageGap::Kind::quiet, onDay(2024, 4, 1), onDay(2024, 7, 10), 100)};
    EXPECT_EQ(timelineAccessibleValue(c, now), lead + " No coverage gaps.");
    c.gaps.push_back(gap(kx::CoverageGap::Kind::missing, onDay(2024, 8, 1), onDay(2024, 8, 13), 12));
    EXPECT_EQ(timelineAccessibleValue(c, now), lead + " 1 coverage gap, totalling 12 days.");
    c.gaps.back().days = 5;
    c.gaps.push_back(gap(kx::CoverageGap::Kind::notScanned, onDay(2024, 9, 1), onDay(2024, 9, 7), 6));
    c.gaps.push_back(gap(kx::CoverageGap::Kind::trailing, onDay(2025, 1, 1), onDay(2025, 1, 8), 7));
    EXPECT_EQ(timelineAccessibleValue(c, now), lead + " 3 coverage gaps, totalling 18 days.");
}
