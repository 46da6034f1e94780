#include "app/shell/model_calls.h"

#include "app/model/app_model.h"

void startOrdinaryScan(AppModel& model) {
    model.startScan(std::nullopt, true, false);
}

bool isReportStale(const AppModel& model) {
    return model.isReportStale();
}

QString ownerNameForBackup(const AppModel& model) {
    return QString::fromStdString(model.resolvedOwner().owner);
}
