// AppModel: the coverage and deletion-safety analysis, duplicate sources and the
// deletion dry-run script.
//
// Results are only ever shown for the state they were computed on: adding or
// removing a source, changing the archive root, a run starting or finishing, or
// a new engine report (the daily run) clears them, and an analysis that was running at that moment publishes
// nothing (its generation number no longer matches).
#include "app/model/app_model.h"

#include "core/archive/duplicate_source_analyzer.h"
#include "core/archive/report_formatter.h"
#include "core/archive/tresk_engine.h"
#include "core/archive/tresk_store.h"
#include "core/contacts/contact_resolver.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"

namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }

} // namespace

void AppModel::watchAnalysisInputs() {
    if (analysisInputsWatched_) return;
    analysisInputsWatched_ = true;
    connect(this, &AppModel::registryChanged, this, &AppModel::clearAnalyses);
    connect(this, &AppModel::destinationRootChanged, this, &AppModel::clearAnalyses);
    connect(this, &AppModel::isRunningChanged, this, &AppModel::clearAnalyses);
    // A new engine report means a run (perhaps the daily one) changed the archive.
    connect(this, &AppModel::reportChanged, this, &AppModel::clearAnalyses);
}

void AppModel::clearAnalyses() {
    ++safetyGeneration_;
    ++duplicateGeneration_;
    setCoverage({});
    setDeletion(std::nullopt);
    setDuplicateFindings({});
    setIdenticalGroups({});
    // A safety analysis still running ends without publishing; isAnalyzing stays
    // set until it does, so a second one cannot start beside it.
}

void AppModel::checkSafety() {
    if (isAnalyzing_) return;
    watchAnalysisInputs();
    setIsAnalyzing(true);
    const uint64_t generation = ++safetyGeneration_;
    kx::SourceRegistry registry = registry_;
    std::string root = destinationRoot_.toStdString();
    const kx::Date now = clock_->now();
    startTask(TaskPriority::userInitiated,
              [this, registry = std::move(registry), root = std::move(root), now, generation]() -> std::function<void()> {
                  auto result = analyze(registry, root, now);
                  return [this, result = std::move(result), generation] {
                      if (generation == safetyGeneration_) {
                          setCoverage(result.first);
                          setDeletion(result.second);
                      }
                      setIsAnalyzing(false);
                  };
              });
}

std::pair<AppModel::Coverage, AppModel::OptionalDeletion> AppModel::analyze(const kx::SourceRegistry& registry,
                                                                            const std::string& root, kx::Date now) {
    // No filters and no contact names: the analysis reads what is there.
    const kx::TreskEngine engine(registry, root, kx::IngesterRegistry(defaultIngesters()),
                                 std::make_shared<kx::MapContactResolver>(), kx::FilterSet());
    std::pair<Coverage, OptionalDeletion> out;
    try {
        out.first = engine.coverage(now);
    } catch (const std::exception&) {
        out.first.clear();
    }
    try {
        out.second = engine.deletionSafety(false);
    } catch (const std::exception&) {
        out.second.reset();
    }
    return out;
}

std::optional<kx::SourceDeletionReport> AppModel::deletionReport(const QString& sourceId) const {
    if (!deletion_) return std::nullopt;
    if (const auto* r = deletion_->find(sourceId.toStdString())) return *r;
    return std::nullopt;
}

void AppModel::exportDeletionDryRunScript(const QString& path) {
    if (!deletion_) {
        setLastError(QStringLiteral("Run Check Safety first \u2014 there is no deletion report to export yet."));
        return;
    }
    const std::string script = kx::ReportFormatter::deletionDryRunScript(*deletion_, clock_->now());
    try {
        // Exactly the path chosen; private to the user and never executable.
        kx::fs::writeFileAtomic(path.toStdString(), script, 0600);
    } catch (const kx::Error& e) {
        setLastError("Could not write the dry-run script: " + qs(e.localizedDescription()));
    }
}

void AppModel::findDuplicates() {
    watchAnalysisInputs();
    const uint64_t generation = ++duplicateGeneration_;
    const QStringList owners = sourceOwners();
    const QString root = destinationRoot_;
    startTask(TaskPriority::utility, [this, owners, root, generation]() -> std::function<void()> {
        auto result = analyzeDuplicates(owners, root);
        return [this, result = std::move(result), generation] {
            // A newer analysis was started, or the inputs changed: this one is stale.
            if (generation != duplicateGeneration_) return;
            setDuplicateFindings(result.first);
            setIdenticalGroups(result.second);
        };
    });
}

std::pair<AppModel::DuplicateFindings, AppModel::IdenticalGroups> AppModel::analyzeDuplicates(const QStringList& owners,
                                                                                              const QString& root) {
    std::vector<kx::TreskStore::SourceContent> contents;
    std::vector<kx::TreskStore::SourceOverlap> overlaps;
    for (const QString& owner : owners) {
        const QString path = archiveDatabasePath(root, owner);
        if (path.isNull() || !kx::fs::isRegularFile(path.toStdString())) continue;
        try {
            const kx::TreskStore store(path.toStdString());
            try {
                auto c = store.sourceContents();
                contents.insert(contents.end(), c.begin(), c.end());
            } catch (const std::exception&) {
            }
            try {
                auto o = store.sourceOverlaps();
                overlaps.insert(overlaps.end(), o.begin(), o.end());
            } catch (const std::exception&) {
            }
        } catch (const std::exception&) {
            continue;
        }
    }
    auto findings = kx::DuplicateSourceAnalyzer::analyze(contents, overlaps);
    std::stable_sort(findings.begin(), findings.end(),
                     [](const auto& a, const auto& b) { return a.sourceId < b.sourceId; });
    std::pair<DuplicateFindings, IdenticalGroups> out;
    for (const auto& f : findings) out.first.emplace(f.sourceId, f);  // the first per source is kept
    out.second = kx::DuplicateSourceAnalyzer::identicalGroups(findings);
    return out;
}

std::optional<kx::DuplicateSourceAnalyzer::Finding> AppModel::duplicateFindings(const QString& sourceId) const {
    auto it = duplicateFindings_.find(sourceId.toStdString());
    if (it == duplicateFindings_.end()) return std::nullopt;
    return it->second;
}
