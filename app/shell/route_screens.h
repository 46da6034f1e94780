#pragma once
// The screen shown for each route. RootView calls makeRouteScreen every time a
// route is selected, so each screen starts from its initial state; whatever must
// survive a change of route lives in the models.
//
// A route whose screen is not built yet shows an empty page with its title.
// When a screen lands, its route's case in route_screens.cpp constructs it.
#include "app/model/route.h"

#include <QWidget>

class AppModel;
class BackupModel;

QWidget* makeRouteScreen(Route route, AppModel& model, BackupModel& backup, QWidget* parent);

// The empty page: the route's symbol and title, centred.
QWidget* makePlaceholderScreen(Route route, QWidget* parent);
