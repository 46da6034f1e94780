#pragma once
// HealthView: the Health route's screen. One scrolling column that says
// whether archiving is healthy: the active alerts (with a note when
// notifications are off), whether the daily job can read Messages, and, once a
// run has left a report, what the last run did, how far attachment bytes were
// verified, the tamper-evidence and sealed-exports panels, what is NOT archived
// (gaps) and the run's errors. While an archive that ran is gone, its alert is
// listed (also with alerts turned off) and the report is not shown.
//
// Honesty rules: a failed run is shown as failed with its reason and its age
// counts from the last run that succeeded; counts from a spot check are always
// labelled as a sample; "Verify every object now" (the one full sweep) is
// disabled while any run goes on.
//
// The tamper-evidence and sealed-exports panels belong to the reading room;
// whoever makes the screen builds them and hands them in, and the screen shows
// them while there is a report.
//
// Shown while the access verdict is still "not checked", the screen starts the
// access probe, at most once per visit. The verdict arrives through the model,
// which keeps it when the screen is gone by then.
#include "core/archive/coverage_report.h"
#include "core/health/health_alert.h"

#include <QColor>
#include <QWidget>

class AppModel;
class ContentUnavailableWidget;
class QGroupBox;
class QLabel;
class QPushButton;
class QTimer;
class QVBoxLayout;
class ScheduledAccessPanel;

class HealthView : public QWidget {
    Q_OBJECT
public:
    HealthView(AppModel& model, QWidget* evidencePanels, QWidget* parent = nullptr);

    // The row of a gap kind; a kind this version does not know is neutral.
    struct GapLook {
        QString title;
        QString symbol;
        QColor color;
    };
    static GapLook gapLook(kx::CoverageGap::Kind kind);
    // The symbol an alert row shows (neutral for a kind this version does not know).
    static QString alertSymbol(kx::HealthAlert::Kind kind);

    QPushButton* refreshButton() const { return refresh_; }
    // Null while no report is shown or the last run was not a spot check.
    QPushButton* verifyEveryObjectButton() const { return verifyAll_; }
    ScheduledAccessPanel* scheduledAccessPanel() const { return access_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void refreshAlerts();
    void refreshReport();
    void refreshRunning();
    void fillLastRun(const kx::CoverageReport& report);
    void fillAttachments(const kx::CoverageReport& report);
    void fillGaps(const kx::CoverageReport& report);
    void fillErrors(const kx::CoverageReport& report);

    AppModel& model_;
    bool probedThisVisit_ = false;
    // Redraws the report when its age text ("5 min ago") next changes.
    QTimer* ageTick_;
    QPushButton* refresh_;
    QGroupBox* alertsBox_;
    QVBoxLayout* alerts_;
    ScheduledAccessPanel* access_;
    ContentUnavailableWidget* noRun_;
    QGroupBox* lastRunBox_;
    QVBoxLayout* lastRun_;
    QGroupBox* attachmentsBox_;
    QVBoxLayout* attachments_;
    QPushButton* verifyAll_ = nullptr;
    // The evidence panels: the archive's tamper evidence and the sealed exports.
    QWidget* evidence_;
    QGroupBox* gapsBox_;
    QVBoxLayout* gaps_;
    QGroupBox* errorsBox_;
    QVBoxLayout* errors_;
};
