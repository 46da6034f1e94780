#pragma once
// FullDiskAccessView: what the main window's access sheet shows when Kelvara
// cannot read the live Messages database. It says why access is needed, gives
// three steps, and checks again every 2 seconds; the main window closes the
// sheet as soon as a check finds access. "Continue without it" closes it for
// this run of the application.
//
// Linux has no Full Disk Access list: "Open System Settings" shows the folder
// that holds the live database, where its owner and permissions are changed.
#include <QWidget>

#include <chrono>

class AppModel;
class QPushButton;
class QTimer;

namespace setup {

class FullDiskAccessView : public QWidget {
    Q_OBJECT
public:
    static constexpr int kWidth = 520;
    static constexpr std::chrono::milliseconds kRecheckInterval{2000};

    // While shown, access is checked again every `recheckInterval`.
    explicit FullDiskAccessView(AppModel& model, QWidget* parent = nullptr,
                                std::chrono::milliseconds recheckInterval = kRecheckInterval);

    QPushButton* openSettingsButton() const { return openSettings_; }
    QPushButton* checkAgainButton() const { return checkAgain_; }
    QPushButton* continueWithoutButton() const { return continueWithout_; }
    QTimer* recheckTimer() const { return timer_; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    AppModel& model_;
    QPushButton* openSettings_;
    QPushButton* checkAgain_;
    QPushButton* continueWithout_;
    QTimer* timer_;
};

} // namespace setup
