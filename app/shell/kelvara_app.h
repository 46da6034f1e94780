#pragma once
// KelvaraApp: the application as a whole. It owns the long-lived models
// (AppModel, BackupModel and the first-run flow's OnboardingModel), the
// updater, the tray icon with its status panel and the settings window, and
// opens main windows.
//
// The models are created once, when the application starts, and live until it
// quits. BackupModel serves AppModel's resolved owner: it is told when a main
// window is first shown and whenever OwnersModel::archiveOwner changes. The
// household screens and the join flow see its destination list only as a
// DestinationList.
//
// With a system tray the application keeps running when its last window
// closes (the tray icon reopens it); without one, closing the last window
// quits, as nothing would be left to reach it by.
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QUrl>
#include <functional>
#include <memory>

class AppModel;
class BackupModel;
class MainWindow;
class QMessageBox;
class OnboardingModel;
class SettingsWindow;
class StatusItem;
class Updater;
class UpdateUserDriver;

class KelvaraApp : public QObject {
    Q_OBJECT
public:
    struct Options {
        QUrl updateFeed;                                      // empty: "Check for Updates…" disabled
        std::shared_ptr<UpdateUserDriver> updateDriver;       // null: dialogs
        bool useTray = true;                                  // false: never create a tray icon
        std::function<void()> quit;                           // null: QApplication::quit
        std::function<std::unique_ptr<AppModel>()> makeModel; // null: AppModel's own constructor
    };

    // Creates the models, the updater and the tray icon. Opens no window.
    explicit KelvaraApp(Options options, QObject* parent = nullptr);
    // The defaults: the build's update feed, dialogs, a tray icon when available.
    static Options defaultOptions();
    ~KelvaraApp() override;

    // The running application (null before one is created).
    static KelvaraApp* instance();

    AppModel& model() const { return *model_; }
    BackupModel& backup() const { return *backup_; }
    OnboardingModel& onboarding() const { return *onboarding_; }
    Updater& updater() const { return *updater_; }
    StatusItem* statusItem() const { return statusItem_.get(); }
    SettingsWindow* settingsWindow() const;

    // Brings the first open main window to the front as the active window, or
    // opens a new one when none is open. Returns it.
    MainWindow* showMainWindow();
    // Every open main window, front-most first.
    static QList<MainWindow*> mainWindows();

    // Tells BackupModel the owner AppModel resolves to now.
    void syncBackupOwner();

public slots:
    void showSettings();
    void showAbout();
    void showStatusPanel(const QPoint& anchor);
    // Quits. While an archive run goes on, the quit waits for it: a notice says
    // so (its "Keep Kelvara Open" takes the quit back), the run's results are
    // recorded, and then the application quits.
    void quit();

protected:
    // Without a tray icon, closing the last main window during a run is a quit
    // that waits for the run, like quit().
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void quitNow();

    Options options_;
    std::unique_ptr<AppModel> model_;
    std::unique_ptr<BackupModel> backup_;
    std::unique_ptr<OnboardingModel> onboarding_;
    std::shared_ptr<UpdateUserDriver> updateDriver_;
    std::unique_ptr<Updater> updater_;
    std::unique_ptr<StatusItem> statusItem_;
    QPointer<SettingsWindow> settings_;
    // The notice shown while a quit waits for the run; null when none waits.
    QPointer<QMessageBox> quitNotice_;
};

// Brings the main window forward (or opens one); see KelvaraApp::showMainWindow.
void showMainWindow();
