#include "sources/source_display.h"

#include "app/ui/counts.h"

#include <QDateTime>
#include <QLocale>

#include <algorithm>
#include <chrono>
#include <cmath>

namespace sources {

namespace {

constexpr char16_t kReplacement = u'\uFFFD';
constexpr char16_t kNewlineMark = u'\u2424'; // SYMBOL FOR NEWLINE

bool reordersText(char32_t c) {
    return c == 0x200E || c == 0x200F || c == 0x061C || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

bool isControl(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029; }

QColor lookColor(bool neutral, Tone tone) { return neutral ? secondaryTextColor() : toneColor(tone); }

double secondsBetween(kx::Date a, kx::Date b) { return std::chrono::duration<double>(b - a).count(); }

} // namespace

QString singleLine(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const char32_t c : text.toUcs4()) {
        if (c == U'\n' || c == U'\r') out += QChar(kNewlineMark);
        else if (isControl(c) || reordersText(c)) out += QChar(kReplacement);
        else out += QString::fromUcs4(&c, 1);
    }
    return out;
}

QString singleLine(const std::string& text) { return singleLine(QString::fromStdString(text)); }

QColor StatusLook::color() const { return lookColor(neutral, tone); }
QColor VerdictLook::color() const { return lookColor(neutral, tone); }
QColor GapLook::color() const { return lookColor(neutral, tone); }

StatusLook statusLook(kx::SourceStatus status) {
    switch (status) {
    case kx::SourceStatus::ready: return {QStringLiteral("Ready"), false, Tone::green};
    case kx::SourceStatus::unreachable: return {QStringLiteral("Unreachable"), false, Tone::red};
    case kx::SourceStatus::neverScanned: return {QStringLiteral("Never scanned"), false, Tone::orange};
    case kx::SourceStatus::error: return {QStringLiteral("Error"), false, Tone::red};
    case kx::SourceStatus::noMessages: return {QStringLiteral("No messages"), true, Tone::grey};
    }
    return {QStringLiteral("Unknown"), true, Tone::grey};
}

QString formatText(kx::SourceFormat format) {
    for (const auto f : kx::allSourceFormats())
        if (f == format) return QString::fromStdString(kx::toString(format));
    return QStringLiteral("Unknown");
}

const std::vector<FormatChoice>& addableFormats() {
    static const std::vector<FormatChoice> choices = {
        {kx::SourceFormat::macosMessagesFolder, QStringLiteral("macOS Messages folder")},
        {kx::SourceFormat::liveChatDB, QStringLiteral("Live Messages database")},
        {kx::SourceFormat::iosDeviceBackup, QStringLiteral("iOS device backup")},
    };
    return choices;
}

VerdictLook verdictLook(kx::SourceDeletionReport::Verdict verdict) {
    using V = kx::SourceDeletionReport::Verdict;
    switch (verdict) {
    case V::verifiedRedundant:
        return {QStringLiteral("checkmark.shield.fill"), QStringLiteral("Verified redundant"), false, Tone::green};
    case V::doNotDelete:
        return {QStringLiteral("xmark.shield.fill"), QStringLiteral("Do not delete"), false, Tone::red};
    case V::unknown: break;
    }
    return {QStringLiteral("questionmark.circle"), QStringLiteral("Unknown"), true, Tone::grey};
}

std::optional<DuplicateLook> duplicateLook(const kx::DuplicateSourceAnalyzer::Finding& finding) {
    const QString other = singleLine(finding.otherSourceId);
    if (finding.kind == "identical")
        return DuplicateLook{QStringLiteral("doc.on.doc.fill"), "Same content as " + other};
    if (finding.kind == "redundant")
        return DuplicateLook{QStringLiteral("arrow.down.right.circle.fill"), "Already contained in " + other};
    return std::nullopt;
}

QString uniqueMessagesText(int64_t unique) {
    if (unique < 1) return {};
    return QStringLiteral("\u00B7 %1 messages exist only here").arg(unique);
}

QString countsLine(const kx::SourceDeletionReport& r) {
    return QStringLiteral("%1 messages read \u00B7 %2 in tresk \u00B7 %3 unique")
        .arg(r.messagesRead)
        .arg(r.messagesInArchive)
        .arg(r.uniqueMessages);
}

QString attachmentsLine(const kx::SourceDeletionReport& r) {
    return QStringLiteral("%1 attachments \u00B7 %2 hash-verified").arg(r.attachments).arg(r.hashVerifiedAttachments);
}

QString rowTitle(const kx::Source& source) { return singleLine(source.label ? *source.label : source.id); }

QString rowAccessibleLabel(const kx::Source& source) {
    return rowTitle(source) + ", owner " + singleLine(source.owner);
}

QString rowAccessibleValue(const kx::Source& source, kx::SourceStatus status, kx::Date now) {
    QString v = statusLook(status).text + ". ";
    if (source.lastScanned) v += "Last scanned " + relativeNamed(*source.lastScanned, now) + ".";
    else v += QStringLiteral("Never scanned.");
    return v;
}

namespace {

QString plural(int64_t n, const char* unit) {
    return QStringLiteral("%1 %2").arg(n).arg(n == 1 ? QString::fromLatin1(unit)
                                                     : pluralNoun(QString::fromLatin1(unit)));
}

} // namespace

QString relativeShort(kx::Date when, kx::Date now) {
    const double delta = secondsBetween(when, now);
    const bool future = delta < 0;
    const auto s = static_cast<int64_t>(std::floor(std::abs(delta)));
    QString body;
    if (s < 60) body = QStringLiteral("%1 sec").arg(s);
    else if (s < 3600) body = QStringLiteral("%1 min").arg(s / 60);
    else if (s < 86400) {
        body = QStringLiteral("%1 hr").arg(s / 3600);
        if (const int64_t m = (s % 3600) / 60; m > 0) body += QStringLiteral(", %1 min").arg(m);
    } else if (s < 86400LL * 365) {
        const int64_t days = s / 86400;
        body = plural(days, "day");
        if (const int64_t h = (s % 86400) / 3600; days < 7 && h > 0) body += QStringLiteral(", %1 hr").arg(h);
    } else {
        body = plural(s / (86400LL * 365), "year");
    }
    return future ? "in " + body : body + " ago";
}

QString relativeNamed(kx::Date when, kx::Date now) {
    const double delta = secondsBetween(when, now);
    const bool future = delta < 0;
    const auto s = static_cast<int64_t>(std::floor(std::abs(delta)));
    auto phrase = [future](const QString& amount) { return future ? "in " + amount : amount + " ago"; };
    if (s < 1) return QStringLiteral("now");
    if (s < 60) return phrase(plural(s, "second"));
    if (s < 3600) return phrase(plural(s / 60, "minute"));
    if (s < 86400) return phrase(plural(s / 3600, "hour"));
    const int64_t days = s / 86400;
    if (days == 1) return future ? QStringLiteral("tomorrow") : QStringLiteral("yesterday");
    if (days < 7) return phrase(plural(days, "day"));
    if (days < 14) return future ? QStringLiteral("next week") : QStringLiteral("last week");
    if (days < 30) return phrase(plural(days / 7, "week"));
    if (days < 60) return future ? QStringLiteral("next month") : QStringLiteral("last month");
    if (days < 365) return phrase(plural(days / 30, "month"));
    if (days < 730) return future ? QStringLiteral("next year") : QStringLiteral("last year");
    return phrase(plural(days / 365, "year"));
}

int relativeRefreshMs(kx::Date when, kx::Date now) {
    const double s = std::abs(secondsBetween(when, now));
    if (s < 60) return 1000;
    if (s < 86400) return 30 * 1000;
    return 10 * 60 * 1000;
}

QString identicalGroupTitle(qsizetype count) {
    return inflected(QStringLiteral("^[%lld source](inflect: true) hold identical content"), count);
}

QString deletionSummaryText(const kx::DeletionSafetyReport& report) {
    return QStringLiteral("%1 of %2 archives verified redundant")
        .arg(report.safeCount())
        .arg(static_cast<qint64>(report.sources.size()));
}

QDate localDate(kx::Date date) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count();
    return QDateTime::fromMSecsSinceEpoch(ms).toLocalTime().date();
}

QString mediumDate(kx::Date date) {
    const QLocale locale;
    const QDate d = localDate(date);
    // The locale's own order of day and month, with the month abbreviated.
    const QString shortFormat = locale.dateFormat(QLocale::ShortFormat);
    const qsizetype m = shortFormat.indexOf(QLatin1Char('M'));
    const qsizetype dd = shortFormat.indexOf(QLatin1Char('d'));
    const qsizetype y = shortFormat.indexOf(QLatin1Char('y'));
    if (y >= 0 && y < m) return locale.toString(d, QStringLiteral("yyyy MMM d"));
    if (m >= 0 && dd >= 0 && m < dd) return locale.toString(d, QStringLiteral("MMM d, yyyy"));
    return locale.toString(d, QStringLiteral("d MMM yyyy"));
}

GapLook gapLook(kx::CoverageGap::Kind kind) {
    using K = kx::CoverageGap::Kind;
    switch (kind) {
    case K::missing:
        return {
            QStringLiteral("exclamationmark.triangle.fill"), QStringLiteral("MISSING"), false, Tone::red, 0.7, true};
    case K::quiet:
        return {QStringLiteral("moon.zzz"), QStringLiteral("Quiet period"), false, Tone::yellow, 0.45, false};
    case K::notScanned:
        return {
            QStringLiteral("questionmark.circle.fill"), QStringLiteral("NOT SCANNED"), false, Tone::orange, 0.55, true};
    case K::trailing:
        return {
            QStringLiteral("clock.badge.exclamationmark"), QStringLiteral("TRAILING"), false, Tone::orange, 0.6, true};
    }
    return {QStringLiteral("questionmark.circle"), QStringLiteral("Unknown"), true, Tone::grey, 0.35, true};
}

std::optional<std::pair<kx::Date, kx::Date>> timelineSpan(const kx::OwnerCoverage& coverage, kx::Date now) {
    if (!coverage.firstDate) return std::nullopt;
    const kx::Date start = *coverage.firstDate;
    const kx::Date provisional = coverage.lastDate ? *coverage.lastDate : start;
    const kx::Date end = std::max(provisional, now);
    if (!(end > start)) return std::nullopt;
    return std::make_pair(start, end);
}

std::optional<std::pair<double, double>> segmentGeometry(kx::Date start, kx::Date end,
                                                         const std::pair<kx::Date, kx::Date>& span, double width) {
    if (width <= 0) return std::nullopt;
    const double length = secondsBetween(span.first, span.second);
    if (!(length > 0)) return std::nullopt;
    if (end < start) std::swap(start, end);
    if (end < span.first || start > span.second) return std::nullopt;
    const kx::Date a = std::max(start, span.first);
    const kx::Date b = std::min(end, span.second);
    double x = secondsBetween(span.first, a) / length * width;
    double w = std::max(secondsBetween(a, b) / length * width, kMinimumSegmentWidth);
    w = std::min(w, width);
    // A widened segment at the right end grows to the left instead of past the edge.
    if (x + w > width) x = width - w;
    x = std::max(x, 0.0);
    return std::make_pair(x, w);
}

QString timelineAccessibleLabel(const kx::OwnerCoverage& coverage) {
    return "Coverage timeline for " + singleLine(coverage.owner);
}

QString timelineAccessibleValue(const kx::OwnerCoverage& coverage, kx::Date now) {
    const auto span = timelineSpan(coverage, now);
    if (!span) return QStringLiteral("No messages archived");
    QString v = "Archived from " + mediumDate(span->first) + " to " + mediumDate(span->second) + ".";
    int64_t n = 0;
    int64_t days = 0;
    for (const auto& g : coverage.gaps) {
        if (!gapLook(g.kind).counted) continue;
        ++n;
        days += g.days;
    }
    if (n == 0) return v + " No coverage gaps.";
    return v + QStringLiteral(" %1 coverage gap%2, totalling %3 days.").arg(n).arg(n == 1 ? "" : "s").arg(days);
}

QString gapLengthText(int64_t days) { return QStringLiteral("%1 days").arg(days); }

QString gapRangeText(const kx::CoverageGap& gap) {
    return mediumDate(gap.start) + QStringLiteral(" \u2192 ") + mediumDate(gap.end);
}

QString messageCountText(int64_t count) { return QStringLiteral("%1 messages").arg(count); }

} // namespace sources
