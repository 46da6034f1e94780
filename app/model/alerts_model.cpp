// Health alerts: computing them, posting them, withdrawing those that cleared,
// the staleness test and the alert settings.
#include "app/model/alerts_model.h"

#include "app/model/app_model.h"
#include "app/model/health_notifier.h"
#include "app/model/household_model.h"
#include "core/archive/archive_layout.h"
#include "core/health/health_alert_policy.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"
#include "core/platform/system.h"

#include <algorithm>
#include <iterator>

AlertsModel::AlertsModel(AppModel& app) : app_(app), notifier_(new HealthNotifier(this)) {}

void AlertsModel::setAlertSettings(const kx::HealthAlertSettings& s) {
    alertSettings_ = s;
    emit alertSettingsChanged();
}

void AlertsModel::setActiveAlerts(const Alerts& a) {
    // Always announced: a recomputation that gives the same list is still news
    // to the screens that asked for it.
    activeAlerts_ = a;
    emit activeAlertsChanged();
}

void AlertsModel::loadAlertSettings() {
    const std::string path = app_.config().alerts();
    alertSettings_ = kx::HealthAlertSettings::load(path);
    if (alertSettings_.loadProblem)
        app_.setLastError("Your notification settings at " + QString::fromStdString(path) +
                          " could not be read: " + QString::fromStdString(*alertSettings_.loadProblem) +
                          ". Kelvara is using the default settings and will NOT overwrite that file. "
                          "Repair or move it, then restart.");
}

bool AlertsModel::dailyScheduleFileExists() {
    return kx::fs::exists(
        kx::fs::appendComponent(kx::systemInfo().homeDirectory(), "Library/LaunchAgents/com.dunholt.kelvara.plist"));
}

bool AlertsModel::archiveMissing() const {
    const std::string root = app_.destinationRoot().toStdString();
    if (root.empty()) return true;
    // A file, or a dangling link where a drive used to be mounted, holds no archive.
    if (kx::fs::isDirectory(root)) return false;
    // The default location before any run is the exception: the first run
    // makes it, so it is not a drive to plug in (that no run has happened is an
    // alert of its own). Once a run archived into it, its loss is.
    if (app_.destinationRoot() != app_.defaultDestinationRoot() || kx::fs::exists(root)) return true;
    if (app_.report()) return true;
    const auto& sources = app_.registry().sources();
    return std::any_of(sources.begin(), sources.end(), [](const kx::Source& s) { return s.lastScanned.has_value(); });
}

std::vector<kx::HealthAlertPolicy::LostArchive> AlertsModel::lostArchives() const {
    std::vector<kx::HealthAlertPolicy::LostArchive> lost;
    if (archiveMissing()) return lost;
    const kx::ArchiveLayout layout(app_.destinationRoot().toStdString());
    const auto consider = [&](const std::string& owner) {
        if (std::any_of(lost.begin(), lost.end(), [&](const auto& l) { return l.owner == owner; })) return;
        const auto paths = layout.ownerIfValid(owner);
        if (paths && !kx::fs::isRegularFile(paths->database)) lost.push_back({owner, paths->folder});
    };
    // A report lists an owner only once the run has opened (so made) its store.
    if (const auto& report = app_.report())
        for (const auto& o : report->owners) consider(o.owner);
    for (const auto& m : app_.householdModel().household().members)
        if (std::any_of(m.macs.begin(), m.macs.end(), [](const auto& mac) { return mac.totalMessages > 0; }))
            consider(m.owner);
    return lost;
}

namespace {

// The root's alert, else the one of the lost archives (of `owner` only, when given).
std::optional<kx::HealthAlert> notFoundAlert(const AlertsModel& alerts, const QString& root,
                                             const std::optional<std::string>& owner) {
    if (alerts.archiveMissing()) return kx::HealthAlertPolicy::archiveNotFound(root.toStdString());
    auto lost = alerts.lostArchives();
    if (owner) std::erase_if(lost, [&](const auto& l) { return l.owner != *owner; });
    if (lost.empty()) return std::nullopt;
    return kx::HealthAlertPolicy::archivesNotFound(lost);
}

} // namespace

std::optional<kx::HealthAlert> AlertsModel::archiveNotFound() const {
    return notFoundAlert(*this, app_.destinationRoot(), std::nullopt);
}

std::optional<kx::HealthAlert> AlertsModel::archiveNotFound(const QString& owner) const {
    return notFoundAlert(*this, app_.destinationRoot(), owner.toStdString());
}

void AlertsModel::recheckArchiveRoot() {
    if (archiveNotFound() != alertsSawNotFound_) refreshAlerts(true);
}

void AlertsModel::refreshAlerts(bool post) {
    const kx::HealthAlertPolicy policy{alertSettings_.enabled, alertSettings_.warnAfterDays};
    const std::string root = app_.destinationRoot().toStdString();
    const bool rootMissing = archiveMissing();
    alertsSawNotFound_ = archiveNotFound();
    Alerts alerts = policy.alerts(app_.report(), dailyScheduleFileExists(), root, !rootMissing, app_.clock().now());
    // The policy knows the root only: owners' archives gone from a root that is
    // there come first, where the root's alert would stand.
    if (policy.enabled && !rootMissing && alertsSawNotFound_) alerts.insert(alerts.begin(), *alertsSawNotFound_);
    setActiveAlerts(alerts);
    notifier_->withdrawCleared(alerts);
    // Posted once the caller's own work is done.
    if (post && !alerts.empty()) app_.tasks().handBack([this, alerts] { postAlerts(alerts); });
}

void AlertsModel::postAlerts(const Alerts& alerts) {
    if (!holdNeverRan_) {
        notifier_->deliver(alerts);
        return;
    }
    Alerts posted;
    std::copy_if(alerts.begin(), alerts.end(), std::back_inserter(posted),
                 [](const kx::HealthAlert& a) { return a.kind != kx::HealthAlert::Kind::neverRan; });
    if (!posted.empty()) notifier_->deliver(posted);
}

void AlertsModel::holdNeverRanNotice(bool hold) {
    if (hold == holdNeverRan_) return;
    holdNeverRan_ = hold;
    if (hold) return;
    // Still due only if it is still true now.
    refreshAlerts(false);
    Alerts due;
    std::copy_if(activeAlerts_.begin(), activeAlerts_.end(), std::back_inserter(due),
                 [](const kx::HealthAlert& a) { return a.kind == kx::HealthAlert::Kind::neverRan; });
    if (!due.empty()) notifier_->deliver(due);
}

bool AlertsModel::isReportStale() const {
    const auto& report = app_.report();
    if (!report) return true;
    // A failed run did not bring the archive up to date, so it never counts as
    // a fresh one.
    if (!report->succeeded()) return true;
    return app_.clock().now() - report->runDate > std::chrono::seconds(kStaleAfterSeconds);
}

std::optional<kx::Date> AlertsModel::lastSuccessfulRun() const {
    const auto& report = app_.report();
    if (!report) return std::nullopt;
    if (report->succeeded()) return report->runDate;
    return report->lastSuccessAt;
}

QString AlertsModel::alertTitle(kx::HealthAlert::Kind kind) {
    return QString::fromStdString(kx::HealthAlertPolicy::title(kind));
}

void AlertsModel::refreshAlertsAtLaunch() {
    notifier_->refreshAuthorization([this] { refreshAlerts(true); });
}

void AlertsModel::saveAlertSettings() {
    try {
        alertSettings_.save(app_.config().alerts());
    } catch (const kx::Error& e) {
        app_.setLastError("Could not save your notification settings: " +
                          QString::fromStdString(e.localizedDescription()));
    }
    refreshAlerts(false);
}
