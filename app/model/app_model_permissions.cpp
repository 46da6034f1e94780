// AppModel: permissions, the scheduled-context access probe and keeping the
// installed daily schedule current.
#include "app/model/app_model.h"

#include "app/model/permissions_notifications.h"
#include "core/contacts/contact_directory.h"
#include "core/contacts/layered_contact_resolver.h"
#include "core/contacts/system_contacts.h"
#include "core/health/schedule_installer.h"
#include "household/model/health_notifier.h"

#include <QCoreApplication>
#include <QThreadPool>

namespace {

// How long the engine may take to answer the access probe.
constexpr double kProbeTimeoutSeconds = 20.0;

} // namespace

kx::PermissionsSummary AppModel::permissionStatus() const {
    kx::PermissionsSummary summary;
    summary.scheduleInstalled = kx::ScheduleInstaller::isInstalled();
    summary.fullDiskAccess = fdaVerdict_;
    summary.contacts = contactsAuthorization_;
    summary.notificationsAllowed = notifier_ ? notificationsAllowed(notifier_->authorization()) : std::nullopt;
    return summary;
}

void AppModel::startAccessProbe() {
    if (isProbingFDA_) return;
    setIsProbingFDA(true);
    // This application's own access, checked here on the GUI thread (quick).
    const std::string path = kx::FullDiskAccessProbe::liveMessagesDatabasePath();
    const bool exists = kx::FullDiskAccessProbe::databaseExists(path);
    const std::optional<int64_t> appMessages = kx::FullDiskAccessProbe::appContextMessageCount(path);
    QPointer<AppModel> self(this);
    QThreadPool::globalInstance()->start([self, appMessages, exists] { probeFullDiskAccess(self, appMessages, exists); });
}

void AppModel::probeFullDiskAccess(QPointer<AppModel> model, std::optional<int64_t> appMessages, bool databaseExists) {
    const auto scheduled = kx::ScheduleInstaller::probeScheduledAccess(kProbeTimeoutSeconds);
    const auto verdict = kx::FullDiskAccessProbe::verdict(appMessages, databaseExists, scheduled);
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return;
    QMetaObject::invokeMethod(
        app,
        [model, verdict] {
            if (!model) return;
            model->setFdaVerdict(verdict);
            model->setIsProbingFDA(false);
        },
        Qt::QueuedConnection);
}

void AppModel::requestContactsAccess() {
    const kx::ContactsAuthorization state = kx::SystemContacts().requestAccess();
    if (state == kx::ContactsAuthorization::authorized) {
        loadContacts();
        return;
    }
    setContactsAuthorization(state);
    if (resolver_) resolver_->replaceDirectory(kx::ContactDirectory(), state);
}

void AppModel::refreshInstalledSchedule() {
    const std::string machine = machineID_.toStdString();
    try {
        kx::ScheduleInstaller::refreshIfInstalled(configFile("sources.json"), destinationRoot_.toStdString(),
                                                  configFile("filters.json"),
                                                  machine.empty() ? std::nullopt : std::optional<std::string>(machine));
    } catch (const kx::ScheduleInstaller::InstallError& e) {
        setLastError(QString::fromStdString("The daily schedule could not be updated to the current archive settings. " +
                                            std::string(e.what())));
    }
}

void AppModel::keepScheduleCurrent() {
    connect(this, &AppModel::destinationRootChanged, this, &AppModel::refreshInstalledSchedule, Qt::UniqueConnection);
    connect(this, &AppModel::machineIDChanged, this, &AppModel::refreshInstalledSchedule, Qt::UniqueConnection);
    // Values settled during start-up (the machine identity resolved for the first
    // time, a root changed while Kelvara was closed) are caught up at once.
    refreshInstalledSchedule();
}
