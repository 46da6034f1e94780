#pragma once
// The few AppModel operations the shell calls, in one place.
#include <QString>

class AppModel;

// "Scan All Sources" / "Scan Now": an ordinary scan of every registered source
// (no source limit, not a full sweep). AppModel refuses while a run is going.
void startOrdinaryScan(AppModel& model);
// Whether the last run's report is older than the staleness limit.
bool isReportStale(const AppModel& model);
// The owner the backup side serves: AppModel's resolved owner.
QString ownerNameForBackup(const AppModel& model);
