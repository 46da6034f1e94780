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
#include "core/health/permissions_summary.h"
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
#include "core/archive/tresk_engine.h"
#include "core/archive/tresk_store.h"
#include "core/archive/archive_identity.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QThreadPool>

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
    // Runs the evidence work. Declared after pendingAnchors_, so it is destroyed
    // first and waits for running work while the queue still exists.
    std::unique_ptr<QThreadPool> evidencePool_ = std::make_unique<QThreadPool>();

public:
    // ---- Permissions, the access probe and the daily schedule (app_model_permissions.cpp) ----
    // Everything archiving depends on, read afresh on every call.
    kx::PermissionsSummary permissionStatus() const;
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

public:
    // ---- Runs, alerts, owners and sources ----
    // (app_model_runs.cpp, app_model_alerts.cpp, app_model_owners.cpp, app_model_sources.cpp)

    // Where a background task waits in the thread pool's queue.
    enum class TaskPriority { utility, userInitiated };
    // Runs `work` on the thread pool. The closure it returns runs on the GUI thread
    // in one queued call, and only while this model still exists. Nothing waits
    // for the task and nobody keeps a handle. `work` must not touch the model.
    void startTask(std::optional<TaskPriority> priority, std::function<std::function<void()>()> work);

    // What one archive run reads, copied on the GUI thread when it starts. The
    // registry is a copy: adding or removing a source while the run goes on
    // never touches what the run is reading.
    struct RunSnapshot {
        kx::SourceRegistry registry;
        std::string destinationRoot;
        kx::FilterSet filters;
        std::optional<std::string> machineID;
        QString owner;      // the resolved owner the run is recorded under
        kx::Date startedAt {};
    };
    // Starts an archive run of every registered source; a no-op while one runs.
    // `limit`: new messages per source (none = no limit); `fullSweep`: verify
    // every stored attachment object instead of a sample of 50.
    void startScan(std::optional<int64_t> limit, bool copyAttachments, bool fullSweep);
    static kx::TreskEngine::RunOptions runOptions(const RunSnapshot& snapshot, std::optional<int64_t> limit,
                                                  bool copyAttachments, bool fullSweep);
    // The five ingesters, one per source format; a new list on every call.
    static std::vector<std::shared_ptr<kx::Ingester>> defaultIngesters();
    // Records a finished run for this machine under `owner` (the owner the run
    // started with) and saves the household.
    void recordRun(const kx::CoverageReport& report, const QString& owner);

    // Recomputes activeAlerts; with `post`, hands them to the notifier. Alerts
    // that cleared are withdrawn from the screen either way.
    void refreshAlerts(bool post);
    // True when there is no report, the last run failed, or the last run started
    // more than 48 hours ago.
    bool isReportStale() const;
    // Saves alertSettings to "alerts.json", then recomputes the alerts (no posting).
    void saveAlertSettings();
    void postAlerts(const Alerts& alerts);
    // <home>/Library/LaunchAgents/com.dunholt.kelvara.plist exists.
    static bool dailyScheduleFileExists();
    static constexpr int64_t kStaleAfterSeconds = 172800;

    // Owners of the registered sources, without duplicates, sorted.
    QStringList sourceOwners() const;
    // Those plus the folders of the archive root that hold "tresk.db", sorted.
    QStringList existingOwners() const;
    // This machine's archive owner.
    kx::ArchiveIdentity resolvedOwner() const;
    // Why `owner` cannot be archived under (a sentence), or null when it can:
    // blank, ".", "..", a NUL character, or the folder of a different owner.
    QString ownerProblem(const QString& owner) const;
    // <root>/<owner folder>/tresk.db and <root>/<owner folder>/attachments; null
    // for an owner that cannot name a folder. Safe on any thread when the root is
    // passed in.
    static QString archiveDatabasePath(const QString& root, const QString& owner);
    static QString attachmentRootPath(const QString& root, const QString& owner);
    // The owner's archive opened for reading; null when it does not exist (no
    // message) or does not open (a sentence in lastError, set on the GUI thread).
    std::unique_ptr<kx::TreskStore> openStore(const QString& owner);
    // Full-text search in one owner's archive; empty on any failure.
    std::vector<kx::TreskStore::SearchHit> search(const QString& query, const QString& owner, int64_t limit);
    // The stored object file of an attachment; null when it is not there.
    QString attachmentPath(const QString& owner, const kx::TreskStore::AttachmentRef& attachment) const;
    // Changes the archive root (kept in the user defaults) and re-reads its status.
    void setDestinationRoot(const QString& path);
    // Sets the name this machine archives under, then connects this machine.
    void renameArchive(const QString& name);
    // Writes the household file; refused silently while the file failed to load.
    void saveHousehold();

    static constexpr const char* kThisMacSourceId = "local-messages";
    // Saves the registry; a failure is said in lastError ("add local-messages").
    // True when it was written.
    bool saveRegistry(const QString& action);
    bool hasThisMacSource() const;
    // Registers this machine's Messages folder and starts a scan; false when it
    // stopped (no database, or the owner needs confirming).
    bool addThisMacSource();
    void removeSource(const QString& id);

private:
    // Owners to check a new owner against: the registry's owners and, for every
    // archive folder on disk, the owner its store records (else the folder name).
    std::vector<std::string> ownersBesides() const;
    void finishRun(const RunSnapshot& snapshot, std::optional<kx::CoverageReport> report, const QString& error);
    struct TaskGate;
    struct TaskGateCloser {
        std::shared_ptr<TaskGate> gate;
        ~TaskGateCloser();
    };
    TaskGateCloser taskGate_;

public:
    // ---- Analyses, filters, contacts and household ----
    // (app_model_analysis.cpp, app_model_contacts.cpp, app_model_household.cpp)

    // Starts the coverage and deletion-safety analysis; a no-op while one runs.
    void checkSafety();
    // The analysis itself, off the GUI thread, on a snapshot: coverage and the
    // deletion report, empty / none where the engine threw. Nothing is written.
    static std::pair<Coverage, OptionalDeletion> analyze(const kx::SourceRegistry& registry, const std::string& root,
                                                         kx::Date now);
    // The last report's entry for a source id; none without a report.
    std::optional<kx::SourceDeletionReport> deletionReport(const QString& sourceId) const;
    // Writes the dry-run script to exactly `path` (atomically, not executable).
    void exportDeletionDryRunScript(const QString& path);
    // Starts the duplicate analysis of every owner's archive. Only the newest
    // analysis started publishes.
    void findDuplicates();
    // The duplicate analysis, off the GUI thread. Several findings for one
    // source: the first (in source-id order) is kept.
    static std::pair<DuplicateFindings, IdenticalGroups> analyzeDuplicates(const QStringList& owners,
                                                                           const QString& root);
    std::optional<kx::DuplicateSourceAnalyzer::Finding> duplicateFindings(const QString& sourceId) const;

    // Publishes what the current filters would skip in `owner`'s archive, and
    // suggested rules; clears both for an empty owner or one without an archive.
    void previewFilters(const QString& owner);
    void saveFilters();
    // Hands the overrides to the resolver, then saves them.
    void saveContactOverrides();

    // Reloads the household file and merges the machine reports in the archive
    // root in the background.
    void refreshHousehold();
    // Reads the reports off the GUI thread, merges them on it; saves on a change.
    void mergeMachineReports(const QString& root, const std::map<std::string, std::string>& displayNames);
    void renameMac(const QString& machineID, const QString& name);
    // Why machine report files were left out at the last merge, one sentence each.
    const QStringList& skippedMachineReports() const { return skippedMachineReports_; }

private:
    // Analysis results describe the sources, archive root and archive contents
    // they were computed on. When any of those changes (a source is added or
    // removed, the root changes, a run starts or finishes) they are cleared, and
    // an analysis still running then publishes nothing.
    void watchAnalysisInputs();
    void clearAnalyses();
    bool analysisInputsWatched_ = false;
    uint64_t safetyGeneration_ = 0;
    uint64_t duplicateGeneration_ = 0;
    QStringList skippedMachineReports_;
};

// The configuration directory (application support + "Kelvara"); not created.
QString applicationSupportConfigDir();
// True when a file exists at <home>/Library/Messages/chat.db.
bool liveMessagesDatabaseExists();
// <home>/Library/Messages/chat.db
QString liveMessagesDatabasePath();
