#include "app/shell/model_calls.h"

#include "app/model/alerts_model.h"
#include "app/model/app_model.h"
#include "app/model/owners_model.h"
#include "app/model/runs_model.h"

void startOrdinaryScan(AppModel& model) { model.runs().startScan(ScanRequest{}); }

bool isReportStale(const AppModel& model) { return model.alerts().isReportStale(); }

QString ownerNameForBackup(const AppModel& model) {
    return QString::fromStdString(model.owners().resolvedOwner().owner);
}
