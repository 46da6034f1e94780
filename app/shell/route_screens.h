#pragma once
// The screen shown for each route. RootView calls makeRouteScreen every time a
// route is selected, so each screen starts from its initial state; whatever must
// survive a change of route lives in the models.
#include "app/model/route.h"

#include <QWidget>

class AppModel;
class BackupModel;

QWidget* makeRouteScreen(Route route, AppModel& model, BackupModel& backup, QWidget* parent);
// The reading room's evidence panels the health screen shows, in one column:
// the archive's tamper evidence (every owner) and the sealed exports.
QWidget* makeEvidencePanels(AppModel& model);
