#pragma once
// AppModel: the application's central model. One instance lives for the whole
// process; every window reads its properties and calls its operations. Views
// never touch archive data themselves.
//
// Threading: every member is used on the GUI thread only, except openStore,
// search and attachmentPath, which background work may call (they read
// destinationRoot as it stands and report problems through a queued call).
// Long work runs on the thread pool through startTask and hands its result back
// to the GUI thread in one queued call.
//
// lastError, registryLoadProblem, householdLoadProblem, pendingOwnerChoice and
// lastAnchorRetry are texts where a null QString means "none".
#include "app/model/evidence_types.h"
#include "app/model/permissions_summary.h"
#include "app/model/route.h"
#include "core/archive/coverage.h"
#include "core/archive/coverage_report.h"
#include "core/archive/deletion_safety.h"
#include "core/archive/duplicate_source_analyzer.h"
#include "core/contacts/contact_overrides.h"
#include "core/contacts/contacts_authorization.h"
#include "core/archive/tresk_store.h"
#include "core/contacts/contact_resolver.h"
#include "core/evidence/export_format.h"
#include "core/evidence/pending_anchor_store.h"
#include "core/evidence/seal_anchor_client.h"
#include "core/filters/filter_analyzer.h"
#include "core/filters/filter_set.h"
#include "core/health/full_disk_access_probe.h"
#include "core/health/health_alert.h"
#include "core/health/health_alert_settings.h"
#include "core/household/household.h"
#include "core/platform/time.h"
#include "core/sources/source.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

class HealthNotifier;
class OnboardingModel;
namespace kx {
class LayeredContactResolver;
}

class AppModel : public QObject {
    Q_OBJECT

public:
    using Coverage = std::vector<kx::OwnerCoverage>;
    using OptionalDeletion = std::optional<kx::DeletionSafetyReport>;
    using OptionalReport = std::optional<kx::CoverageReport>;
    using OptionalFilterPreview = std::optional<kx::FilterPreview>;
    using FilterSuggestions = std::vector<kx::FilterSuggestion>;
    using DuplicateFindings = std::map<std::string, kx::DuplicateSourceAnalyzer::Finding>;
    using IdenticalGroups = std::vector<std::vector<std::string>>;
    using Alerts = std::vector<kx::HealthAlert>;
    using ManifestState = AppModelManifestState;
    using ExportResult = AppModelExportResult;
    using ManifestStates = std::map<std::string, ManifestState>;
    using FdaVerdict = kx::FullDiskAccessProbe::Verdict;

private:
    // Published properties, in the model's declaration order.
    Q_PROPERTY(Route route READ route WRITE setRoute NOTIFY routeChanged)
    Q_PROPERTY(kx::SourceRegistry registry READ registry NOTIFY registryChanged)
    Q_PROPERTY(QString destinationRoot READ destinationRoot NOTIFY destinationRootChanged)
    Q_PROPERTY(OptionalReport report READ report NOTIFY reportChanged)
    Q_PROPERTY(bool isRunning READ isRunning NOTIFY isRunningChanged)
    Q_PROPERTY(QString lastError READ lastError WRITE setLastError NOTIFY lastErrorChanged)
    Q_PROPERTY(bool hasFullDiskAccess READ hasFullDiskAccess WRITE setHasFullDiskAccess NOTIFY hasFullDiskAccessChanged)
    Q_PROPERTY(Coverage coverage READ coverage NOTIFY coverageChanged)
    Q_PROPERTY(OptionalDeletion deletion READ deletion NOTIFY deletionChanged)
    Q_PROPERTY(bool isAnalyzing READ isAnalyzing NOTIFY isAnalyzingChanged)
    Q_PROPERTY(int pendingAnchorCount READ pendingAnchorCount NOTIFY pendingAnchorCountChanged)
    Q_PROPERTY(QString lastAnchorRetry READ lastAnchorRetry NOTIFY lastAnchorRetryChanged)
    Q_PROPERTY(QString registryLoadProblem READ registryLoadProblem NOTIFY registryLoadProblemChanged)
    Q_PROPERTY(QString pendingOwnerChoice READ pendingOwnerChoice NOTIFY pendingOwnerChoiceChanged)
    Q_PROPERTY(bool dismissedFullDiskAccessPrompt READ dismissedFullDiskAccessPrompt WRITE setDismissedFullDiskAccessPrompt NOTIFY dismissedFullDiskAccessPromptChanged)
    Q_PROPERTY(QString archiveOwner READ archiveOwner WRITE setArchiveOwner NOTIFY archiveOwnerChanged)
    Q_PROPERTY(kx::FilterSet filters READ filters NOTIFY filtersChanged)
    Q_PROPERTY(OptionalFilterPreview filterPreview READ filterPreview NOTIFY filterPreviewChanged)
    Q_PROPERTY(FilterSuggestions filterSuggestions READ filterSuggestions NOTIFY filterSuggestionsChanged)
    Q_PROPERTY(DuplicateFindings duplicateFindings READ duplicateFindings NOTIFY duplicateFindingsChanged)
    Q_PROPERTY(IdenticalGroups identicalGroups READ identicalGroups NOTIFY identicalGroupsChanged)
    Q_PROPERTY(kx::HealthAlertSettings alertSettings READ alertSettings NOTIFY alertSettingsChanged)
    Q_PROPERTY(Alerts activeAlerts READ activeAlerts NOTIFY activeAlertsChanged)
    Q_PROPERTY(ManifestStates manifestState READ manifestState NOTIFY manifestStateChanged)
    Q_PROPERTY(bool isManifesting READ isManifesting NOTIFY isManifestingChanged)
    Q_PROPERTY(kx::ContactsAuthorization contactsAuthorization READ contactsAuthorization NOTIFY contactsAuthorizationChanged)
    Q_PROPERTY(int contactsLoadedCount READ contactsLoadedCount NOTIFY contactsLoadedCountChanged)
    Q_PROPERTY(int contactsScanned READ contactsScanned NOTIFY contactsScannedChanged)
    Q_PROPERTY(kx::ContactOverrides overrides READ overrides NOTIFY overridesChanged)
    Q_PROPERTY(QString machineID READ machineID NOTIFY machineIDChanged)
    Q_PROPERTY(QString machineName READ machineName NOTIFY machineNameChanged)
    Q_PROPERTY(kx::Household household READ household NOTIFY householdChanged)
    Q_PROPERTY(QString householdLoadProblem READ householdLoadProblem NOTIFY householdLoadProblemChanged)
    Q_PROPERTY(FdaVerdict fdaVerdict READ fdaVerdict NOTIFY fdaVerdictChanged)
    Q_PROPERTY(bool isProbingFDA READ isProbingFDA NOTIFY isProbingFDAChanged)

public:
    // Loads every configuration file and the engine's last status; never fails:
    // every problem becomes a published text. `clock` defaults to the system clock.
    explicit AppModel(std::shared_ptr<const kx::Clock> clock = nullptr, QObject* parent = nullptr);
    ~AppModel() override;

    // ---- Property readers ----
    Route route() const { return route_; }
    const kx::SourceRegistry& registry() const { return registry_; }
    QString destinationRoot() const { return destinationRoot_; }
    const OptionalReport& report() const { return report_; }
    bool isRunning() const { return isRunning_; }
    QString lastError() const { return lastError_; }
    bool hasFullDiskAccess() const { return hasFullDiskAccess_; }
    const Coverage& coverage() const { return coverage_; }
    const OptionalDeletion& deletion() const { return deletion_; }
    bool isAnalyzing() const { return isAnalyzing_; }
    kx::PendingAnchorStore& pendingAnchors() const { return *pendingAnchors_; }
    int pendingAnchorCount() const { return pendingAnchorCount_; }
    QString lastAnchorRetry() const { return lastAnchorRetry_; }
    QString registryLoadProblem() const { return registryLoadProblem_; }
    QString pendingOwnerChoice() const { return pendingOwnerChoice_; }
    // The first-run flow model, created on first use.
    OnboardingModel* onboarding();
    QString configDir() const { return configDir_; }
    bool dismissedFullDiskAccessPrompt() const { return dismissedFullDiskAccessPrompt_; }
    // Kept in the user defaults under "archiveOwner"; empty = not chosen.
    QString archiveOwner() const;
    const kx::FilterSet& filters() const { return filters_; }
    const OptionalFilterPreview& filterPreview() const { return filterPreview_; }
    const FilterSuggestions& filterSuggestions() const { return filterSuggestions_; }
    const DuplicateFindings& duplicateFindings() const { return duplicateFindings_; }
    const IdenticalGroups& identicalGroups() const { return identicalGroups_; }
    HealthNotifier* notifier() const { return notifier_; }
    const kx::HealthAlertSettings& alertSettings() const { return alertSettings_; }
    const Alerts& activeAlerts() const { return activeAlerts_; }
    const ManifestStates& manifestState() const { return manifestState_; }
    bool isManifesting() const { return isManifesting_; }
    kx::ContactsAuthorization contactsAuthorization() const { return contactsAuthorization_; }
    int contactsLoadedCount() const { return contactsLoadedCount_; }
    int contactsScanned() const { return contactsScanned_; }
    const kx::ContactOverrides& overrides() const { return overrides_; }
    std::shared_ptr<kx::LayeredContactResolver> resolver() const { return resolver_; }
    QString machineID() const { return machineID_; }
    QString machineName() const { return machineName_; }
    const kx::Household& household() const { return household_; }
    QString householdLoadProblem() const { return householdLoadProblem_; }
    const FdaVerdict& fdaVerdict() const { return fdaVerdict_; }
    bool isProbingFDA() const { return isProbingFDA_; }

    // ---- Property writers used by screens ----
    void setRoute(Route r);
    void setLastError(const QString& e);
    void setHasFullDiskAccess(bool v);
    void setDismissedFullDiskAccessPrompt(bool v);
    void setArchiveOwner(const QString& owner);
    // Screens edit these values, then call the matching save operation.
    kx::SourceRegistry& mutableRegistry() { return registry_; }
    void setFilters(const kx::FilterSet& f);
    void setAlertSettings(const kx::HealthAlertSettings& s);
    void setOverrides(const kx::ContactOverrides& o);

    // ---- Start-up loading ----
    // Re-reads "STATUS.json" in the archive root.
    void refreshReport();
    // Whether the live Messages database opens for reading.
    void checkFullDiskAccess();
    void loadContactOverrides();
    void resolveMachineIdentity();
    static QString makeMachineID();
    void loadHousehold();

    // ---- Start-up tasks (queued, run after the constructor returns) ----
    void refreshAlertsAtLaunch();
    void retryAnchorsAtLaunch();
    void loadContacts();

    const kx::Clock& clock() const { return *clock_; }

signals:
    void routeChanged();
    void registryChanged();
    void destinationRootChanged();
    void reportChanged();
    void isRunningChanged();
    void lastErrorChanged();
    void hasFullDiskAccessChanged();
    void coverageChanged();
    void deletionChanged();
    void isAnalyzingChanged();
    void pendingAnchorCountChanged();
    void lastAnchorRetryChanged();
    void registryLoadProblemChanged();
    void pendingOwnerChoiceChanged();
    void dismissedFullDiskAccessPromptChanged();
    void archiveOwnerChanged();
    void filtersChanged();
    void filterPreviewChanged();
    void filterSuggestionsChanged();
    void duplicateFindingsChanged();
    void identicalGroupsChanged();
    void alertSettingsChanged();
    void activeAlertsChanged();
    void manifestStateChanged();
    void isManifestingChanged();
    void contactsAuthorizationChanged();
    void contactsLoadedCountChanged();
    void contactsScannedChanged();
    void overridesChanged();
    void machineIDChanged();
    void machineNameChanged();
    void householdChanged();
    void householdLoadProblemChanged();
    void fdaVerdictChanged();
    void isProbingFDAChanged();

protected:
    // Assigns a published value and emits its change signal when it changed.
    template <typename T, typename Signal>
    void publish(T& member, const T& value, Signal signal) {
        if (member == value) return;
        member = value;
        emit(this->*signal)();
    }

    void setDestinationRootValue(const QString& root);
    void setReport(const OptionalReport& r);
    void setIsRunning(bool v);
    void setCoverage(const Coverage& c);
    void setDeletion(const OptionalDeletion& d);
    void setIsAnalyzing(bool v);
    void setPendingAnchorCount(int n);
    void setLastAnchorRetry(const QString& t);
    void setRegistryLoadProblem(const QString& p);
    void setPendingOwnerChoice(const QString& o);
    void setFilterPreview(const OptionalFilterPreview& p);
    void setFilterSuggestions(const FilterSuggestions& s);
    void setDuplicateFindings(const DuplicateFindings& f);
    void setIdenticalGroups(const IdenticalGroups& g);
    void setActiveAlerts(const Alerts& a);
    void setManifestState(const ManifestStates& m);
    void setIsManifesting(bool v);
    void setContactsAuthorization(kx::ContactsAuthorization a);
    void setContactsLoadedCount(int n);
    void setContactsScanned(int n);
    void setMachineID(const QString& id);
    void setHousehold(const kx::Household& h);
    void setHouseholdLoadProblem(const QString& p);
    void setFdaVerdict(const FdaVerdict& v);
    void setIsProbingFDA(bool v);

    // Path of a file in the configuration directory.
    std::string configFile(const char* name) const;

private:
    Route route_ = Route::sources;
    kx::SourceRegistry registry_;
    QString destinationRoot_;
    OptionalReport report_;
    bool isRunning_ = false;
    QString lastError_;
    bool hasFullDiskAccess_ = false;
    Coverage coverage_;
    OptionalDeletion deletion_;
    bool isAnalyzing_ = false;
    std::unique_ptr<kx::PendingAnchorStore> pendingAnchors_;
    int pendingAnchorCount_ = 0;
    QString lastAnchorRetry_;
    QString registryLoadProblem_;
    QString pendingOwnerChoice_;
    OnboardingModel* onboarding_ = nullptr;
    QString configDir_;
    bool dismissedFullDiskAccessPrompt_ = false;
    kx::FilterSet filters_;
    OptionalFilterPreview filterPreview_;
    FilterSuggestions filterSuggestions_;
    DuplicateFindings duplicateFindings_;
    IdenticalGroups identicalGroups_;
    HealthNotifier* notifier_ = nullptr;
    kx::HealthAlertSettings alertSettings_;
    Alerts activeAlerts_;
    ManifestStates manifestState_;
    bool isManifesting_ = false;
    kx::ContactsAuthorization contactsAuthorization_ = kx::ContactsAuthorization::notDetermined;
    int contactsLoadedCount_ = 0;
    int contactsScanned_ = 0;
    kx::ContactOverrides overrides_;
    std::shared_ptr<kx::LayeredContactResolver> resolver_;
    QString machineID_;
    QString machineName_;
    kx::Household household_;
    QString householdLoadProblem_;
    FdaVerdict fdaVerdict_ = FdaVerdict::notRunYet();
    bool isProbingFDA_ = false;

    std::shared_ptr<const kx::Clock> clock_;

    // ---- Operations added by the feature areas below this line ----
public:
    // ---- Tamper-evidence manifests and conversation export (app_model_evidence.cpp) ----
    // The stored manifest state of an owner; unknown when none is held.
    ManifestState manifestState(const QString& owner) const;
    // Stores a state under the owner; nothing removes the owner's entry.
    void setManifestState(const std::optional<ManifestState>& state, const QString& owner);
    // Reads the owner's manifest into its state, at once.
    void loadManifestState(const QString& owner);
    // Start background work; each is a no-op while isManifesting.
    void generateManifest(const QString& owner);
    void verifyManifest(const QString& owner);

    // What an export came to: a result, or the sentence saying why there is none.
    struct ExportOutcome {
        std::optional<ExportResult> result;
        QString error;
    };
    // Exports, seals and anchors (or queues) in the background; `done` runs on
    // the GUI thread afterwards, after pendingAnchorCount was refreshed.
    void exportConversation(const QString& owner, const kx::TreskStore::ConversationSummary& conversation,
                            kx::ExportFormat format, const QString& destinationPath,
                            std::function<void(const ExportOutcome&)> done);
    // The export and seal steps, off the GUI thread. Throws kx::Error.
    static kx::SealFile exportAndSeal(const std::string& databasePath, const std::string& attachmentsPath,
                                      const std::string& destinationPath, kx::ExportFormat format,
                                      const std::string& conversationKey, const std::string& archiveRoot,
                                      const std::string& owner, const std::string& appVersion,
                                      const kx::ContactResolver& resolver, kx::Date now);
    // One pass over the seals waiting for an anchor; `done` runs on the GUI
    // thread after pendingAnchorCount and lastAnchorRetry were set.
    void retryPendingAnchors(bool force, std::function<void()> done = {});
    // How the anchoring client is made; the default uses the public authority.
    // Tests point it at an authority of their own.
    void setSealAnchorClientFactory(std::function<kx::SealAnchorClient()> factory);

private:
    kx::SealAnchorClient makeSealAnchorClient() const;
    std::function<kx::SealAnchorClient()> sealAnchorClientFactory_;

public:
    // ---- Permissions, the access probe and the daily schedule (app_model_permissions.cpp) ----
    // Everything archiving depends on, read afresh on every call.
    PermissionsSummary permissionStatus() const;
    // Checks this application's own access to the live Messages database now, then
    // runs the engine's scheduled-context probe on a worker thread and publishes
    // fdaVerdict (then clears isProbingFDA) on the GUI thread. Does nothing while a
    // probe runs.
    void startAccessProbe();
    // The worker half of startAccessProbe: blocks for up to the probe's 20-second
    // limit, then hands the verdict to the model on the GUI thread (if it still exists).
    static void probeFullDiskAccess(QPointer<AppModel> model, std::optional<int64_t> appMessages, bool databaseExists);
    // Looks at the contacts again; reloads them when they can now be read.
    void requestContactsAccess();
    // When the daily schedule is installed and the archive root or machine identity
    // it runs with is out of date, installs it again with the current values.
    void refreshInstalledSchedule();
    // Keeps the installed schedule current from now on (archive root changes, the
    // machine identity's first resolution). Call once, at the end of start-up.
    void keepScheduleCurrent();
};

// The configuration directory (application support + "Kelvara"); not created.
QString applicationSupportConfigDir();
// True when a file exists at <home>/Library/Messages/chat.db.
bool liveMessagesDatabaseExists();
// <home>/Library/Messages/chat.db
QString liveMessagesDatabasePath();
