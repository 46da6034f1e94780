#pragma once
// ScheduledAccessPanel: the health screen's "Scheduled archiving" box. It says
// whether the daily job can read Messages (the access probe's verdict), how to
// fix it when it cannot (the advice and the programs to allow, each with a copy
// button) and runs the check again with "Check now".
//
// The check itself runs in PermissionsModel; the panel only shows its published
// verdict and busy flag.
#include "core/health/full_disk_access_probe.h"

#include <QColor>
#include <QGroupBox>

class AppModel;
class QLabel;
class QPushButton;
class QVBoxLayout;

class BusySpinner;

class ScheduledAccessPanel : public QGroupBox {
    Q_OBJECT
public:
    using Case = kx::FullDiskAccessProbe::Verdict::Case;

    explicit ScheduledAccessPanel(AppModel& model, QWidget* parent = nullptr);

    // How a verdict is drawn. A verdict this version does not know is neutral.
    struct Look {
        QString symbol;
        QColor color;
        bool semibold = false;
        bool detail = false;     // the verdict's own text under the headline
        bool advice = false;     // what to do, with the programs to allow
        bool openAccess = false; // "Open Full Disk Access"
    };
    static Look look(Case verdict);

    QLabel* headline() const { return headline_; }
    QLabel* symbol() const { return symbol_; }
    QLabel* detail() const { return detail_; }
    QLabel* advice() const { return advice_; }
    QWidget* grantPathRows() const { return grantRows_; }
    QPushButton* checkButton() const { return check_; }
    QPushButton* openAccessButton() const { return openAccess_; }

private:
    void refresh();

    AppModel& model_;
    QLabel* symbol_;
    QLabel* headline_;
    QLabel* detail_;
    QLabel* advice_;
    QWidget* grantRows_;
    BusySpinner* spinner_;
    QPushButton* check_;
    QPushButton* openAccess_;
};
