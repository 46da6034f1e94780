#pragma once
// What the sources, coverage and filters screens show for the core's values:
// texts, tones, symbols, dates and the geometry of the coverage timeline. Pure
// functions, so each rule can be tested without a widget.
//
// Every lookup by an enumeration value also accepts a value outside the known
// cases (a newer core, a damaged file) and then gives the neutral form:
// "Unknown" in the secondary colour, never an out-of-range table entry.
#include "app/ui/dates.h"
#include "app/ui/screen_widgets.h"
#include "app/ui/style.h"
#include "core/archive/coverage.h"
#include "core/archive/deletion_safety.h"
#include "core/archive/duplicate_source_analyzer.h"
#include "core/platform/time.h"
#include "core/sources/source.h"

#include <QColor>
#include <QDate>
#include <QRectF>
#include <QString>

#include <optional>
#include <utility>
#include <vector>

namespace sources {

// Texts from data are made safe for one line with singleLine (app/ui).

// ---- Sources ----

struct StatusLook {
    QString text; // "Ready", "Unreachable", ...
    bool neutral; // drawn in the secondary colour instead of a tone
    Tone tone;    // meaningful only when !neutral
    QColor color() const;
};
StatusLook statusLook(kx::SourceStatus status);

// A source's format as the row names it: the core's case name ("liveChatDB");
// "Unknown" outside the cases.
QString formatText(kx::SourceFormat format);

// The three formats the add-source sheet offers, with their labels.
struct FormatChoice {
    kx::SourceFormat format;
    QString label;
};
const std::vector<FormatChoice>& addableFormats();

struct VerdictLook {
    QString symbol;
    QString text;
    bool neutral;
    Tone tone;
    QColor color() const;
};
VerdictLook verdictLook(kx::SourceDeletionReport::Verdict verdict);

// The duplicate note's symbol and first line; none for a kind the row does not know.
struct DuplicateLook {
    QString symbol;
    QString firstLine;
};
std::optional<DuplicateLook> duplicateLook(const kx::DuplicateSourceAnalyzer::Finding& finding);
inline constexpr const char* kNothingRemovedNote =
    "Nothing has been removed. Kelvara never deletes an archive or unregisters a source on its own.";

// The badge's header addition and its detail lines.
QString uniqueMessagesText(int64_t unique); // empty for 0 or fewer
QString countsLine(const kx::SourceDeletionReport& report);
QString attachmentsLine(const kx::SourceDeletionReport& report);

// The row's title (label, else identifier) and its accessibility texts.
QString rowTitle(const kx::Source& source);
QString rowAccessibleLabel(const kx::Source& source);
QString rowAccessibleValue(const kx::Source& source, kx::SourceStatus status, kx::Date now);

// "^[n source](inflect: true) hold identical content"
QString identicalGroupTitle(qsizetype count);
// "n of m archives verified redundant"
QString deletionSummaryText(const kx::DeletionSafetyReport& report);

// ---- Dates ----
// Dates in text come from app/ui/dates.h; the sources room first spelled them here.
using ::localDate;
using ::mediumDate;
using ::relativeNamed;
using ::relativeRefreshMs;
using ::relativeShort;

// ---- Coverage ----

struct GapLook {
    QString symbol;
    QString tag;
    bool neutral;
    Tone tone;
    double barOpacity;
    QColor color() const;
};
GapLook gapLook(kx::CoverageGap::Kind kind);

inline constexpr double kArchivedOpacity = 0.75;
inline constexpr double kTrackOpacity = 0.18;
inline constexpr double kMinimumSegmentWidth = 1.5;

// The bar's time span, or none (see TimelineBar).
std::optional<std::pair<kx::Date, kx::Date>> timelineSpan(const kx::OwnerCoverage& coverage, kx::Date now);

// Where a segment from start to end is drawn in a bar `width` wide over `span`:
// its x and width in points, always inside [0, width]. A segment that lies
// entirely outside the span gives none; one that reaches past either end is cut
// at the bar's edge. A very short segment is widened to the minimum width, but
// never beyond the bar's right edge.
std::optional<std::pair<double, double>> segmentGeometry(kx::Date start, kx::Date end,
                                                         const std::pair<kx::Date, kx::Date>& span, double width);

// The spoken value of the bar.
QString timelineAccessibleValue(const kx::OwnerCoverage& coverage, kx::Date now);
QString timelineAccessibleLabel(const kx::OwnerCoverage& coverage);

// "12 days" (the same wording for every count).
QString gapLengthText(int64_t days);
// "Dec 1, 2025 → Dec 13, 2025"
QString gapRangeText(const kx::CoverageGap& gap);
// "1234 messages"
QString messageCountText(int64_t count);

} // namespace sources
