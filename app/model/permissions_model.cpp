#include "app/model/permissions_model.h"

#include "app/model/alerts_model.h"
#include "app/model/app_model.h"
#include "app/model/contacts_model.h"
#include "app/model/household_model.h"
#include "app/model/publish.h"
#include "core/health/read_only_database.h"
#include "core/health/schedule_installer.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"
#include "core/platform/system.h"

#include <QCoreApplication>

namespace {

// How long the engine may take to answer the access probe.
constexpr double kProbeTimeoutSeconds = 20.0;

} // namespace

QString liveMessagesDatabasePath() {
    return QString::fromStdString(
        kx::fs::appendComponent(kx::systemInfo().homeDirectory(), "Library/Messages/chat.db"));
}

bool liveMessagesDatabaseExists() { return kx::fs::isRegularFile(liveMessagesDatabasePath().toStdString()); }

std::optional<bool> notificationsAllowed(HealthNotifier::Authorization authorization) {
    switch (authorization) {
    case HealthNotifier::Authorization::authorized:
    case HealthNotifier::Authorization::provisional: return true;
    case HealthNotifier::Authorization::denied: return false;
    case HealthNotifier::Authorization::notDetermined:
    case HealthNotifier::Authorization::unavailable: return std::nullopt;
    }
    return std::nullopt;
}

PermissionsModel::PermissionsModel(AppModel& app) : app_(app) {}

void PermissionsModel::setHasFullDiskAccess(bool v) {
    publish(this, hasFullDiskAccess_, v, &PermissionsModel::hasFullDiskAccessChanged);
}
void PermissionsModel::setDismissedFullDiskAccessPrompt(bool v) {
    publish(this, dismissedFullDiskAccessPrompt_, v, &PermissionsModel::dismissedFullDiskAccessPromptChanged);
}
void PermissionsModel::setFdaVerdict(const FdaVerdict& v) {
    publish(this, fdaVerdict_, v, &PermissionsModel::fdaVerdictChanged);
}
void PermissionsModel::setIsProbingFDA(bool v) {
    publish(this, isProbingFDA_, v, &PermissionsModel::isProbingFDAChanged);
}

void PermissionsModel::checkFullDiskAccess() {
    const std::string path = liveMessagesDatabasePath().toStdString();
    bool readable = false;
    if (kx::fs::exists(path)) {
        try {
            kx::ReadOnlyDatabase db(path);
            readable = true;
        } catch (const kx::Error&) {
            readable = false;
        }
    }
    setHasFullDiskAccess(readable);
    if (readable) setDismissedFullDiskAccessPrompt(false);
}

kx::PermissionsSummary PermissionsModel::permissionStatus() const {
    kx::PermissionsSummary summary;
    summary.scheduleInstalled = kx::ScheduleInstaller::isInstalled();
    summary.fullDiskAccess = fdaVerdict_;
    summary.contacts = app_.contacts().contactsAuthorization();
    const HealthNotifier* notifier = app_.alerts().notifier();
    summary.notificationsAllowed = notifier ? notificationsAllowed(notifier->authorization()) : std::nullopt;
    return summary;
}

void PermissionsModel::startAccessProbe() {
    if (isProbingFDA_) return;
    setIsProbingFDA(true);
    // This application's own access, checked here on the GUI thread (quick).
    const std::string path = kx::FullDiskAccessProbe::liveMessagesDatabasePath();
    const bool exists = kx::FullDiskAccessProbe::databaseExists(path);
    const std::optional<int64_t> appMessages = kx::FullDiskAccessProbe::appContextMessageCount(path);
    app_.startTask(
        this, TaskPriority::userInitiated,
        [this, appMessages, exists]() -> TaskRunner::Publish {
            const FdaVerdict verdict = probeFullDiskAccess(appMessages, exists);
            return [this, verdict] { setFdaVerdict(verdict); };
        },
        [this] { setIsProbingFDA(false); });
}

PermissionsModel::FdaVerdict PermissionsModel::probeFullDiskAccess(std::optional<int64_t> appMessages,
                                                                   bool databaseExists) {
    const auto scheduled = kx::ScheduleInstaller::probeScheduledAccess(kProbeTimeoutSeconds);
    return kx::FullDiskAccessProbe::verdict(appMessages, databaseExists, scheduled);
}

std::vector<QString> PermissionsModel::grantPaths() {
    std::vector<QString> paths;
    for (const std::string& p :
         kx::FullDiskAccessProbe::grantPaths(QCoreApplication::applicationFilePath().toStdString()))
        paths.push_back(QString::fromStdString(p));
    // The engine the schedule actually runs, where it is not beside the
    // application (a build tree, an install prefix's libexec).
    if (const auto engine = kx::ScheduleInstaller::locateEngine(); engine && paths.size() == 2)
        paths[1] = QString::fromStdString(*engine);
    return paths;
}

QString PermissionsModel::accessAdvice(FdaVerdict::Case verdict) {
    switch (verdict) {
    case FdaVerdict::Case::scheduledBlocked:
    case FdaVerdict::Case::appBlocked:
        return tr("Open System Settings, Privacy and Security, Full Disk Access, and add BOTH of these. Full Disk "
                  "Access is granted per program, so adding only the app leaves the nightly job unable to read "
                  "anything:") +
               QStringLiteral(
                   "\n\n  /Applications/Kelvara.app\n  /Applications/Kelvara.app/Contents/Frameworks/kxctl\n\n") +
               tr("Use Shift-Command-G in the file picker to type the second path, since Finder hides the inside "
                  "of an app bundle.");
    case FdaVerdict::Case::notChecked: return tr("Open the app's Health panel and run the check again.");
    case FdaVerdict::Case::allGranted:
    case FdaVerdict::Case::noDatabase: break;
    }
    return QString();
}

std::optional<QString> PermissionsModel::installSchedule() {
    const std::string machine = app_.householdModel().machineID().toStdString();
    try {
        kx::ScheduleInstaller::install(app_.config().sources(), app_.destinationRoot().toStdString(),
                                       app_.config().filters(),
                                       machine.empty() ? std::nullopt : std::optional<std::string>(machine),
                                       kx::ScheduleInstaller::kHour, kx::ScheduleInstaller::kMinute);
    } catch (const std::exception& e) {
        // One sentence, whatever the scheduler printed around its reason.
        QString reason = QString::fromStdString(e.what()).trimmed();
        while (reason.endsWith(u'.')) reason.chop(1);
        return "The daily schedule did not install: " + reason + ".";
    }
    if (!kx::ScheduleInstaller::isInstalled())
        return "The daily schedule reported success but is not on disk at " +
               QString::fromStdString(kx::ScheduleInstaller::plistURL()) + ".";
    return std::nullopt;
}

std::optional<QString> PermissionsModel::removeSchedule() {
    try {
        kx::ScheduleInstaller::uninstall();
    } catch (const std::exception& e) {
        return "Could not remove the daily schedule: " + QString::fromStdString(e.what());
    }
    if (kx::ScheduleInstaller::isInstalled())
        return "The daily schedule is still on disk at " + QString::fromStdString(kx::ScheduleInstaller::plistURL()) +
               ".";
    return std::nullopt;
}

bool PermissionsModel::scheduleInstalled() { return kx::ScheduleInstaller::isInstalled(); }

QString PermissionsModel::scheduleLogFolder() { return QString::fromStdString(kx::ScheduleInstaller::logFolder()); }

void PermissionsModel::refreshInstalledSchedule() {
    const std::string machine = app_.householdModel().machineID().toStdString();
    try {
        kx::ScheduleInstaller::refreshIfInstalled(app_.config().sources(), app_.destinationRoot().toStdString(),
                                                  app_.config().filters(),
                                                  machine.empty() ? std::nullopt : std::optional<std::string>(machine));
    } catch (const kx::ScheduleInstaller::InstallError& e) {
        app_.setLastError(QString::fromStdString(
            "The daily schedule could not be updated to the current archive settings. " + std::string(e.what())));
    }
}

void PermissionsModel::keepScheduleCurrent() {
    connect(&app_, &AppModel::destinationRootChanged, this, &PermissionsModel::refreshInstalledSchedule,
            Qt::UniqueConnection);
    connect(&app_.householdModel(), &HouseholdModel::machineIDChanged, this,
            &PermissionsModel::refreshInstalledSchedule, Qt::UniqueConnection);
    // Values settled during start-up (the machine identity resolved for the first
    // time, a root changed while Kelvara was closed) are caught up at once.
    refreshInstalledSchedule();
}
