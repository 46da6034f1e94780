// Archive runs: starting a scan, running the engine on the thread pool and
// publishing its report.
#include "app/model/runs_model.h"

#include "app/model/app_model.h"
#include "app/model/filters_model.h"
#include "app/model/household_model.h"
#include "app/model/owners_model.h"
#include "app/model/publish.h"
#include "core/archive/archive_layout.h"
#include "core/archive/ingesters.h"
#include "core/contacts/contact_resolver.h"
#include "core/health/health_alert_policy.h"

#include <exception>

RunsModel::RunsModel(AppModel& app) : app_(app) {}

void RunsModel::setIsRunning(bool v) { publish(this, isRunning_, v, &RunsModel::isRunningChanged); }

std::vector<std::shared_ptr<kx::Ingester>> RunsModel::defaultIngesters() { return kx::makeDefaultIngesters(); }

kx::TreskEngine::RunOptions RunsModel::runOptions(const RunSnapshot& snapshot, const ScanRequest& request) {
    kx::TreskEngine::RunOptions options;
    options.limit = request.limit;
    options.fullRescan = false;
    options.copyAttachments = request.copyAttachments;
    options.verificationSample = request.fullSweep ? 0 : 50;
    options.fullSweep = request.fullSweep;
    options.writeStatus = true;
    options.machineID = snapshot.machineID;
    return options;
}

void RunsModel::startScan(const ScanRequest& request) {
    if (isRunning_) return;
    // With the source list unreadable the registry is empty: a run over it would
    // archive nothing and leave a "succeeded" status over the real one.
    if (!app_.registryLoadProblem().isNull()) {
        app_.setLastError(app_.registryLoadSentence());
        return;
    }
    setIsRunning(true);
    const quint64 number = ++lastStartedRun_;
    app_.setLastError(QString());

    RunSnapshot snapshot;
    snapshot.registry = app_.registry(); // a copy, see RunSnapshot
    snapshot.destinationRoot = app_.destinationRoot().toStdString();
    snapshot.filters = app_.filtersModel().filters();
    const QString machineID = app_.householdModel().machineID();
    if (!machineID.isEmpty()) snapshot.machineID = machineID.toStdString();
    snapshot.owner = QString::fromStdString(app_.owners().resolvedOwner().owner);
    snapshot.startedAt = app_.clock().now();
    const auto options = runOptions(snapshot, request);

    auto run = [this, number, snapshot = std::move(snapshot), options]() -> std::function<void()> {
        std::optional<kx::CoverageReport> report;
        QString error;
        try {
            kx::TreskEngine engine(snapshot.registry, snapshot.destinationRoot,
                                   kx::IngesterRegistry(defaultIngesters()), std::make_shared<kx::MapContactResolver>(),
                                   snapshot.filters);
            report = engine.run(options);
        } catch (const std::exception& e) {
            error = QString::fromStdString(e.what());
            if (error.isEmpty()) error = QStringLiteral("The archive run failed for an unknown reason.");
        }
        // Runs on the GUI thread, only while the model exists.
        return
            [this, number, snapshot, report = std::move(report), error] { finishRun(number, snapshot, report, error); };
    };
    app_.startTask(this, TaskPriority::userInitiated, std::move(run));
}

void RunsModel::recordShownReport() {
    if (app_.report()) recordScanResults(*app_.report());
}

void RunsModel::recordScanResults(const kx::CoverageReport& report) {
    // The engine worked on a copy of the registry.
    if (kx::applyOutcomes(app_.mutableRegistry(), report) == 0) return;
    emit app_.registryChanged();
    if (app_.registry().loadProblem()) return;
    if (const std::optional<QString> problem = app_.saveRegistry("record the scan results"))
        app_.setLastError(*problem);
}

void RunsModel::finishRun(quint64 run, const RunSnapshot& snapshot, const std::optional<kx::CoverageReport>& report,
                          const QString& error) {
    if (report) {
        app_.setReport(report);
        setIsRunning(false);
        recordScanResults(*report);
        emit runSucceeded(*report, snapshot.owner);
    } else {
        app_.setLastError(error);
        // A failed run must never leave an earlier success on show. The engine
        // writes the failure to STATUS.json when it got that far; otherwise (the
        // root could not be created, another run held the lock) the failure is
        // kept in memory only.
        const auto& shown = app_.report();
        auto status = kx::TreskEngine::readStatus(kx::ArchiveLayout(snapshot.destinationRoot).statusFile());
        if (status && !status->succeeded() && status != shown) {
            app_.setReport(status);
        } else {
            kx::CoverageReport failed = shown.value_or(kx::CoverageReport{});
            if (shown) failed.lastSuccessAt = kx::HealthAlertPolicy::lastSuccess(*shown);
            // What the archive holds stays on show; what the earlier run read,
            // copied and checked does not describe this one, which did nothing.
            failed.newMessages = 0;
            failed.attachments = {};
            failed.sources.clear();
            failed.errors = {error.toStdString()};
            for (kx::OwnerRunCount& owner : failed.owners) owner.newMessages = 0;
            failed.status = kx::CoverageReport::Status::failed;
            failed.failure = error.toStdString();
            failed.runDate = snapshot.startedAt;
            failed.finishedAt = app_.clock().now();
            app_.setReport(failed);
        }
        setIsRunning(false);
    }
    emit runEnded();
    emit runFinished(run, report ? QString() : error);
}
