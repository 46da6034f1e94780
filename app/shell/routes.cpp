#include "app/shell/routes.h"

#include <QCoreApplication>

const std::array<SidebarRow, 8> kSidebarRows = {{
    {Route::sources, QT_TRANSLATE_NOOP("Route", "Sources"), "externaldrive"},
    {Route::coverage, QT_TRANSLATE_NOOP("Route", "Coverage"), "chart.bar.xaxis"},
    {Route::browse, QT_TRANSLATE_NOOP("Route", "Browse"), "bubble.left.and.bubble.right"},
    {Route::search, QT_TRANSLATE_NOOP("Route", "Search"), "magnifyingglass"},
    {Route::backup, QT_TRANSLATE_NOOP("Route", "Backup"), "lock.icloud"},
    {Route::filters, QT_TRANSLATE_NOOP("Route", "Filters"), "line.3.horizontal.decrease.circle"},
    {Route::health, QT_TRANSLATE_NOOP("Route", "Health"), "heart.text.square"},
    {Route::household, QT_TRANSLATE_NOOP("Route", "Your Macs"), "person.2"},
}};

const std::array<RouteMenuItem, 8> kRouteMenuItems = {{
    {Route::sources, QT_TRANSLATE_NOOP("Route", "Sources"), 1},
    {Route::browse, QT_TRANSLATE_NOOP("Route", "Browse"), 2},
    {Route::search, QT_TRANSLATE_NOOP("Route", "Search"), 3},
    {Route::coverage, QT_TRANSLATE_NOOP("Route", "Coverage"), 4},
    {Route::backup, QT_TRANSLATE_NOOP("Route", "Backup"), 5},
    {Route::filters, QT_TRANSLATE_NOOP("Route", "Filters"), 6},
    {Route::health, QT_TRANSLATE_NOOP("Route", "Health"), 7},
    {Route::household, QT_TRANSLATE_NOOP("Route", "Your Macs"), 8},
}};

QString routeTitle(Route route) {
    for (const SidebarRow& row : kSidebarRows)
        if (row.route == route) return QCoreApplication::translate("Route", row.label);
    return QString();
}

QString routeSymbol(Route route) {
    for (const SidebarRow& row : kSidebarRows)
        if (row.route == route) return QString::fromLatin1(row.symbol);
    return QString();
}
