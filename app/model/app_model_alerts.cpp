// Health alerts: computing them, posting them, withdrawing those that cleared,
// the staleness test and the alert settings.
#include "app/model/app_model.h"

#include "core/health/health_alert_policy.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"
#include "core/platform/system.h"
#include "household/model/health_notifier.h"

#include <QMetaObject>
#include <QPointer>

bool AppModel::dailyScheduleFileExists() {
    return kx::fs::exists(
        kx::fs::appendComponent(kx::systemInfo().homeDirectory(), "Library/LaunchAgents/com.dunholt.kelvara.plist"));
}

void AppModel::refreshAlerts(bool post) {
    const kx::HealthAlertPolicy policy{alertSettings_.enabled, alertSettings_.warnAfterDays};
    const std::string root = destinationRoot_.toStdString();
    // The root counts as reachable only as a folder: a file, or a dangling link
    // where a drive used to be mounted, holds no archive.
    const bool rootReachable = !root.empty() && kx::fs::isDirectory(root);
    const Alerts alerts = policy.alerts(report_, dailyScheduleFileExists(), root, rootReachable, clock_->now());
    setActiveAlerts(alerts);
    notifier_->withdrawCleared(alerts);
    if (post && !alerts.empty()) {
        QPointer<AppModel> self(this);
        QMetaObject::invokeMethod(
            this, [self, alerts] { if (self) self->postAlerts(alerts); }, Qt::QueuedConnection);
    }
}

void AppModel::postAlerts(const Alerts& alerts) { notifier_->deliver(alerts); }

bool AppModel::isReportStale() const {
    if (!report_) return true;
    // A failed run did not bring the archive up to date, so it never counts as
    // a fresh one.
    if (!report_->succeeded()) return true;
    return clock_->now() - report_->runDate > std::chrono::seconds(kStaleAfterSeconds);
}

void AppModel::refreshAlertsAtLaunch() {
    QPointer<AppModel> self(this);
    notifier_->refreshAuthorization([self] {
        if (self) self->refreshAlerts(true);
    });
}

void AppModel::saveAlertSettings() {
    try {
        alertSettings_.save(configFile("alerts.json"));
    } catch (const kx::Error& e) {
        setLastError("Could not save your notification settings: " + QString::fromStdString(e.localizedDescription()));
    }
    refreshAlerts(false);
}
