#pragma once
// AnalysisModel: the coverage and deletion-safety analysis, duplicate sources
// and the deletion dry-run script.
//
// Results are only ever shown for the state they were computed on: adding or
// removing a source, changing the archive root, a run starting or finishing, or
// a new engine report (the daily run) clears them, and an analysis that was
// running at that moment publishes nothing.
#include "core/archive/coverage.h"
#include "core/archive/deletion_safety.h"
#include "core/archive/duplicate_source_analyzer.h"
#include "core/platform/time.h"
#include "core/sources/source.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class AppModel;

class AnalysisModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(Coverage coverage READ coverage NOTIFY coverageChanged)
    Q_PROPERTY(OptionalDeletion deletion READ deletion NOTIFY deletionChanged)
    Q_PROPERTY(bool isAnalyzing READ isAnalyzing NOTIFY isAnalyzingChanged)
    Q_PROPERTY(DuplicateFindings duplicateFindings READ duplicateFindings NOTIFY duplicateFindingsChanged)
    Q_PROPERTY(IdenticalGroups identicalGroups READ identicalGroups NOTIFY identicalGroupsChanged)
    Q_PROPERTY(bool isFindingDuplicates READ isFindingDuplicates NOTIFY isFindingDuplicatesChanged)

public:
    using Coverage = std::vector<kx::OwnerCoverage>;
    using OptionalDeletion = std::optional<kx::DeletionSafetyReport>;
    using DuplicateFindings = std::map<std::string, kx::DuplicateSourceAnalyzer::Finding>;
    using IdenticalGroups = std::vector<std::vector<std::string>>;

    explicit AnalysisModel(AppModel& app);

    const Coverage& coverage() const { return coverage_; }
    const OptionalDeletion& deletion() const { return deletion_; }
    bool isAnalyzing() const { return isAnalyzing_; }
    const DuplicateFindings& duplicateFindings() const { return duplicateFindings_; }
    const IdenticalGroups& identicalGroups() const { return identicalGroups_; }
    // True while a duplicate analysis runs (whether or not it will publish).
    bool isFindingDuplicates() const { return runningDuplicateAnalyses_ > 0; }

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

    // The sources, the root or the archive changed: every result is dropped and
    // an analysis still running publishes nothing.
    void clearAnalyses();

signals:
    void coverageChanged();
    void deletionChanged();
    void isAnalyzingChanged();
    void duplicateFindingsChanged();
    void identicalGroupsChanged();
    void isFindingDuplicatesChanged();

private:
    friend struct ModelTestAccess;
    void setCoverage(const Coverage& c);
    void setDeletion(const OptionalDeletion& d);
    void setIsAnalyzing(bool v);
    void setDuplicateFindings(const DuplicateFindings& f);
    void setIdenticalGroups(const IdenticalGroups& g);

    AppModel& app_;
    Coverage coverage_;
    OptionalDeletion deletion_;
    bool isAnalyzing_ = false;
    DuplicateFindings duplicateFindings_;
    IdenticalGroups identicalGroups_;
    uint64_t safetyGeneration_ = 0;
    uint64_t duplicateGeneration_ = 0;
    int runningDuplicateAnalyses_ = 0;
};
