#pragma once
// The menus of a main window.
//
//  Kelvara   About Kelvara · Check for Updates… · Settings… (Ctrl+,) · Quit Kelvara (Ctrl+Q)
//  Edit      Undo · Redo · ── · Cut · Copy · Paste · Select All (on the focused text)
//  View      Sources (Ctrl+1) · Browse (Ctrl+2) · Search (Ctrl+3) · Coverage (Ctrl+4) ·
//            Backup (Ctrl+5) · Filters (Ctrl+6) · Health (Ctrl+7) · Your Macs (Ctrl+8) ·
//            ── · Scan All Sources (Ctrl+R, disabled while a run is going)
//  Window    Minimize (Ctrl+M) · Zoom · Close (Ctrl+W) · ── · Status Panel
//  Help      Kelvara Help · Set Up Kelvara…
//
// The route items only change AppModel::route; they do not bring the window
// forward. Their numbers follow the menu's order, which differs from the
// sidebar's. "Kelvara Help" selects the Health screen and "Set Up Kelvara…"
// restarts the first-run flow, each then bringing a main window forward.
// "Status Panel" opens the same panel as the tray icon, so it stays reachable
// on desktops without a system tray.
#include "app/model/route.h"

#include <QObject>
#include <map>

class KelvaraApp;
class QAction;
class QMainWindow;

class AppCommands : public QObject {
    Q_OBJECT
public:
    AppCommands(KelvaraApp& app, QMainWindow& window);

    QAction* routeAction(Route route) const { return routeActions_.at(route); }
    QAction* scanAllSources() const { return scan_; }
    QAction* kelvaraHelp() const { return help_; }
    QAction* setUpKelvara() const { return setUp_; }
    QAction* checkForUpdates() const { return checkForUpdates_; }
    QAction* settings() const { return settings_; }
    QAction* statusPanel() const { return statusPanel_; }
    QAction* quit() const { return quit_; }

private:
    std::map<Route, QAction*> routeActions_;
    QAction* scan_ = nullptr;
    QAction* help_ = nullptr;
    QAction* setUp_ = nullptr;
    QAction* checkForUpdates_ = nullptr;
    QAction* settings_ = nullptr;
    QAction* statusPanel_ = nullptr;
    QAction* quit_ = nullptr;
};
