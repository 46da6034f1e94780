#include "app/model/analysis_model.h"

#include "app/model/app_model.h"
#include "app/model/owners_model.h"
#include "app/model/publish.h"
#include "app/model/runs_model.h"
#include "app/platform/logging.h"
#include "core/archive/report_formatter.h"
#include "core/archive/tresk_engine.h"
#include "core/archive/tresk_store.h"
#include "core/contacts/contact_resolver.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"

#include <algorithm>

AnalysisModel::AnalysisModel(AppModel& app) : app_(app) {
    connect(&app_, &AppModel::registryChanged, this, &AnalysisModel::clearAnalyses);
    connect(&app_, &AppModel::destinationRootChanged, this, &AnalysisModel::clearAnalyses);
    // A new engine report means a run (perhaps the daily one) changed the archive.
    connect(&app_, &AppModel::reportChanged, this, &AnalysisModel::clearAnalyses);
}

void AnalysisModel::setCoverage(const Coverage& c) { publish(this, coverage_, c, &AnalysisModel::coverageChanged); }
void AnalysisModel::setDeletion(const OptionalDeletion& d) {
    publish(this, deletion_, d, &AnalysisModel::deletionChanged);
}
void AnalysisModel::setIsAnalyzing(bool v) { publish(this, isAnalyzing_, v, &AnalysisModel::isAnalyzingChanged); }
void AnalysisModel::setDuplicateFindings(const DuplicateFindings& f) {
    publish(this, duplicateFindings_, f, &AnalysisModel::duplicateFindingsChanged);
}
void AnalysisModel::setIdenticalGroups(const IdenticalGroups& g) {
    publish(this, identicalGroups_, g, &AnalysisModel::identicalGroupsChanged);
}

void AnalysisModel::clearAnalyses() {
    ++safetyGeneration_;
    ++duplicateGeneration_;
    setCoverage({});
    setDeletion(std::nullopt);
    setDuplicateFindings({});
    setIdenticalGroups({});
    // A safety analysis still running ends without publishing; isAnalyzing stays
    // set until it does, so a second one cannot start beside it.
}

void AnalysisModel::checkSafety() {
    if (isAnalyzing_) return;
    setIsAnalyzing(true);
    const uint64_t generation = ++safetyGeneration_;
    kx::SourceRegistry registry = app_.registry();
    std::string root = app_.destinationRoot().toStdString();
    const kx::Date now = app_.clock().now();
    app_.startTask(this, TaskPriority::userInitiated,
                   [this, registry = std::move(registry), root = std::move(root), now,
                    generation]() -> std::function<void()> {
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

std::pair<AnalysisModel::Coverage, AnalysisModel::OptionalDeletion> AnalysisModel::analyze(
    const kx::SourceRegistry& registry, const std::string& root, kx::Date now) {
    // No filters and no contact names: the analysis reads what is there.
    const kx::TreskEngine engine(registry, root, kx::IngesterRegistry(RunsModel::defaultIngesters()),
                                 std::make_shared<kx::MapContactResolver>(), kx::FilterSet());
    std::pair<Coverage, OptionalDeletion> out;
    try {
        out.first = engine.coverage(now);
    } catch (const std::exception& e) {
        qCWarning(lcArchive, "Coverage could not be worked out: %s", e.what());
        out.first.clear();
    }
    try {
        out.second = engine.deletionSafety(false);
    } catch (const std::exception& e) {
        qCWarning(lcArchive, "Which sources are safe to delete could not be worked out: %s", e.what());
        out.second.reset();
    }
    return out;
}

std::optional<kx::SourceDeletionReport> AnalysisModel::deletionReport(const QString& sourceId) const {
    if (!deletion_) return std::nullopt;
    if (const auto* r = deletion_->find(sourceId.toStdString())) return *r;
    return std::nullopt;
}

void AnalysisModel::exportDeletionDryRunScript(const QString& path) {
    if (!deletion_) {
        app_.setLastError(QStringLiteral("Run Check Safety first \u2014 there is no deletion report to export yet."));
        return;
    }
    const std::string script = kx::ReportFormatter::deletionDryRunScript(*deletion_, app_.clock().now());
    try {
        // Exactly the path chosen; private to the user and never executable.
        kx::fs::writeFileAtomic(path.toStdString(), script, 0600);
    } catch (const kx::Error& e) {
        app_.setLastError("Could not write the dry-run script: " + QString::fromStdString(e.localizedDescription()));
    }
}

void AnalysisModel::findDuplicates() {
    const uint64_t generation = ++duplicateGeneration_;
    const QStringList owners = app_.owners().sourceOwners();
    const QString root = app_.destinationRoot();
    if (runningDuplicateAnalyses_++ == 0) emit isFindingDuplicatesChanged();
    app_.startTask(this, TaskPriority::utility, [this, owners, root, generation]() -> std::function<void()> {
        auto result = analyzeDuplicates(owners, root);
        return [this, result = std::move(result), generation] {
            // A newer analysis was started, or the inputs changed: this one is stale.
            if (generation == duplicateGeneration_) {
                setDuplicateFindings(result.first);
                setIdenticalGroups(result.second);
            }
            if (--runningDuplicateAnalyses_ == 0) emit isFindingDuplicatesChanged();
        };
    });
}

std::pair<AnalysisModel::DuplicateFindings, AnalysisModel::IdenticalGroups> AnalysisModel::analyzeDuplicates(
    const QStringList& owners, const QString& root) {
    std::vector<kx::TreskStore::SourceContent> contents;
    std::vector<kx::TreskStore::SourceOverlap> overlaps;
    for (const QString& owner : owners) {
        const QString path = OwnersModel::archiveDatabasePath(root, owner);
        if (path.isNull() || !kx::fs::isRegularFile(path.toStdString())) continue;
        try {
            const kx::TreskStore store(path.toStdString());
            try {
                auto c = store.sourceContents();
                contents.insert(contents.end(), c.begin(), c.end());
            } catch (const std::exception& e) {
                qCWarning(lcArchive, "What each source holds in %s could not be read: %s", qPrintable(path), e.what());
            }
            try {
                auto o = store.sourceOverlaps();
                overlaps.insert(overlaps.end(), o.begin(), o.end());
            } catch (const std::exception& e) {
                qCWarning(lcArchive, "How sources overlap in %s could not be read: %s", qPrintable(path), e.what());
            }
        } catch (const std::exception& e) {
            qCWarning(lcArchive, "%s could not be opened for the duplicate check: %s", qPrintable(path), e.what());
            continue;
        }
    }
    auto findings = kx::DuplicateSourceAnalyzer::analyze(contents, overlaps);
    std::stable_sort(findings.begin(), findings.end(),
                     [](const auto& a, const auto& b) { return a.sourceId < b.sourceId; });
    std::pair<DuplicateFindings, IdenticalGroups> out;
    for (const auto& f : findings) out.first.emplace(f.sourceId, f); // the first per source is kept
    out.second = kx::DuplicateSourceAnalyzer::identicalGroups(findings);
    return out;
}

std::optional<kx::DuplicateSourceAnalyzer::Finding> AnalysisModel::duplicateFindings(const QString& sourceId) const {
    auto it = duplicateFindings_.find(sourceId.toStdString());
    if (it == duplicateFindings_.end()) return std::nullopt;
    return it->second;
}
