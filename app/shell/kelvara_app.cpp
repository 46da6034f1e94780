#include "app/shell/kelvara_app.h"

#include "app/model/app_model.h"
#include "app/model/owners_model.h"
#include "app/shell/commands.h"
#include "app/shell/main_window.h"
#include "app/shell/menu_bar_view.h"
#include "app/shell/model_calls.h"
#include "app/shell/settings_window.h"
#include "app/shell/updater.h"
#include "app/ui/app_version.h"
#include "app/ui/widgets.h"
#include "backup/model/backup_model.h"
#include "core/platform/system.h"
#include "setup/model/onboarding_model.h"

#include <kelvara/version.h>

#include <QApplication>
#include <QDialog>
#include <QMessageBox>

namespace {

KelvaraApp* gInstance = nullptr;

} // namespace

KelvaraApp::Options KelvaraApp::defaultOptions() {
    Options o;
    o.updateFeed = Updater::configuredFeedUrl();
    return o;
}

KelvaraApp::KelvaraApp(Options options, QObject* parent) : QObject(parent), options_(std::move(options)) {
    gInstance = this;
    model_ = options_.makeModel ? options_.makeModel() : std::make_unique<AppModel>();
    backup_ = std::make_unique<BackupModel>(applicationSupportConfigDir(),
                                            QString::fromStdString(kx::systemInfo().shortUserName()));
    onboarding_ = std::make_unique<OnboardingModel>(*model_);
    updateDriver_ = options_.updateDriver ? options_.updateDriver : std::make_shared<DialogUpdateUserDriver>();
    updater_ = std::make_unique<Updater>(options_.updateFeed, QStringLiteral(KELVARA_VERSION_STRING), *updateDriver_);

    // Every later change of the chosen owner (not its initial value).
    connect(&model_->owners(), &OwnersModel::archiveOwnerChanged, this, &KelvaraApp::syncBackupOwner);

    statusItem_ = std::make_unique<StatusItem>(
        *model_, [this] { showMainWindow(); }, [this] { quit(); }, options_.useTray);
    if (auto* app = qobject_cast<QApplication*>(QCoreApplication::instance()))
        app->setQuitOnLastWindowClosed(!statusItem_->trayIcon());
}

KelvaraApp::~KelvaraApp() {
    for (MainWindow* w : mainWindows()) delete w;
    delete settings_;
    statusItem_.reset();
    if (gInstance == this) gInstance = nullptr;
}

SettingsWindow* KelvaraApp::settingsWindow() const { return settings_; }

KelvaraApp* KelvaraApp::instance() { return gInstance; }

QList<MainWindow*> KelvaraApp::mainWindows() {
    QList<MainWindow*> found;
    // The active window first, then the others in the application's order.
    if (auto* active = qobject_cast<MainWindow*>(QApplication::activeWindow())) found << active;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* mw = qobject_cast<MainWindow*>(w);
        if (mw && !found.contains(mw) && !mw->testAttribute(Qt::WA_WState_Hidden)) found << mw;
    }
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* mw = qobject_cast<MainWindow*>(w);
        if (mw && !found.contains(mw)) found << mw;
    }
    return found;
}

MainWindow* KelvaraApp::showMainWindow() {
    const QList<MainWindow*> windows = mainWindows();
    MainWindow* w = windows.isEmpty() ? nullptr : windows.first();
    if (!w) {
        w = new MainWindow(*model_, *backup_, *onboarding_);
        w->setCommands(new AppCommands(*this, *w));
        connect(w, &MainWindow::firstShown, this, &KelvaraApp::syncBackupOwner);
        w->resize(w->size().boundedTo(roomForWindow(w))); // a small screen: not past its edge
        centreWindowOver(w, nullptr);
    }
    if (w->isMinimized()) w->showNormal();
    else w->show();
    w->raise();
    w->activateWindow();
    // A sheet open on the window stays in front of it: the window manager keeps
    // a window-modal dialog above its parent, but not every desktop has one.
    for (QDialog* sheet : w->findChildren<QDialog*>(Qt::FindDirectChildrenOnly)) {
        if (!sheet->isVisible()) continue;
        sheet->raise();
        sheet->activateWindow();
    }
    return w;
}

void KelvaraApp::syncBackupOwner() { backup_->setOwner(ownerNameForBackup(*model_)); }

void KelvaraApp::showSettings() {
    if (!settings_) {
        settings_ = new SettingsWindow(*model_);
        // Over the window it was asked from, not where the desktop puts new
        // windows (without a window manager: over the main window's menus).
        const QList<MainWindow*> windows = mainWindows();
        centreWindowOver(settings_, windows.isEmpty() ? nullptr : windows.first());
    }
    settings_->show();
    settings_->raise();
    settings_->activateWindow();
}

void KelvaraApp::showAbout() {
    QMessageBox::about(QApplication::activeWindow(), tr("About Kelvara"),
                       tr("<h3>Kelvara</h3><p>Version %1</p><p>A verified, encrypted archive of your Messages history."
                          "</p>")
                           .arg(appVersionString().toHtmlEscaped()));
}

void KelvaraApp::showStatusPanel(const QPoint& anchor) { statusItem_->panel()->popUpAt(anchor); }

void KelvaraApp::quit() {
    if (options_.quit) {
        options_.quit();
        return;
    }
    QApplication::closeAllWindows();
    QApplication::quit();
}

void showMainWindow() {
    if (KelvaraApp* app = KelvaraApp::instance()) app->showMainWindow();
}
