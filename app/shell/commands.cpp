#include "app/shell/commands.h"

#include "app/model/app_model.h"
#include "app/model/runs_model.h"
#include "app/shell/kelvara_app.h"
#include "app/shell/model_calls.h"
#include "app/shell/routes.h"
#include "app/shell/updater.h"
#include "setup/model/onboarding_model.h"

#include "app/ui/clipboard.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>

namespace {

QString key(Route r) { return QString::fromLatin1(routeKey(r).data(), static_cast<qsizetype>(routeKey(r).size())); }

// The Edit menu works on whatever has the keyboard focus: text fields and text
// views through their own slots, selectable labels by copying their selection.
void editFocus(const char* slot) {
    QWidget* focus = QApplication::focusWidget();
    if (!focus) return;
    if (auto* label = qobject_cast<QLabel*>(focus)) {
        if (qstrcmp(slot, "copy") == 0 && label->hasSelectedText()) copyToPasteboard(label->selectedText());
        return;
    }
    if (focus->metaObject()->indexOfSlot(QMetaObject::normalizedSignature((QByteArray(slot) + "()").constData())) >= 0)
        QMetaObject::invokeMethod(focus, slot);
}

} // namespace

AppCommands::AppCommands(KelvaraApp& app, QMainWindow& window) : QObject(&window) {
    QMenuBar* bar = window.menuBar();
    AppModel& model = app.model();

    // The application menu.
    QMenu* appMenu = bar->addMenu(tr("&Kelvara"));
    appMenu->setObjectName(QStringLiteral("applicationMenu"));
    QAction* about = appMenu->addAction(tr("About Kelvara"), &app, &KelvaraApp::showAbout);
    about->setObjectName(QStringLiteral("aboutAction"));
    about->setMenuRole(QAction::AboutRole);
    // One command per window, all following the one updater.
    auto* updates = new CheckForUpdatesCommand(app.updater(), this);
    checkForUpdates_ = updates->action();
    appMenu->addAction(checkForUpdates_);
    appMenu->addSeparator();
    settings_ = appMenu->addAction(tr("Settings…"), &app, &KelvaraApp::showSettings);
    settings_->setObjectName(QStringLiteral("settingsAction"));
    settings_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    settings_->setMenuRole(QAction::PreferencesRole);
    appMenu->addSeparator();
    quit_ = appMenu->addAction(tr("Quit Kelvara"), &app, &KelvaraApp::quit);
    quit_->setObjectName(QStringLiteral("quitAction"));
    quit_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quit_->setMenuRole(QAction::QuitRole);

    // Edit.
    QMenu* edit = bar->addMenu(tr("&Edit"));
    edit->setObjectName(QStringLiteral("editMenu"));
    struct EditItem {
        const char* title;
        QKeySequence::StandardKey key;
        const char* slot;
    };
    for (const EditItem& e :
         {EditItem{QT_TR_NOOP("Undo"), QKeySequence::Undo, "undo"},
          EditItem{QT_TR_NOOP("Redo"), QKeySequence::Redo, "redo"},
          EditItem{nullptr, QKeySequence::UnknownKey, nullptr}, EditItem{QT_TR_NOOP("Cut"), QKeySequence::Cut, "cut"},
          EditItem{QT_TR_NOOP("Copy"), QKeySequence::Copy, "copy"},
          EditItem{QT_TR_NOOP("Paste"), QKeySequence::Paste, "paste"},
          EditItem{QT_TR_NOOP("Select All"), QKeySequence::SelectAll, "selectAll"}}) {
        if (!e.title) {
            edit->addSeparator();
            continue;
        }
        const char* slot = e.slot;
        QAction* a = edit->addAction(tr(e.title), this, [slot] { editFocus(slot); });
        a->setShortcut(e.key);
        a->setObjectName(QStringLiteral("editAction.") + QString::fromLatin1(slot));
    }

    // View: the routes in the menu's own order, then the scan.
    QMenu* view = bar->addMenu(tr("&View"));
    view->setObjectName(QStringLiteral("viewMenu"));
    for (const RouteMenuItem& item : kRouteMenuItems) {
        const Route route = item.route;
        QAction* a = view->addAction(QCoreApplication::translate("Route", item.label));
        a->setObjectName(QStringLiteral("routeAction.") + key(route));
        a->setShortcut(QKeySequence(Qt::CTRL | static_cast<Qt::Key>(Qt::Key_0 + item.digit)));
        connect(a, &QAction::triggered, &model, [&model, route] { model.setRoute(route); });
        routeActions_[route] = a;
    }
    view->addSeparator();
    scan_ = view->addAction(tr("Scan All Sources"));
    scan_->setObjectName(QStringLiteral("scanAllSourcesAction"));
    scan_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    scan_->setEnabled(!model.runs().isRunning());
    connect(scan_, &QAction::triggered, &model, [&model] { startOrdinaryScan(model); });
    connect(&model.runs(), &RunsModel::isRunningChanged, scan_,
            [this, &model] { scan_->setEnabled(!model.runs().isRunning()); });

    // Window.
    QMenu* windowMenu = bar->addMenu(tr("&Window"));
    windowMenu->setObjectName(QStringLiteral("windowMenu"));
    QAction* minimize = windowMenu->addAction(tr("Minimize"), &window, &QWidget::showMinimized);
    minimize->setObjectName(QStringLiteral("minimizeAction"));
    minimize->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_M));
    QAction* zoom = windowMenu->addAction(tr("Zoom"), &window, [&window] {
        if (window.isMaximized()) window.showNormal();
        else window.showMaximized();
    });
    zoom->setObjectName(QStringLiteral("zoomAction"));
    QAction* close = windowMenu->addAction(tr("Close"), &window, &QWidget::close);
    close->setObjectName(QStringLiteral("closeWindowAction"));
    close->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_W));
    windowMenu->addSeparator();
    statusPanel_ = windowMenu->addAction(tr("Status Panel"), &app, [&app, &window] {
        // Just below the menu bar, at the window's right edge, like a menu-bar extra.
        const QPoint anchor = window.mapToGlobal(QPoint(window.width() - 260, window.menuBar()->height() + 2));
        app.showStatusPanel(anchor);
    });
    statusPanel_->setObjectName(QStringLiteral("statusPanelAction"));

    // Help, replacing the standard content.
    QMenu* help = bar->addMenu(tr("&Help"));
    help->setObjectName(QStringLiteral("helpMenu"));
    help_ = help->addAction(tr("Kelvara Help"), &app, [&app] {
        app.model().setRoute(Route::health);
        app.showMainWindow();
    });
    help_->setObjectName(QStringLiteral("kelvaraHelpAction"));
    setUp_ = help->addAction(tr("Set Up Kelvara…"), &app, [&app] {
        app.onboarding().reopen();
        app.showMainWindow();
    });
    setUp_->setObjectName(QStringLiteral("setUpKelvaraAction"));
}
