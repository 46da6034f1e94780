#include "app/shell/kelvara_app.h"

#include "app/model/alerts_model.h"
#include "app/model/app_model.h"
#include "app/model/owners_model.h"
#include "app/model/runs_model.h"
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
#include <QPushButton>

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

    // "Your archive has never run" is not posted over the onboarding sheet,
    // which starts the first run: held from launch while the sheet is wanted,
    // and from a reopening, until the flow ends.
    model_->alerts().holdNeverRanNotice(onboarding_->shouldShow());
    const auto followOnboarding = [this] {
        if (onboarding_->isFinished()) model_->alerts().holdNeverRanNotice(false);
        else if (onboarding_->explicitlyOpened()) model_->alerts().holdNeverRanNotice(true);
    };
    connect(onboarding_.get(), &OnboardingModel::isFinishedChanged, this, followOnboarding);
    connect(onboarding_.get(), &OnboardingModel::explicitlyOpenedChanged, this, followOnboarding);

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
        w->installEventFilter(this);
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
    RunsModel& runs = model_->runs();
    if (!runs.isRunning()) {
        quitNow();
        return;
    }
    if (quitNotice_) {
        quitNotice_->raise();
        return;
    }
    // Quitting in the middle of a run would drop its results on the floor: the
    // run finishes (the engine saves as it goes), its results are recorded, and
    // then Kelvara quits. Until then the windows stay, so nothing looks frozen.
    const QList<MainWindow*> windows = mainWindows();
    auto* notice = new QMessageBox(QMessageBox::Information, tr("Quitting Kelvara"),
                                   tr("Kelvara quits when the archive run has finished"), QMessageBox::NoButton,
                                   windows.isEmpty() ? nullptr : windows.first());
    notice->setObjectName(QStringLiteral("quitWaitsForRunNotice"));
    notice->setInformativeText(tr("The run is saving the messages it has read, so that they are recorded and "
                                  "need not be read again. This takes a moment on a large archive."));
    QPushButton* keepOpen = notice->addButton(tr("Keep Kelvara Open"), QMessageBox::RejectRole);
    keepOpen->setObjectName(QStringLiteral("keepKelvaraOpen"));
    notice->setAttribute(Qt::WA_DeleteOnClose);
    notice->setWindowModality(Qt::NonModal);
    quitNotice_ = notice;
    // A run's results are recorded before runEnded is emitted.
    auto waiting = std::make_shared<QMetaObject::Connection>();
    *waiting = connect(&runs, &RunsModel::runEnded, this, [this, waiting] {
        disconnect(*waiting);
        if (QMessageBox* shown = quitNotice_) {
            quitNotice_ = nullptr;
            shown->close();
        }
        quitNow();
    });
    // Closed by the user (not by the run's end): Kelvara stays open.
    connect(notice, &QMessageBox::finished, this, [this, waiting] {
        if (!quitNotice_) return;
        quitNotice_ = nullptr;
        disconnect(*waiting);
    });
    notice->show();
}

bool KelvaraApp::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::Close || !QApplication::quitOnLastWindowClosed() || !model_->runs().isRunning())
        return QObject::eventFilter(watched, event);
    int open = 0;
    for (MainWindow* w : mainWindows())
        if (w->isVisible()) ++open;
    if (open > 1 || !qobject_cast<MainWindow*>(watched)) return QObject::eventFilter(watched, event);
    event->ignore(); // the window stays until the run has ended
    quit();
    return true;
}

void KelvaraApp::quitNow() {
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
