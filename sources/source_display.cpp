#include "sources/source_display.h"

#include "app/ui/counts.h"

#include <QDateTime>
#include <QLocale>

#include <algorithm>
#include <chrono>
#include <cmath>

namespace sources {

namespace {

QColor lookColor(bool neutral, Tone tone) { return neutral ? secondaryTextColor() : toneColor(tone); }

double secondsBetween(kx::Date a, kx::Date b) { return std::chrono::duration<double>(b - a).count(); }

} // namespace

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
    for (const kx::SourceFormat known : kx::allSourceFormats())
        if (known == format) return QString::fromStdString(kx::toString(known));
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

QString identicalGroupTitle(qsizetype count) {
    return inflected(QStringLiteral("^[%lld source](inflect: true) hold identical content"), count);
}

QString deletionSummaryText(const kx::DeletionSafetyReport& report) {
    return QStringLiteral("%1 of %2 archives verified redundant")
        .arg(report.safeCount())
        .arg(static_cast<qint64>(report.sources.size()));
}

GapLook gapLook(kx::CoverageGap::Kind kind) {
    using K = kx::CoverageGap::Kind;
    switch (kind) {
    case K::missing:
        return {QStringLiteral("exclamationmark.triangle.fill"), QStringLiteral("MISSING"), false, Tone::red, 0.7};
    case K::quiet: return {QStringLiteral("moon.zzz"), QStringLiteral("Quiet period"), false, Tone::yellow, 0.45};
    case K::notScanned:
        return {QStringLiteral("questionmark.circle.fill"), QStringLiteral("NOT SCANNED"), false, Tone::orange, 0.55};
    case K::trailing:
        return {QStringLiteral("clock.badge.exclamationmark"), QStringLiteral("TRAILING"), false, Tone::orange, 0.6};
    }
    return {QStringLiteral("questionmark.circle"), QStringLiteral("Unknown"), true, Tone::grey, 0.35};
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
        if (!g.needsAttention()) continue;
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
