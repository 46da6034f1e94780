#pragma once
// The archive run: reads every registered source into its owner's store under
// the archive root, verifies stored attachment objects, and leaves "STATUS.json".
//
// The archive root's files and folders are named by ArchiveLayout (archive_layout.h).
#include "core/archive/archive_layout.h"
#include "core/archive/coverage.h"
#include "core/archive/coverage_report.h"
#include "core/archive/deletion_safety.h"
#include "core/archive/ingester.h"
#include "core/contacts/contact_resolver.h"
#include "core/filters/filter_set.h"
#include "core/platform/time.h"
#include "core/sources/source.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace kx {

// Records a run's per-source outcomes in a registry: a source that was read gets
// its last-scanned time and loses any earlier error; a source that could not be
// read keeps its last-scanned time and gets the error sentence. Sources the report
// does not mention are left alone, and so is a source whose recorded last scan is
// newer than the outcome. Returns how many sources changed.
int applyOutcomes(SourceRegistry& registry, const CoverageReport& report);

class TreskEngine {
public:
    // Run options, in this order:
    struct RunOptions {
        // 1. At most this many NEW messages are added per source in this run; the
        //    source's cursor stops where the run stopped, so the next run goes on
        //    from there. None: no limit.
        std::optional<int64_t> limit;
        // 2. Ignore the saved cursors and read every source from its beginning
        //    (messages already archived are recognised by GUID and not added again).
        bool fullRescan = false;
        // 3. Copy attachment bytes into the owner's attachment store.
        bool copyAttachments = true;
        // 4. How many stored attachment objects to re-hash as a spot check (0 = none).
        int64_t verificationSample = 50;
        // 5. Re-hash every stored object instead of a sample.
        bool fullSweep = false;
        // 6. Write "STATUS.json" (and the machine run report) in the archive root.
        //    Off only for runs that must leave no trace (analysis, tests).
        bool writeStatus = true;
        // 7. This machine's identity; with it the run leaves its machine run report.
        std::optional<std::string> machineID;
    };

    TreskEngine(SourceRegistry registry, std::string root, IngesterRegistry ingesters,
                std::shared_ptr<const ContactResolver> resolver, FilterSet filters,
                std::shared_ptr<const Clock> clock = nullptr);

    // Runs once. Returns the report (also written to STATUS.json). Throws kx::Error
    // when the run could not be done: another run holds the lock (nothing is
    // written then), the root cannot be created, or an owner's store could not be
    // written (STATUS.json then records the failure before the throw). Sources
    // that cannot be read are not failures of the run: they are listed in the
    // report's errors and per-source outcomes.
    CoverageReport run(const RunOptions& options);

    // Per owner of the registry (in registry order): what the owner's archive
    // really holds over time, with its gaps (coverage_analysis.cpp documents the
    // rules). Reads the stores only. Throws kx::Error when the root is not given.
    std::vector<OwnerCoverage> coverage(Date now) const;
    // Per registered source: whether deleting its files would lose anything
    // (deletion_safety.cpp documents the verdict rules). Reads every source
    // afresh and re-hashes the stored copies of its attachments; writes nothing.
    // measureBytes: also add up the size of the source's files on disk.
    DeletionSafetyReport deletionSafety(bool measureBytes) const;

    // The report in a STATUS.json file; none when it is absent or unreadable.
    static std::optional<CoverageReport> readStatus(const std::string& path);

    const std::string& root() const { return root_; }

    // Batch size used when committing messages (messages per transaction).
    static constexpr int64_t kBatchSize = 5000;
    // The same for a first load into an empty store.
    static constexpr int64_t kBulkBatchSize = 20000;

private:
    class Run; // one run's steps (tresk_engine.cpp)

    SourceRegistry registry_;
    std::string root_;
    IngesterRegistry ingesters_;
    std::shared_ptr<const ContactResolver> resolver_;
    FilterSet filters_;
    std::shared_ptr<const Clock> clock_;
};

} // namespace kx
