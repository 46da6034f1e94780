#pragma once
// AppModel: the application's central model. One instance lives for the whole
// process; every window reads it and calls its operations. Views never touch
// archive data themselves.
//
// AppModel holds only what every feature shares: the route, the last error, the
// source registry, the archive root, the engine's last report, the clock, the
// configuration folder and the task runner. Each feature keeps its own state,
// properties and operations in a class of its own, which AppModel creates at
// start-up and owns:
//
//   runs()            RunsModel         archive runs (scan requests, the running flag)
//   alerts()          AlertsModel       health alerts, their settings and the notifier
//   evidence()        EvidenceModel     manifests, conversation export, seals and anchors
//   analysis()        AnalysisModel     coverage, deletion safety, duplicate sources
//   filtersModel()    FiltersModel      filters, their preview and suggestions
//   contacts()        ContactsModel     the user's contacts and typed names
//   householdModel()  HouseholdModel    machine identity, household, machine reports
//   permissions()     PermissionsModel  Full Disk Access, the access probe, the schedule
//   owners()          OwnersModel       archive owners and reading an owner's archive
//   sources()         SourcesModel      connecting this Mac, removing sources
//
// (filtersModel and householdModel carry the suffix because "filters" and
// "household" already name properties of those features.)
//
// Features never reach into each other's private state: they read and write the
// shared values here, call each other's public operations through these
// accessors, and AppModel connects their signals where one feature's change
// concerns another.
//
// Threading: everything is used on the GUI thread. Long work runs through
// startTask on values captured on the GUI thread and hands its result back in
// one queued call; background work never reads model state.
//
// lastError and registryLoadProblem are texts where a null QString means "none".
#include "app/model/route.h"
#include "app/model/task_runner.h"
#include "core/archive/coverage_report.h"
#include "core/platform/config_layout.h"
#include "core/sources/source.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class AlertsModel;
class AnalysisModel;
class ContactsModel;
class EvidenceModel;
class FiltersModel;
class HouseholdModel;
class OwnersModel;
class PermissionsModel;
class RunsModel;
class SourcesModel;
namespace kx {
class Clock;
}

class AppModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(Route route READ route WRITE setRoute NOTIFY routeChanged)
    Q_PROPERTY(kx::SourceRegistry registry READ registry NOTIFY registryChanged)
    Q_PROPERTY(QString destinationRoot READ destinationRoot NOTIFY destinationRootChanged)
    Q_PROPERTY(OptionalReport report READ report NOTIFY reportChanged)
    Q_PROPERTY(QString lastError READ lastError WRITE setLastError NOTIFY lastErrorChanged)
    Q_PROPERTY(QString registryLoadProblem READ registryLoadProblem NOTIFY registryLoadProblemChanged)

public:
    using OptionalReport = std::optional<kx::CoverageReport>;

    // Loads every configuration file and the engine's last status; never fails:
    // every problem becomes a published text. `clock` defaults to the system clock.
    explicit AppModel(std::shared_ptr<const kx::Clock> clock = nullptr, QObject* parent = nullptr);
    ~AppModel() override;

    // ---- The features ----
    RunsModel& runs() const { return *runs_; }
    AlertsModel& alerts() const { return *alerts_; }
    EvidenceModel& evidence() const { return *evidence_; }
    AnalysisModel& analysis() const { return *analysis_; }
    FiltersModel& filtersModel() const { return *filters_; }
    ContactsModel& contacts() const { return *contacts_; }
    HouseholdModel& householdModel() const { return *household_; }
    PermissionsModel& permissions() const { return *permissions_; }
    OwnersModel& owners() const { return *owners_; }
    SourcesModel& sources() const { return *sources_; }

    // ---- Shared state ----
    Route route() const { return route_; }
    const kx::SourceRegistry& registry() const { return registry_; }
    // Screens and features edit the registry here, then save it with saveRegistry.
    kx::SourceRegistry& mutableRegistry() { return registry_; }
    QString destinationRoot() const { return destinationRoot_; }
    const OptionalReport& report() const { return report_; }
    // How many of the report's gaps need attention (0 without a report): the
    // figure the menu-bar panel and the health screen show.
    int64_t coverageGapCount() const;
    QString lastError() const { return lastError_; }
    QString registryLoadProblem() const { return registryLoadProblem_; }
    // The banner's sentence about a source list that could not be read; null when it loaded.
    QString registryLoadSentence() const;
    QString configDir() const { return configDir_; }
    // "Tresk" in the configuration folder: the archive root when none was chosen.
    // It is made by the first run that archives something.
    QString defaultDestinationRoot() const;
    const kx::Clock& clock() const { return *clock_; }

    void setRoute(Route r);
    void setLastError(const QString& e);
    void setReport(const OptionalReport& r);
    // Changes the archive root (kept in the user defaults) and re-reads its status.
    void setDestinationRoot(const QString& path);
    // Re-reads "STATUS.json" in the archive root.
    void refreshReport();
    // Saves the registry. Nothing when it was written, else the sentence that
    // names the action ("add local-messages") and why; publishing it is the
    // caller's choice.
    std::optional<QString> saveRegistry(const QString& action);
    // The files of the configuration directory.
    kx::ConfigLayout config() const;

    // ---- Background work ----
    // Runs `work` on the thread pool; the closure it returns runs on the GUI
    // thread in one queued call, and only while this model still exists.
    // Nothing waits for the task and nobody keeps a handle. `work` must not
    // touch the model: it works on values captured by the caller.
    void startTask(std::optional<TaskPriority> priority, TaskRunner::Work work);
    // The same, delivered only while `context` (the model or screen that
    // started it) still exists; `completion` runs after the result, and also
    // when `work` threw (see TaskRunner).
    void startTask(const QObject* context, std::optional<TaskPriority> priority, TaskRunner::Work work,
                   TaskRunner::Publish completion = {});
    TaskRunner& tasks() const { return *tasks_; }

signals:
    void routeChanged();
    void registryChanged();
    void destinationRootChanged();
    void reportChanged();
    void lastErrorChanged();
    void registryLoadProblemChanged();

protected:
    // Assigns the root without checks or storing it (start-up, tests).
    void setDestinationRootValue(const QString& root);

private:
    void wireFeatures();

    Route route_ = Route::sources;
    kx::SourceRegistry registry_;
    QString destinationRoot_;
    OptionalReport report_;
    QString lastError_;
    // While the constructor runs, each problem is kept so that one damaged file
    // does not hide another; the banner then names them all.
    bool startingUp_ = true;
    QStringList startupProblems_;
    QString registryLoadProblem_;
    QString configDir_;
    std::shared_ptr<const kx::Clock> clock_;

    // Declared before the features, so it is destroyed after them: work a feature
    // waits for on destruction can still hand its result to a closed runner.
    std::unique_ptr<TaskRunner> tasks_;

    std::unique_ptr<AlertsModel> alerts_;
    std::unique_ptr<ContactsModel> contacts_;
    std::unique_ptr<HouseholdModel> household_;
    std::unique_ptr<EvidenceModel> evidence_;
    std::unique_ptr<PermissionsModel> permissions_;
    std::unique_ptr<FiltersModel> filters_;
    std::unique_ptr<OwnersModel> owners_;
    std::unique_ptr<RunsModel> runs_;
    std::unique_ptr<AnalysisModel> analysis_;
    std::unique_ptr<SourcesModel> sources_;
};

// The configuration directory (application support + "Kelvara"); not created.
QString applicationSupportConfigDir();
