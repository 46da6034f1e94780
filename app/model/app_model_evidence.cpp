#include "app/model/app_model.h"

// Seals waiting for an anchor are retried once the event loop runs.
void AppModel::retryAnchorsAtLaunch() {}
