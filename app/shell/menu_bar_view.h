#pragma once
// MenuBarView: the small status panel opened from the system-tray icon (or the
// Window menu's "Status Panel" where no tray exists). It shows at a glance
// whether archiving is healthy, how many messages the last run counted and how
// many coverage gaps need attention, and offers "Scan Now", "Open Kelvara" and
// "Quit". It reads AppModel only and keeps nothing of its own; it redraws on
// every change of the report or the running flag, and staleness is judged when
// it is drawn (no timer).
#include <QFrame>
#include <QSystemTrayIcon>
#include <functional>

class AppModel;
class QLabel;
class QPushButton;

class MenuBarView : public QWidget {
    Q_OBJECT
public:
    static constexpr int kWidth = 240;

    MenuBarView(AppModel& model, std::function<void()> openMainWindow, std::function<void()> quit,
                QWidget* parent = nullptr);

    // Re-reads the model.
    void refresh();

signals:
    // After one of the buttons did its work (the popup closes then).
    void actionTaken();

protected:
    void showEvent(QShowEvent* event) override;

private:
    AppModel& model_;
    QLabel* neverRun_;
    QWidget* statusRow_;
    QLabel* statusDot_;
    QLabel* statusText_;
    QLabel* messageCount_;
    QLabel* gapCount_;
    QPushButton* scanNow_;
};

// The popup window that holds a MenuBarView.
class StatusPanel : public QFrame {
    Q_OBJECT
public:
    StatusPanel(AppModel& model, std::function<void()> openMainWindow, std::function<void()> quit);
    MenuBarView* view() const { return view_; }
    // Shows the panel with its top edge at `anchor` (clamped to the screen).
    void popUpAt(const QPoint& anchor);

private:
    MenuBarView* view_;
};

// The tray icon ("archivebox") that opens the status panel. Where the desktop
// has no system tray, isAvailable() is false and nothing is shown.
class StatusItem : public QObject {
    Q_OBJECT
public:
    // With showTrayIcon false (or no tray on this desktop) only the panel exists.
    StatusItem(AppModel& model, std::function<void()> openMainWindow, std::function<void()> quit, bool showTrayIcon,
               QObject* parent = nullptr);
    ~StatusItem() override;

    static bool isAvailable();
    // Opens the panel near the tray icon, or near `fallback` when the tray does
    // not tell where its icon is.
    void showPanel(const QPoint& fallback);
    StatusPanel* panel() const { return panel_; }
    QSystemTrayIcon* trayIcon() const { return tray_; }

private:
    StatusPanel* panel_;
    QSystemTrayIcon* tray_ = nullptr;
};
