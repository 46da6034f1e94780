#pragma once
// The main window: RootView with the application's menus. Closing it destroys
// it; showMainWindow() brings an open one forward or makes a new one.
//
// The window knows only the models it shows. Whoever opens it (KelvaraApp)
// gives it its menus and listens for firstShown().
#include <QMainWindow>

class AppCommands;
class AppModel;
class BackupModel;
class OnboardingModel;
class RootView;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    static constexpr int kMinimumWidth = 900;
    static constexpr int kMinimumHeight = 560;

    MainWindow(AppModel& model, BackupModel& backup, OnboardingModel& onboarding, QWidget* parent = nullptr);
    RootView* rootView() const { return root_; }
    // The window's menus; null until setCommands.
    AppCommands* commands() const { return commands_; }
    void setCommands(AppCommands* commands) { commands_ = commands; }

signals:
    // The window is on screen for the first time.
    void firstShown();

protected:
    void showEvent(QShowEvent* event) override;

private:
    RootView* root_;
    AppCommands* commands_ = nullptr;
    bool shownOnce_ = false;
};
