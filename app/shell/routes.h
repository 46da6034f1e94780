#pragma once
// How the main window's routes appear: the sidebar's rows and the View menu's
// items. The two lists hold the same routes in different orders; the menu's
// Ctrl+1 … Ctrl+8 follow the menu order.
#include "app/model/route.h"

#include <QString>
#include <array>

struct SidebarRow {
    Route route;
    const char* label;  // "Sources"
    const char* symbol; // "externaldrive"
};

// Sources, Coverage, Browse, Search, Backup, Filters, Health, Your Macs.
extern const std::array<SidebarRow, 8> kSidebarRows;

struct RouteMenuItem {
    Route route;
    const char* label; // "Sources"
    int digit;         // the shortcut is Ctrl + this digit
};

// Sources, Browse, Search, Coverage, Backup, Filters, Health, Your Macs.
extern const std::array<RouteMenuItem, 8> kRouteMenuItems;

// The user-visible title of a route ("Your Macs" for household).
QString routeTitle(Route route);
// The route's sidebar symbol.
QString routeSymbol(Route route);
