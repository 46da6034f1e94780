// Archive runs: starting a scan, running the engine on the thread pool,
// publishing its report and recording the run in the household.
#include "app/model/app_model.h"

#include "core/archive/ingesters.h"
#include "core/contacts/contact_resolver.h"
#include "core/health/health_alert_policy.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"

#include <QMetaObject>
#include <QThreadPool>

#include <exception>
#include <mutex>

namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }

} // namespace

// The link between background tasks and the model. A task hands its result over
// only while the gate is open; the model closes it when it is destroyed, under
// the same lock, so no result is ever posted to a model that is going away
// (results already posted are discarded with the model's pending events).
struct AppModel::TaskGate {
    std::mutex mutex;
    AppModel* model = nullptr;
};

AppModel::TaskGateCloser::~TaskGateCloser() {
    if (!gate) return;
    std::lock_guard lock(gate->mutex);
    gate->model = nullptr;
}

void AppModel::startTask(std::optional<TaskPriority> priority, std::function<std::function<void()>()> work) {
    if (!taskGate_.gate) {
        taskGate_.gate = std::make_shared<TaskGate>();
        taskGate_.gate->model = this;
    }
    // Queue order only: the pool starts higher numbers first.
    const int order = !priority ? 1 : *priority == TaskPriority::userInitiated ? 2 : 0;
    std::shared_ptr<TaskGate> gate = taskGate_.gate;
    QThreadPool::globalInstance()->start(
        [gate, work = std::move(work)] {
            std::function<void()> publish;
            try {
                publish = work();
            } catch (...) {
                // A task reports its own failures through what it returns; an
                // escaped exception must not end the process.
                publish = nullptr;
            }
            if (!publish) return;
            std::lock_guard lock(gate->mutex);
            if (gate->model) QMetaObject::invokeMethod(gate->model, std::move(publish), Qt::QueuedConnection);
        },
        order);
}

std::vector<std::shared_ptr<kx::Ingester>> AppModel::defaultIngesters() { return kx::makeDefaultIngesters(); }

kx::TreskEngine::RunOptions AppModel::runOptions(const RunSnapshot& snapshot, std::optional<int64_t> limit,
                                                 bool copyAttachments, bool fullSweep) {
    kx::TreskEngine::RunOptions options;
    options.limit = limit;
    options.fullRescan = false;
    options.copyAttachments = copyAttachments;
    options.verificationSample = fullSweep ? 0 : 50;
    options.fullSweep = fullSweep;
    options.writeStatus = true;
    options.machineID = snapshot.machineID;
    return options;
}

void AppModel::startScan(std::optional<int64_t> limit, bool copyAttachments, bool fullSweep) {
    if (isRunning_) return;
    setIsRunning(true);
    setLastError(QString());

    RunSnapshot snapshot;
    snapshot.registry = registry_;  // a copy, see RunSnapshot
    snapshot.destinationRoot = destinationRoot_.toStdString();
    snapshot.filters = filters_;
    if (!machineID_.isEmpty()) snapshot.machineID = machineID_.toStdString();
    snapshot.owner = QString::fromStdString(resolvedOwner().owner);
    snapshot.startedAt = clock_->now();
    const auto options = runOptions(snapshot, limit, copyAttachments, fullSweep);

    startTask(TaskPriority::userInitiated, [this, snapshot = std::move(snapshot), options]() -> std::function<void()> {
        std::optional<kx::CoverageReport> report;
        QString error;
        try {
            kx::TreskEngine engine(snapshot.registry, snapshot.destinationRoot,
                                   kx::IngesterRegistry(defaultIngesters()),
                                   std::make_shared<kx::MapContactResolver>(), snapshot.filters);
            report = engine.run(options);
        } catch (const std::exception& e) {
            error = qs(e.what());
            if (error.isEmpty()) error = QStringLiteral("The archive run failed for an unknown reason.");
        }
        // Runs on the GUI thread; `this` is alive then (see TaskGate).
        return [this, snapshot, report = std::move(report), error] { finishRun(snapshot, report, error); };
    });
}

void AppModel::finishRun(const RunSnapshot& snapshot, std::optional<kx::CoverageReport> report, const QString& error) {
    if (report) {
        setReport(report);
        setIsRunning(false);
        // The engine works on a copy of the registry: bring each source's scan
        // result over to the sources that are still registered.
        bool changed = false;
        for (const auto& outcome : report->sources) {
            const kx::Source* found = registry_.find(outcome.sourceId);
            if (!found) continue;
            kx::Source s = *found;
            if (outcome.succeeded) {
                s.lastScanned = outcome.scannedAt;
                s.lastError.reset();
            } else {
                s.lastError = outcome.error.value_or("The source could not be read.");
            }
            if (!(s == *found)) changed = registry_.update(s) || changed;
        }
        if (changed) {
            emit registryChanged();
            if (!registry_.loadProblem()) saveRegistry("record the scan results");
        }
        recordRun(*report, snapshot.owner);
    } else {
        setLastError(error);
        // A failed run must never leave an earlier success on show. The engine
        // writes the failure to STATUS.json when it got that far; otherwise (the
        // root could not be created, another run held the lock) the failure is
        // kept in memory only.
        auto status = kx::TreskEngine::readStatus(kx::fs::appendComponent(snapshot.destinationRoot, "STATUS.json"));
        if (status && !status->succeeded() && status != report_) {
            setReport(status);
        } else {
            kx::CoverageReport failed = report_.value_or(kx::CoverageReport{});
            if (report_) failed.lastSuccessAt = kx::HealthAlertPolicy::lastSuccess(*report_);
            failed.status = kx::CoverageReport::Status::failed;
            failed.failure = error.toStdString();
            failed.runDate = snapshot.startedAt;
            failed.finishedAt = clock_->now();
            setReport(failed);
        }
        setIsRunning(false);
    }
    refreshAlerts(true);
}

void AppModel::recordRun(const kx::CoverageReport& report, const QString& owner) {
    if (machineID_.isEmpty() || owner.isEmpty()) return;
    const std::string who = owner.toStdString();
    // The messages this run added to this owner's archive.
    int64_t added = report.newMessages;
    for (const auto& o : report.owners)
        if (o.owner == who) added = o.newMessages;
    kx::Household h = household_;
    h.recordRun(who, machineID_.toStdString(), machineName_.toStdString(), report.runDate, added);
    if (!h.host()) h.makeHost(who);
    setHousehold(h);
    saveHousehold();
}
