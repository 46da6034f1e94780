#include "app/model/app_model.h"

#include "app/model/alerts_model.h"
#include "app/model/analysis_model.h"
#include "app/model/contacts_model.h"
#include "app/model/evidence_model.h"
#include "app/model/filters_model.h"
#include "app/model/household_model.h"
#include "app/model/owners_model.h"
#include "app/model/permissions_model.h"
#include "app/model/publish.h"
#include "app/model/runs_model.h"
#include "app/model/sources_model.h"
#include "app/platform/logging.h"
#include "app/platform/user_defaults.h"
#include "core/archive/archive_layout.h"
#include "core/archive/tresk_engine.h"
#include "core/backup/restore_staging.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"
#include "core/platform/system.h"
#include "core/platform/time.h"

#include <algorithm>

namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }

} // namespace

QString applicationSupportConfigDir() { return qs(kx::applicationSupportConfigDir()); }

AppModel::AppModel(std::shared_ptr<const kx::Clock> clock, QObject* parent)
    : QObject(parent), clock_(clock ? std::move(clock) : std::make_shared<kx::SystemClock>()),
      tasks_(std::make_unique<TaskRunner>()) {
    // 1. Initial values: the notifier, the resolver and this machine's display name.
    alerts_ = std::make_unique<AlertsModel>(*this);
    contacts_ = std::make_unique<ContactsModel>(*this);
    household_ = std::make_unique<HouseholdModel>(*this);

    // 2-3. The configuration directory, created readable by this user only. A
    //      failure is not reported here: the loads below report their own.
    configDir_ = applicationSupportConfigDir();
    try {
        kx::fs::createPrivateDirectories(configDir_.toStdString());
    } catch (const kx::Error& e) {
        qCWarning(lcPlatform, "The configuration folder %s could not be created: %s", qPrintable(configDir_), e.what());
    }

    // 4. The source list. A damaged file is reported and never written over.
    {
        auto load = kx::SourceRegistry::loadOrReport(config().sources());
        load.registry.setLoadProblem(load.problem);
        registry_ = std::move(load.registry);
        registryLoadProblem_ = load.problem ? qs(*load.problem) : QString();
    }

    // 5. Seals waiting for an anchor.
    evidence_ = std::make_unique<EvidenceModel>(*this);

    // The remaining features hold nothing that is loaded.
    permissions_ = std::make_unique<PermissionsModel>(*this);
    filters_ = std::make_unique<FiltersModel>(*this);
    owners_ = std::make_unique<OwnersModel>(*this);
    runs_ = std::make_unique<RunsModel>(*this);
    analysis_ = std::make_unique<AnalysisModel>(*this);
    sources_ = std::make_unique<SourcesModel>(*this);

    // 6. The archive root. An empty setting counts as absent; a relative path is
    //    never used (it would depend on the folder Kelvara happened to start in).
    const QString defaultRoot = defaultDestinationRoot();
    const auto storedRoot = userDefaults().string(DefaultsKey::destinationRoot);
    if (storedRoot && !storedRoot->isEmpty() && !storedRoot->startsWith('/')) {
        destinationRoot_ = defaultRoot;
        setLastError("The archive location \"" + *storedRoot + "\" is not a full path, so Kelvara is using " +
                     defaultRoot + " instead. Choose the location again in Settings.");
    } else {
        destinationRoot_ = storedRoot && !storedRoot->isEmpty() ? *storedRoot : defaultRoot;
    }

    // Decrypted data a killed restore left in the archive root goes at once.
    kx::sweepStaleRestores(destinationRoot_.toStdString());

    // 7-8. The engine's last status and read access to the live database.
    refreshReport();
    runs_->recordShownReport();
    permissions_->checkFullDiskAccess();

    // 9. Filters. A damaged file stops archiving, so nothing excluded is copied.
    filters_->loadFilters();

    // 10. Names typed for handles.
    contacts_->loadContactOverrides();

    // 11. Notification settings.
    alerts_->loadAlertSettings();

    // 12-13. This machine's identity and the household.
    household_->resolveMachineIdentity();
    household_->loadHousehold();

    // Every start-up problem is named, the source list first.
    startingUp_ = false;
    QStringList problems;
    if (!registryLoadProblem_.isNull()) {
        problems << registryLoadSentence();
        qCWarning(lcApp).noquote() << problems.last(); // the others were logged as they were said
    }
    problems += startupProblems_;
    if (!problems.isEmpty()) lastError_ = problems.join(' ');

    wireFeatures();

    // An installed daily schedule follows a changed archive root or a newly
    // resolved machine identity, so scheduled runs never write to an old root.
    permissions_->keepScheduleCurrent();

    // 14. Start-up tasks, one after another on the GUI thread once the event loop runs.
    tasks_->handBack([this] { alerts_->refreshAlertsAtLaunch(); });
    tasks_->handBack([this] { evidence_->retryAnchorsAtLaunch(); });
    tasks_->handBack([this] { contacts_->loadContacts(); });
}

AppModel::~AppModel() {
    // Nothing is handed back to a model that is going away, and no task still
    // running may outlive the models it reads.
    tasks_->closeAndWait();
}

void AppModel::wireFeatures() {
    // A finished run is recorded for this machine, then the alerts follow it.
    connect(runs_.get(), &RunsModel::runSucceeded, household_.get(), &HouseholdModel::recordRun);
    connect(runs_.get(), &RunsModel::runEnded, alerts_.get(), [this] { alerts_->refreshAlerts(true); });
    // A run starting is about to change the archive the analyses describe.
    connect(runs_.get(), &RunsModel::isRunningChanged, analysis_.get(), &AnalysisModel::clearAnalyses);
}

kx::ConfigLayout AppModel::config() const { return kx::ConfigLayout(configDir_.toStdString()); }

void AppModel::startTask(std::optional<TaskPriority> priority, TaskRunner::Work work) {
    tasks_->start(priority, std::move(work));
}

void AppModel::startTask(const QObject* context, std::optional<TaskPriority> priority, TaskRunner::Work work,
                         TaskRunner::Publish completion) {
    tasks_->start(context, priority, std::move(work), std::move(completion));
}

void AppModel::refreshReport() {
    setReport(kx::TreskEngine::readStatus(kx::ArchiveLayout(destinationRoot_.toStdString()).statusFile()));
}

QString AppModel::defaultDestinationRoot() const {
    return qs(kx::fs::appendComponent(configDir_.toStdString(), "Tresk"));
}

void AppModel::setDestinationRoot(const QString& path) {
    // A relative location would depend on the folder Kelvara happened to start
    // in, and an empty one on nothing at all: neither is ever stored.
    if (!path.startsWith('/')) {
        setLastError("The archive location \"" + path +
                     "\" is not a full path, so it was not changed. Choose a folder again.");
        return;
    }
    setDestinationRootValue(path);
    userDefaults().setString(DefaultsKey::destinationRoot, path);
    refreshReport();
}

std::optional<QString> AppModel::saveRegistry(const QString& action) {
    try {
        registry_.save();
        return std::nullopt;
    } catch (const kx::Error& e) {
        return "Could not save your source list (" + action + "): " + qs(e.localizedDescription()) +
               ". The change may be lost when you quit.";
    }
}

void AppModel::setRoute(Route r) {
    // The archive root can vanish while Kelvara runs (a drive unplugged, a
    // folder removed): each screen visited is told.
    alerts_->recheckArchiveRoot();
    publish(this, route_, r, &AppModel::routeChanged);
}
QString AppModel::registryLoadSentence() const {
    if (registryLoadProblem_.isNull()) return {};
    return "Your source list at " + qs(config().sources()) + " could not be read: " + registryLoadProblem_ + ". " +
           "Kelvara is showing no sources and will NOT overwrite that file, " +
           "so your existing list is still on disk. Repair or move it, then restart.";
}

void AppModel::setLastError(const QString& e) {
    // Every sentence the banner shows is also in the log, so a person who saw
    // one go by can send it.
    if (!e.isNull()) qCWarning(lcApp).noquote() << e;
    if (startingUp_) {
        if (!e.isNull() && !startupProblems_.contains(e)) startupProblems_ << e;
        return;
    }
    if (e == lastError_ && e.isNull() == lastError_.isNull()) return;
    lastError_ = e;
    emit lastErrorChanged();
}

int64_t AppModel::coverageGapCount() const {
    if (!report_) return 0;
    return std::count_if(report_->gaps.begin(), report_->gaps.end(),
                         [](const kx::CoverageGap& g) { return g.needsAttention(); });
}

void AppModel::setReport(const OptionalReport& r) { publish(this, report_, r, &AppModel::reportChanged); }
void AppModel::setDestinationRootValue(const QString& root) {
    publish(this, destinationRoot_, root, &AppModel::destinationRootChanged);
}
