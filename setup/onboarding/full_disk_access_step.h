#pragma once
// FullDiskAccessStep: the second onboarding step. Why Kelvara needs to be
// allowed to read Messages, the two programs that must each be allowed (this
// application and the engine tool the daily schedule runs), buttons that ask
// for access, open the place where it is given and check again, and the
// current verdict of the access check.
//
// While the verdict is unsettled (anything but "both can read" and "no
// database") the step checks again by itself every 4 seconds, as long as it is
// on screen, the flow is on this step and no check is already running.
//
// Linux has no Full Disk Access list: "Allow access to Messages" and "Open
// Settings" open the folder that holds the live Messages database, where its
// owner and permissions are changed.
#include "core/health/full_disk_access_probe.h"

#include <QWidget>

#include <chrono>

class OnboardingModel;
class QLabel;
class QPushButton;
class QTimer;

class BusySpinner;

namespace setup {

class SymbolLine;

class FullDiskAccessStep : public QWidget {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds kRecheckInterval{4000};

    explicit FullDiskAccessStep(OnboardingModel& onboarding, QWidget* parent = nullptr,
                                std::chrono::milliseconds recheckInterval = kRecheckInterval);

    // How each verdict is shown.
    struct Look {
        QString symbol;
        QColor color;
        bool semibold;
    };
    static Look look(kx::FullDiskAccessProbe::Verdict::Case verdict);
    static bool isSettled(kx::FullDiskAccessProbe::Verdict::Case verdict);

    QTimer* recheckTimer() const { return timer_; }
    QPushButton* allowButton() const { return allow_; }
    QPushButton* openSettingsButton() const { return openSettings_; }
    QPushButton* checkAgainButton() const { return checkAgain_; }
    // What a tick of the re-check timer does.
    void recheck();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void refresh();

    OnboardingModel& onboarding_;
    QPushButton* allow_;
    QPushButton* openSettings_;
    QPushButton* checkAgain_;
    BusySpinner* spinner_;
    QWidget* verdictBox_;
    SymbolLine* headline_;
    QLabel* detail_;
    QLabel* selfCheckNote_;
    QTimer* timer_;
};

} // namespace setup
