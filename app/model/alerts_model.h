#pragma once
// AlertsModel: the health alerts (a failed or stale run, an unreachable archive
// root or source), their settings and the notifier that posts them.
#include "core/health/health_alert.h"
#include "core/health/health_alert_policy.h"
#include "core/health/health_alert_settings.h"

#include <QObject>

#include "core/platform/time.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

class AppModel;
class HealthNotifier;

class AlertsModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(kx::HealthAlertSettings alertSettings READ alertSettings NOTIFY alertSettingsChanged)
    Q_PROPERTY(Alerts activeAlerts READ activeAlerts NOTIFY activeAlertsChanged)

public:
    using Alerts = std::vector<kx::HealthAlert>;

    explicit AlertsModel(AppModel& app);

    HealthNotifier* notifier() const { return notifier_; }
    const kx::HealthAlertSettings& alertSettings() const { return alertSettings_; }
    const Alerts& activeAlerts() const { return activeAlerts_; }
    // Screens edit the settings here, then call saveAlertSettings.
    void setAlertSettings(const kx::HealthAlertSettings& s);

    // Start-up: reads "alerts.json"; a damaged file is said in lastError and
    // never written over.
    void loadAlertSettings();
    // Start-up task: the notification permission first, then the alerts, posted.
    void refreshAlertsAtLaunch();

    // Recomputes activeAlerts; with `post`, hands them to the notifier. Alerts
    // that cleared are withdrawn from the screen either way.
    void refreshAlerts(bool post);
    void postAlerts(const Alerts& alerts);
    // While held, "Your archive has never run" is not posted (the onboarding
    // sheet, where the first run is started, is up). Lifting the hold posts it
    // when it is still due.
    void holdNeverRanNotice(bool hold);
    // The archive root is not there as a folder although an archive was
    // expected in it: a root chosen in the settings, or the default one once a
    // run is known to have archived (a report was read or a source was scanned).
    // Checked on the disk at each call.
    bool archiveMissing() const;
    // While the root is there: the owners whose archive a run made in it (the
    // report on show lists them, or a Mac's report counted messages in them for
    // the household) and whose "tresk.db" is not there now, each with the folder
    // it was in. Checked on the disk at each call.
    std::vector<kx::HealthAlertPolicy::LostArchive> lostArchives() const;
    // The "Archive drive not found" alert for an archive that ran and is gone:
    // the root's while archiveMissing() holds, else the one naming the owners of
    // lostArchives(); none when nothing is lost. For every screen that shows the
    // archive (also when alerts are turned off). An owner who has no archive
    // because no run made one yet is not lost.
    std::optional<kx::HealthAlert> archiveNotFound() const;
    // The same for one owner's archive: the root's alert, or this owner's own.
    std::optional<kx::HealthAlert> archiveNotFound(const QString& owner) const;
    // Recomputes the alerts (and posts them) when an archive came or went since
    // they were last computed. Cheap; called as screens are visited.
    void recheckArchiveRoot();
    // True when there is no report, the last run failed, or the last run started
    // more than 48 hours ago.
    bool isReportStale() const;
    // When the archive was last brought up to date: the report's run date for a
    // successful run, the newest earlier success a failed run carries, none when
    // no run is known to have succeeded.
    std::optional<kx::Date> lastSuccessfulRun() const;
    // The title of an alert kind, as the notifier posts it and the health screen
    // lists it; a kind this version does not know gets a generic title.
    static QString alertTitle(kx::HealthAlert::Kind kind);
    // Saves alertSettings to "alerts.json", then recomputes the alerts (no posting).
    void saveAlertSettings();
    // <home>/Library/LaunchAgents/com.dunholt.kelvara.plist exists.
    static bool dailyScheduleFileExists();
    static constexpr int64_t kStaleAfterSeconds = 172800;

signals:
    void alertSettingsChanged();
    void activeAlertsChanged();

private:
    void setActiveAlerts(const Alerts& a);

    AppModel& app_;
    HealthNotifier* notifier_ = nullptr;
    kx::HealthAlertSettings alertSettings_;
    Alerts activeAlerts_;
    bool holdNeverRan_ = false;
    // archiveNotFound() as the alerts were last computed.
    std::optional<kx::HealthAlert> alertsSawNotFound_;
};
