#include "app/model/app_model.h"

#include "household/model/health_notifier.h"

void AppModel::refreshAlertsAtLaunch() { notifier_->refreshAuthorization(); }
