#include "app/shell/model_calls.h"

#include "app/model/app_model.h"

#include <chrono>

// Until AppModel offers its scan starter, its staleness test and its resolved
// owner, the shell uses these stand-ins: no scan is started, a report is stale
// 48 hours after its run, and the owner is the chosen archive owner.

void startOrdinaryScan(AppModel&) {}

bool isReportStale(const AppModel& model) {
    return model.report() && model.clock().now() - model.report()->runDate > std::chrono::seconds(172800);
}

QString ownerNameForBackup(const AppModel& model) {
    return model.archiveOwner();
}
