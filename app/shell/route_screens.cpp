#include "app/shell/route_screens.h"

#include "app/shell/routes.h"
#include "app/ui/screen_widgets.h"
#include "backup/backup_view.h"
#include "backup/model/backup_destinations_model.h"
#include "backup/model/backup_model.h"
#include "household/health_view.h"
#include "household/household_view.h"
#include "reading/browse_view.h"
#include "reading/manifest_panel.h"
#include "reading/sealed_exports_panel.h"
#include "reading/search_view.h"
#include "sources/coverage_view.h"
#include "sources/filters_view.h"
#include "sources/sources_view.h"

#include <QVBoxLayout>

QWidget* makeEvidencePanels(AppModel& model) {
    QVBoxLayout* column = nullptr;
    QWidget* panels = columnWidget(nullptr, QStringLiteral("evidencePanels"), 18, &column);
    auto* manifest = new ManifestPanel(model, panels);
    manifest->setOwner(QString());
    column->addWidget(manifest);
    column->addWidget(new SealedExportsPanel(model, panels));
    return panels;
}

QWidget* makeRouteScreen(Route route, AppModel& model, BackupModel& backup, QWidget* parent) {
    QWidget* screen = nullptr;
    switch (route) {
    case Route::sources: screen = new sources::SourcesView(model, parent); break;
    case Route::coverage: screen = new sources::CoverageView(model, parent); break;
    case Route::browse: screen = new BrowseView(model, parent); break;
    case Route::search: screen = new SearchView(model, parent); break;
    case Route::backup: screen = new BackupView(model, backup, parent); break;
    case Route::filters: screen = new sources::FiltersView(model, parent); break;
    case Route::health: screen = new HealthView(model, makeEvidencePanels(model), parent); break;
    case Route::household: screen = new HouseholdView(model, backup.destinationsModel(), parent); break;
    }
    screen->setObjectName(QStringLiteral("screen.") +
                          QString::fromLatin1(routeKey(route).data(), static_cast<qsizetype>(routeKey(route).size())));
    return screen;
}
