#pragma once
// The main window's screens. The sidebar and the View menu select one;
// AppModel::route holds the current one (sources at launch).
//
// The cases are declared in the sidebar's order. The View menu lists them in an
// order of its own (see app/shell/commands.h), and Ctrl+1 … Ctrl+8 follow the
// menu, not this declaration.
#include <array>
#include <cstddef>
#include <string_view>

enum class Route {
    sources,
    coverage,
    browse,
    search,
    backup,
    filters,
    health,
    household,
};

// Every route, in declaration (sidebar) order.
inline constexpr std::array<Route, 8> kAllRoutes = {
    Route::sources, Route::coverage, Route::browse, Route::search,
    Route::backup,  Route::filters,  Route::health, Route::household,
};

// A stable lower-case key for a route ("sources", "household"), used for object
// names and diagnostics; never shown to the user.
constexpr std::string_view routeKey(Route r) {
    switch (r) {
    case Route::sources: return "sources";
    case Route::coverage: return "coverage";
    case Route::browse: return "browse";
    case Route::search: return "search";
    case Route::backup: return "backup";
    case Route::filters: return "filters";
    case Route::health: return "health";
    case Route::household: return "household";
    }
    return "sources";
}
