#include "app/model/app_model.h"

#include "app/platform/user_defaults.h"
#include "core/archive/tresk_engine.h"
#include "core/contacts/contact_directory.h"
#include "core/contacts/layered_contact_resolver.h"
#include "core/health/read_only_database.h"
#include "core/household/household_store.h"
#include "core/household/machine_identity.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"
#include "core/platform/system.h"
#include "household/model/health_notifier.h"
#include "setup/model/onboarding_model.h"

#include <QUuid>

namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }

} // namespace

QString applicationSupportConfigDir() { return qs(kx::applicationSupportConfigDir()); }

QString liveMessagesDatabasePath() {
    return qs(kx::fs::appendComponent(kx::systemInfo().homeDirectory(), "Library/Messages/chat.db"));
}

bool liveMessagesDatabaseExists() { return kx::fs::isRegularFile(liveMessagesDatabasePath().toStdString()); }

AppModel::AppModel(std::shared_ptr<const kx::Clock> clock, QObject* parent)
    : QObject(parent), clock_(clock ? std::move(clock) : std::make_shared<kx::SystemClock>()) {
    // 1. Initial values (the member initializers), the notifier, the resolver and
    //    this machine's display name.
    notifier_ = new HealthNotifier(this);
    resolver_ = std::make_shared<kx::LayeredContactResolver>(kx::ContactOverrides(), kx::ContactDirectory(),
                                                             kx::ContactsAuthorization::notLoaded);
    machineName_ = qs(kx::MachineIdentity::displayName(kx::systemInfo().computerName()));

    // 2-3. The configuration directory, created readable by this user only. A
    //      failure is not reported here: the loads below report their own.
    configDir_ = applicationSupportConfigDir();
    try {
        kx::fs::createPrivateDirectories(configDir_.toStdString());
    } catch (const kx::Error&) {
    }

    // 4. The source list. A damaged file is reported and never written over.
    {
        auto load = kx::SourceRegistry::loadOrReport(configFile("sources.json"));
        load.registry.setLoadProblem(load.problem);
        registry_ = std::move(load.registry);
        registryLoadProblem_ = load.problem ? qs(*load.problem) : QString();
    }

    // 5. Seals waiting for an anchor.
    {
        auto clockRef = clock_;
        pendingAnchors_ = std::make_unique<kx::PendingAnchorStore>(configDir_.toStdString(),
                                                                   [clockRef] { return clockRef->now(); });
        pendingAnchorCount_ = pendingAnchors_->count();
    }

    // 6. The archive root. An empty setting counts as absent; a relative path is
    //    never used (it would depend on the folder Kelvara happened to start in).
    const QString defaultRoot = qs(kx::fs::appendComponent(configDir_.toStdString(), "Tresk"));
    const auto storedRoot = userDefaults().string(DefaultsKey::destinationRoot);
    if (storedRoot && !storedRoot->isEmpty() && !storedRoot->startsWith('/')) {
        destinationRoot_ = defaultRoot;
        lastError_ = "The archive location \"" + *storedRoot + "\" is not a full path, so Kelvara is using " +
                     defaultRoot + " instead. Choose the location again in Settings.";
    } else {
        destinationRoot_ = storedRoot && !storedRoot->isEmpty() ? *storedRoot : defaultRoot;
    }

    // 7-8. The engine's last status and read access to the live database.
    refreshReport();
    checkFullDiskAccess();

    // 9. Filters. A damaged file is never read as "no filters": the engine will not
    //    archive while the problem stands, so nothing the user excluded is copied.
    {
        const std::string path = configFile("filters.json");
        filters_ = kx::FilterSet::load(path);
        if (filters_.loadProblem())
            lastError_ = "Your filters at " + qs(path) + " could not be read: " + qs(*filters_.loadProblem()) +
                         ". Kelvara will NOT overwrite that file and will not archive until it can read it, "
                         "so nothing you excluded is copied. Repair or move it, then restart.";
    }

    // 10. Names typed for handles.
    loadContactOverrides();

    // 11. The source-list sentence (after the contact names, so it wins over them).
    if (!registryLoadProblem_.isNull())
        lastError_ = "Your source list at " + qs(configFile("sources.json")) + " could not be read: " +
                     registryLoadProblem_ + ". " +
                     "Kelvara is showing no sources and will NOT overwrite that file, " +
                     "so your existing list is still on disk. Repair or move it, then restart.";

    // 12. Notification settings.
    {
        const std::string path = configFile("alerts.json");
        alertSettings_ = kx::HealthAlertSettings::load(path);
        if (alertSettings_.loadProblem)
            lastError_ = "Your notification settings at " + qs(path) + " could not be read: " +
                         qs(*alertSettings_.loadProblem) +
                         ". Kelvara is using the default settings and will NOT overwrite that file. "
                         "Repair or move it, then restart.";
    }

    // 13-14. This machine's identity and the household.
    resolveMachineIdentity();
    loadHousehold();

    // An installed daily schedule follows a changed archive root or a newly
    // resolved machine identity, so scheduled runs never write to an old root.
    keepScheduleCurrent();

    // 15. Start-up tasks, one after another on the GUI thread once the event loop runs.
    QMetaObject::invokeMethod(this, &AppModel::refreshAlertsAtLaunch, Qt::QueuedConnection);
    QMetaObject::invokeMethod(this, &AppModel::retryAnchorsAtLaunch, Qt::QueuedConnection);
    QMetaObject::invokeMethod(this, &AppModel::loadContacts, Qt::QueuedConnection);
}

AppModel::~AppModel() = default;

std::string AppModel::configFile(const char* name) const {
    return kx::fs::appendComponent(configDir_.toStdString(), name);
}

OnboardingModel* AppModel::onboarding() {
    if (!onboarding_) {
        onboarding_ = new OnboardingModel({.hasSources = [this] { return !registry().sources().empty(); }}, this);
        connect(this, &AppModel::registryChanged, onboarding_, &OnboardingModel::sourcesChanged);
    }
    return onboarding_;
}

QString AppModel::archiveOwner() const { return userDefaults().string(DefaultsKey::archiveOwner).value_or(QString()); }

void AppModel::setArchiveOwner(const QString& owner) {
    if (owner == archiveOwner()) return;
    userDefaults().setString(DefaultsKey::archiveOwner, owner);
    emit archiveOwnerChanged();
}

void AppModel::refreshReport() {
    setReport(kx::TreskEngine::readStatus(kx::fs::appendComponent(destinationRoot_.toStdString(), "STATUS.json")));
}

void AppModel::checkFullDiskAccess() {
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

void AppModel::loadContactOverrides() {
    try {
        auto loaded = kx::ContactOverrides::load(configFile("contacts-overrides.json"));
        overrides_ = loaded;
        emit overridesChanged();
        resolver_->replaceOverrides(overrides_);
    } catch (const kx::Error& e) {
        setLastError("Could not load your saved contact names (" + qs(e.what()) +
                     "). Names you entered are not being applied.");
    }
}

void AppModel::resolveMachineIdentity() {
    try {
        const std::string id = kx::MachineIdentity::resolve(
            configDir_.toStdString(), [] { return makeMachineID().toStdString(); }, clock_->now());
        setMachineID(qs(id));
    } catch (const kx::Error& e) {
        setLastError(qs(e.what()));
    }
}

QString AppModel::makeMachineID() { return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper(); }

void AppModel::loadHousehold() {
    const auto load = kx::HouseholdStore::load(configDir_.toStdString());
    switch (load.outcome) {
    case kx::HouseholdLoad::Outcome::loaded:
        setHouseholdLoadProblem(QString());
        setHousehold(load.household);
        break;
    case kx::HouseholdLoad::Outcome::problem:
        setHouseholdLoadProblem(qs(load.problem));
        setLastError("Your household file at " + qs(kx::HouseholdStore::path(configDir_.toStdString())) +
                     " could not be read (" + qs(load.problem) + "). " +
                     "It is NOT being overwritten, so the file is still on disk. " +
                     "Repair or move it aside, then restart.");
        break;
    case kx::HouseholdLoad::Outcome::noFile:
        setHouseholdLoadProblem(QString());
        break;
    }
}

// ---- Writers ----

void AppModel::setRoute(Route r) { publish(route_, r, &AppModel::routeChanged); }
void AppModel::setLastError(const QString& e) {
    if (e == lastError_ && e.isNull() == lastError_.isNull()) return;
    lastError_ = e;
    emit lastErrorChanged();
}
void AppModel::setHasFullDiskAccess(bool v) { publish(hasFullDiskAccess_, v, &AppModel::hasFullDiskAccessChanged); }
void AppModel::setDismissedFullDiskAccessPrompt(bool v) {
    publish(dismissedFullDiskAccessPrompt_, v, &AppModel::dismissedFullDiskAccessPromptChanged);
}
void AppModel::setFilters(const kx::FilterSet& f) { publish(filters_, f, &AppModel::filtersChanged); }
void AppModel::setAlertSettings(const kx::HealthAlertSettings& s) {
    alertSettings_ = s;
    emit alertSettingsChanged();
}
void AppModel::setOverrides(const kx::ContactOverrides& o) { publish(overrides_, o, &AppModel::overridesChanged); }
void AppModel::setDestinationRootValue(const QString& root) {
    publish(destinationRoot_, root, &AppModel::destinationRootChanged);
}
void AppModel::setReport(const OptionalReport& r) { publish(report_, r, &AppModel::reportChanged); }
void AppModel::setIsRunning(bool v) { publish(isRunning_, v, &AppModel::isRunningChanged); }
void AppModel::setCoverage(const Coverage& c) { publish(coverage_, c, &AppModel::coverageChanged); }
void AppModel::setDeletion(const OptionalDeletion& d) { publish(deletion_, d, &AppModel::deletionChanged); }
void AppModel::setIsAnalyzing(bool v) { publish(isAnalyzing_, v, &AppModel::isAnalyzingChanged); }
void AppModel::setPendingAnchorCount(int n) { publish(pendingAnchorCount_, n, &AppModel::pendingAnchorCountChanged); }
void AppModel::setLastAnchorRetry(const QString& t) { publish(lastAnchorRetry_, t, &AppModel::lastAnchorRetryChanged); }
void AppModel::setRegistryLoadProblem(const QString& p) {
    publish(registryLoadProblem_, p, &AppModel::registryLoadProblemChanged);
}
void AppModel::setPendingOwnerChoice(const QString& o) {
    publish(pendingOwnerChoice_, o, &AppModel::pendingOwnerChoiceChanged);
}
void AppModel::setFilterPreview(const OptionalFilterPreview& p) {
    publish(filterPreview_, p, &AppModel::filterPreviewChanged);
}
void AppModel::setFilterSuggestions(const FilterSuggestions& s) {
    publish(filterSuggestions_, s, &AppModel::filterSuggestionsChanged);
}
void AppModel::setDuplicateFindings(const DuplicateFindings& f) {
    publish(duplicateFindings_, f, &AppModel::duplicateFindingsChanged);
}
void AppModel::setIdenticalGroups(const IdenticalGroups& g) {
    publish(identicalGroups_, g, &AppModel::identicalGroupsChanged);
}
void AppModel::setActiveAlerts(const Alerts& a) {
    // Always announced: a recomputation that gives the same list is still news
    // to the screens that asked for it.
    activeAlerts_ = a;
    emit activeAlertsChanged();
}
void AppModel::setManifestState(const ManifestStates& m) {
    manifestState_ = m;
    emit manifestStateChanged();
}
void AppModel::setIsManifesting(bool v) { publish(isManifesting_, v, &AppModel::isManifestingChanged); }
void AppModel::setContactsAuthorization(kx::ContactsAuthorization a) {
    publish(contactsAuthorization_, a, &AppModel::contactsAuthorizationChanged);
}
void AppModel::setContactsLoadedCount(int n) {
    publish(contactsLoadedCount_, n, &AppModel::contactsLoadedCountChanged);
}
void AppModel::setContactsScanned(int n) { publish(contactsScanned_, n, &AppModel::contactsScannedChanged); }
void AppModel::setMachineID(const QString& id) { publish(machineID_, id, &AppModel::machineIDChanged); }
void AppModel::setHousehold(const kx::Household& h) { publish(household_, h, &AppModel::householdChanged); }
void AppModel::setHouseholdLoadProblem(const QString& p) {
    publish(householdLoadProblem_, p, &AppModel::householdLoadProblemChanged);
}
void AppModel::setFdaVerdict(const FdaVerdict& v) { publish(fdaVerdict_, v, &AppModel::fdaVerdictChanged); }
void AppModel::setIsProbingFDA(bool v) { publish(isProbingFDA_, v, &AppModel::isProbingFDAChanged); }
