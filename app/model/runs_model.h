#pragma once
// RunsModel: archive runs started from the application. A run reads every
// registered source into the owners' archives on the thread pool, then publishes
// its report on AppModel and the scan results on the registry.
//
// Scheduled runs do not pass through here: the daily job runs the engine tool
// itself and the application only reads the status file it leaves.
#include "core/archive/tresk_engine.h"
#include "core/filters/filter_set.h"
#include "core/platform/time.h"
#include "core/sources/source.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class AppModel;

// What one archive run is asked to do. The default is an ordinary scan: no limit
// on new messages, attachment bytes copied, a sample of stored objects verified.
struct ScanRequest {
    // New messages per source; none = no limit.
    std::optional<int64_t> limit;
    bool copyAttachments = true;
    // Verify every stored attachment object instead of a sample of 50.
    bool fullSweep = false;
};

class RunsModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isRunning READ isRunning NOTIFY isRunningChanged)

public:
    // What one run reads, copied on the GUI thread when it starts. The registry
    // is a copy: adding or removing a source while the run goes on never touches
    // what the run is reading.
    struct RunSnapshot {
        kx::SourceRegistry registry;
        std::string destinationRoot;
        kx::FilterSet filters;
        std::optional<std::string> machineID;
        QString owner; // the resolved owner the run is recorded under
        kx::Date startedAt{};
    };

    explicit RunsModel(AppModel& app);

    bool isRunning() const { return isRunning_; }
    // The number of the latest run started (0 before the first). A caller that
    // compares it before and after startScan knows whether its request started a
    // run, and which one.
    quint64 lastStartedRun() const { return lastStartedRun_; }

    // Starts an archive run of every registered source; a no-op while one runs.
    // Refused, with the source list's sentence in lastError, while that list could not be read.
    void startScan(const ScanRequest& request = {});
    // Records the sources' outcomes of the report on show (the engine's own, read
    // from the archive root) in the source list, where they are newer than what
    // it holds: a run whose result never reached the window, because the
    // application quit or was stopped while it ran, is recorded all the same.
    void recordShownReport();
    static kx::TreskEngine::RunOptions runOptions(const RunSnapshot& snapshot, const ScanRequest& request);
    // The five ingesters, one per source format; a new list on every call.
    static std::vector<std::shared_ptr<kx::Ingester>> defaultIngesters();

signals:
    void isRunningChanged();
    // A run succeeded and its report is published. `owner` is the owner the run
    // started with, which it is recorded under.
    void runSucceeded(const kx::CoverageReport& report, const QString& owner);
    // After every run, succeeded or failed, once its outcome is published.
    void runEnded();
    // The outcome of run number `run`: `error` is null when it succeeded, else
    // the run's own failure sentence (not whatever the banner shows by then).
    void runFinished(quint64 run, const QString& error);

private:
    friend struct ModelTestAccess;
    void setIsRunning(bool v);
    void finishRun(quint64 run, const RunSnapshot& snapshot, const std::optional<kx::CoverageReport>& report,
                   const QString& error);
    // Brings each source's scan result over to the sources still registered.
    void recordScanResults(const kx::CoverageReport& report);

    AppModel& app_;
    bool isRunning_ = false;
    quint64 lastStartedRun_ = 0;
};
