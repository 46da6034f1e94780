#pragma once
// Which health alerts hold right now, computed from the last run's report, the
// daily schedule, the archive root and the user's alert settings.
//
// Rules (in the order the alerts are returned):
//  1. destinationUnreachable: the archive root is not a reachable folder.
//  2. runFailed: the last report records a failed run.
//  3. sourceUnreachable: one alert naming every source the last run could not
//     read (sources that hold no messages are never counted).
//  4. stale: the newest successful run known ended more than warnAfterDays days
//     before now (a failed run does not refresh the archive). Not raised when no
//     run ever succeeded (2 or 5 covers that).
//  5. neverRan: no report at all, while the root is reachable (an unreachable
//     root hides its report, so 1 says what is wrong instead).
// With `enabled` off the user asked not to be told: the list is empty.
// Titles are the notification titles; bodies are whole sentences saying what is
// wrong and what to do.
#include "core/archive/coverage_report.h"
#include "core/health/health_alert.h"
#include "core/platform/time.h"

#include <optional>
#include <string>
#include <vector>

namespace kx {

struct HealthAlertPolicy {
    bool enabled = true;
    int warnAfterDays = 7; // values below 1 count as 1

    std::vector<HealthAlert> alerts(const std::optional<CoverageReport>& report, bool scheduleInstalled,
                                    const std::string& destinationRoot, bool destinationExists, Date now) const;

    // The notification title of a kind ("Your archive is out of date"); a kind
    // this version does not know gets "Kelvara health alert".
    static std::string title(HealthAlert::Kind kind);
    // The alert for an archive root that cannot be reached, whatever the settings.
    static HealthAlert archiveNotFound(const std::string& destinationRoot);
    // The same kind of alert for owners' archives that runs made and that are no
    // longer in the archive root although the root itself is there: each owner
    // with the folder its archive was in. Not empty.
    struct LostArchive {
        std::string owner;
        std::string folder;
    };
    static HealthAlert archivesNotFound(const std::vector<LostArchive>& lost);
    // When the archive was last brought up to date: the newest successful run
    // known to the report; none when no run succeeded.
    static std::optional<Date> lastSuccess(const CoverageReport& report);
};

} // namespace kx
