#pragma once
// The settings window: one per application, opened with "Settings…" (Ctrl+,).
// Like a Mac preferences window it has a row of tab buttons (symbol above
// title) along its top, General, Permissions, Archive and Privacy, and the
// selected tab's form below. It is 620 wide; its height follows the selected
// tab's form (less on a screen too short for it, where the forms scroll), and
// a tab that makes it taller moves it up as far as it must to stay inside its
// screen's available area. A new window starts at General. Escape and Ctrl+W
// close it.
#include <QWidget>

class AppModel;
class QButtonGroup;
class QStackedWidget;

enum class SettingsTab { general, permissions, archive, privacy };

// The form of one tab (the setup room's settings tabs).
QWidget* makeSettingsTab(SettingsTab tab, AppModel& model, QWidget* parent);

class SettingsWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr int kWidth = 620;
    explicit SettingsWindow(AppModel& model, QWidget* parent = nullptr);

    SettingsTab currentTab() const { return current_; }
    void selectTab(SettingsTab tab);

protected:
    void showEvent(QShowEvent* event) override;

private:
    // The selected tab's height, less on a screen too short for it, with the
    // window kept inside the screen's available area.
    void fitToScreen();

    AppModel& model_;
    QButtonGroup* buttons_;
    QStackedWidget* stack_;
    int chrome_ = 0; // the tab strip and its divider above the form
    SettingsTab current_ = SettingsTab::general;
};
