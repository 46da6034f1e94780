#pragma once
// The main window: RootView with the application's menus. Closing it destroys
// it; showMainWindow() brings an open one forward or makes a new one.
#include <QMainWindow>

class KelvaraApp;
class RootView;
class AppCommands;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    static constexpr int kMinimumWidth = 900;
    static constexpr int kMinimumHeight = 560;

    explicit MainWindow(KelvaraApp& app, QWidget* parent = nullptr);
    RootView* rootView() const { return root_; }
    AppCommands* commands() const { return commands_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    KelvaraApp& app_;
    RootView* root_;
    AppCommands* commands_;
    bool shownOnce_ = false;
};
