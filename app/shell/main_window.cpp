#include "app/shell/main_window.h"

#include "app/model/app_model.h"
#include "app/shell/root_view.h"

MainWindow::MainWindow(AppModel& model, BackupModel& backup, OnboardingModel& onboarding, QWidget* parent)
    : QMainWindow(parent) {
    setObjectName(QStringLiteral("mainWindow"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(tr("Kelvara"));
    setMinimumSize(kMinimumWidth, kMinimumHeight);
    resize(1060, 680);
    root_ = new RootView(model, backup, onboarding, this);
    setCentralWidget(root_);
}

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!shownOnce_) {
        shownOnce_ = true;
        emit firstShown();
    }
}
