#include "app/shell/main_window.h"

#include "app/model/app_model.h"
#include "app/shell/commands.h"
#include "app/shell/kelvara_app.h"
#include "app/shell/root_view.h"

MainWindow::MainWindow(KelvaraApp& app, QWidget* parent) : QMainWindow(parent), app_(app) {
    setObjectName(QStringLiteral("mainWindow"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(tr("Kelvara"));
    setMinimumSize(kMinimumWidth, kMinimumHeight);
    resize(1060, 680);
    root_ = new RootView(app.model(), app.backup(), *app.model().onboarding(), this);
    setCentralWidget(root_);
    commands_ = new AppCommands(app, *this);
}

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!shownOnce_) {
        shownOnce_ = true;
        app_.syncBackupOwner();
    }
}
