#pragma once
// Settings, General: where the archive lives, the daily scheduled run (on or
// off as the disk says, never as last clicked), the scheduled run's logs, and
// the version with a button that brings the main window forward.
#include <QString>
#include <QWidget>

#include <functional>

class AppModel;
class QCheckBox;
class QLabel;
class QPushButton;
class QStackedWidget;

namespace setup {

class GeneralSettingsTab : public QWidget {
    Q_OBJECT
public:
    // `showMainWindow` brings the main window forward ("Open Kelvara").
    GeneralSettingsTab(AppModel& model, std::function<void()> showMainWindow, QWidget* parent = nullptr);

    static constexpr int kHeight = 470;

    QString shownDestination() const { return dest_; }
    bool scheduleShownInstalled() const { return scheduleInstalled_; }

    // Runs the schedule change for the switch's new value, then shows what is
    // on disk.
    void setScheduleOn(bool on);
    void chooseDestination();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void refresh();

    AppModel& model_;
    std::function<void()> showMainWindow_;
    QString dest_;
    bool scheduleInstalled_ = false;

    QLabel* destLabel_;
    QPushButton* reveal_;
    QWidget* missingNote_;
    QCheckBox* scheduleSwitch_;
    QLabel* scheduleProblem_;
    QLabel* noSources_;
    QWidget* onBlock_;
    QWidget* blockedWarning_;
    QLabel* offCaption_;
};

} // namespace setup
