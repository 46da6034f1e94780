#pragma once
// FirstScanStep: the last onboarding step. It runs the first archive of this
// Mac's Messages (connecting them as a source first when needed), shows the
// run's outcome, offers the daily run at 3:30 as a switch, and once something
// was archived or the schedule is on, lists where the user now stands.
//
// The outcome is the one the OnboardingModel published for the run this step
// started; the switch shows whether the schedule's file is on disk, so a
// failed install springs back off (the sheet shows why).
#include <QWidget>

class OnboardingModel;
class QCheckBox;
class QLabel;
class QPushButton;
class QVBoxLayout;

namespace setup {

class SymbolLine;

class FirstScanStep : public QWidget {
    Q_OBJECT
public:
    explicit FirstScanStep(OnboardingModel& onboarding, QWidget* parent = nullptr);

    QPushButton* runButton() const { return run_; }
    QCheckBox* scheduleSwitch() const { return schedule_; }
    // The summary lines as shown (empty while the section is hidden).
    QStringList summaryLines() const;

private:
    void refresh();
    void refreshSummary();
    void scheduleToggled(bool on);

    OnboardingModel& onboarding_;
    QPushButton* run_;
    QWidget* running_;
    QWidget* outcomeBox_;
    SymbolLine* outcome_;
    QCheckBox* schedule_;
    QLabel* scheduleCaption_;
    QWidget* summary_;
    QVBoxLayout* summaryLines_;
};

} // namespace setup
