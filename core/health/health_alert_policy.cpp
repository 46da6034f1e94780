#include "core/health/health_alert_policy.h"

#include <algorithm>
#include <ctime>

namespace kx {

namespace {

// "9 December 2026" in the local time zone.
std::string dayText(Date date) {
    const std::time_t t = std::chrono::system_clock::to_time_t(date);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[64];
    if (std::strftime(buf, sizeof buf, "%e %B %Y", &tm) == 0) return formatISO8601(date);
    std::string s(buf);
    s.erase(0, s.find_first_not_of(' '));
    return s;
}

HealthAlert make(HealthAlert::Kind kind, std::string body) {
    HealthAlert a;
    a.kind = kind;
    a.title = HealthAlertPolicy::title(kind);
    a.body = std::move(body);
    return a;
}

std::string sourceName(const SourceOutcome& o) {
    if (o.label && !o.label->empty()) return *o.label;
    return o.sourceId;
}

std::string trimmedSentence(std::string text) {
    while (!text.empty() && (text.back() == '.' || text.back() == ' ')) text.pop_back();
    return text;
}

} // namespace

std::string HealthAlertPolicy::title(HealthAlert::Kind kind) {
    switch (kind) {
    case HealthAlert::Kind::runFailed: return "Kelvara could not archive";
    case HealthAlert::Kind::destinationUnreachable: return "Archive drive not found";
    case HealthAlert::Kind::sourceUnreachable: return "A message source was unreadable";
    case HealthAlert::Kind::stale: return "Your archive is out of date";
    case HealthAlert::Kind::neverRan: return "Your archive has never run";
    }
    return "Kelvara health alert";
}

HealthAlert HealthAlertPolicy::archiveNotFound(const std::string& destinationRoot) {
    return make(HealthAlert::Kind::destinationUnreachable,
                "Kelvara cannot find the archive folder at " + destinationRoot +
                    ". If it is on an external drive or a network share, connect it; if you moved it, choose its new "
                    "place in Settings. Nothing is archived until Kelvara can reach it.");
}

HealthAlert HealthAlertPolicy::archivesNotFound(const std::vector<LostArchive>& lost) {
    if (lost.size() == 1)
        return make(HealthAlert::Kind::destinationUnreachable,
                    "Kelvara cannot find the archive of " + lost.front().owner + " at " + lost.front().folder +
                        ", although a run archived into it. If you moved that folder, put it back; if the whole "
                        "archive now lives elsewhere, choose its place in Settings.");
    std::string list;
    for (size_t i = 0; i < lost.size(); ++i)
        list += (i == 0 ? "" : i + 1 == lost.size() ? " and " : ", ") + lost[i].owner + " (" + lost[i].folder + ")";
    return make(HealthAlert::Kind::destinationUnreachable,
                "Kelvara cannot find the archives of " + list +
                    ", although runs archived into them. If you moved those folders, put them back; if the whole "
                    "archive now lives elsewhere, choose its place in Settings.");
}

std::optional<Date> HealthAlertPolicy::lastSuccess(const CoverageReport& report) {
    std::optional<Date> newest = report.lastSuccessAt;
    if (report.succeeded()) {
        const Date ended = std::max(report.finishedAt, report.runDate);
        if (!newest || *newest < ended) newest = ended;
    }
    return newest;
}

std::vector<HealthAlert> HealthAlertPolicy::alerts(const std::optional<CoverageReport>& report, bool scheduleInstalled,
                                                   const std::string& destinationRoot, bool destinationExists,
                                                   Date now) const {
    std::vector<HealthAlert> out;
    if (!enabled) return out;
    const std::string scheduleHint =
        scheduleInstalled ? ""
                          : " The daily run is not turned on, so nothing happens until you scan; turn it on in "
                            "Settings.";

    if (!destinationExists) out.push_back(archiveNotFound(destinationRoot));

    if (report && !report->succeeded()) {
        const std::string why = report->failure && !report->failure->empty()
                                    ? trimmedSentence(*report->failure)
                                    : std::string("the reason was not recorded");
        out.push_back(make(HealthAlert::Kind::runFailed,
                           "The archive run of " + dayText(report->runDate) + " did not finish: " + why +
                               ". Messages archived earlier are safe. Fix the problem, then choose Scan All "
                               "Sources again."));
    }

    if (report) {
        std::vector<std::string> names;
        for (const auto& o : report->sources)
            if (!o.succeeded && !o.noMessages) names.push_back(sourceName(o));
        if (!names.empty()) {
            std::string list;
            const size_t shown = std::min<size_t>(names.size(), 3);
            for (size_t i = 0; i < shown; ++i) list += (i ? ", " : "") + names[i];
            if (names.size() > shown) list += " and " + std::to_string(names.size() - shown) + " more";
            const std::string count = names.size() == 1 ? "1 message source"
                                                        : std::to_string(names.size()) + " message sources";
            out.push_back(make(HealthAlert::Kind::sourceUnreachable,
                               "Kelvara could not read " + count + " in the last run: " + list +
                                   ". Their newest messages are not archived until they can be read. Check that "
                                   "the drive or folder is connected and that Kelvara may read it, then scan "
                                   "again."));
        }
    }

    if (report) {
        const auto success = lastSuccess(*report);
        const auto limit = std::chrono::hours(24) * std::max(1, warnAfterDays);
        if (success && now - *success > limit) {
            const auto days = std::chrono::duration_cast<std::chrono::hours>(now - *success).count() / 24;
            out.push_back(make(HealthAlert::Kind::stale,
                               "Your archive was last brought up to date " + std::to_string(days) +
                                   (days == 1 ? " day" : " days") + " ago, on " + dayText(*success) +
                                   ". Messages since then are not archived yet." +
                                   (scheduleInstalled ? " Check that this computer is on and the archive is "
                                                        "reachable at night, or choose Scan All Sources."
                                                      : scheduleHint + " Or choose Scan All Sources now.")));
        }
    } else if (destinationExists) {
        out.push_back(make(HealthAlert::Kind::neverRan,
                           std::string("Kelvara has not archived your messages yet. Choose Scan All Sources to "
                                       "make the first copy.") +
                               scheduleHint));
    }
    return out;
}

} // namespace kx
