// kxctl ingest: one archive run, the same engine run the application starts.
//
//   kxctl ingest --registry PATH --root PATH [--filters PATH] [--machine-id ID]
//                [--copy-attachments] [--full-sweep]
//
// Reads every source in the source list at --registry into the owners' stores
// under --root, leaves STATUS.json there (and, with --machine-id, this machine's
// run report), then records each source's last scan (or its error) in the source
// list. Exit status 0 on success; otherwise one sentence on standard error and a
// non-zero status: 2 for an unusable source list or machine identity, 1 for a
// run that failed, 3 when another run holds the archive (missing or unknown
// options are usage errors reported by the option parser).
//
// The home folder comes from $HOME, or from the passwd entry when the scheduler
// starts the tool with nothing but PATH set; HOME is then set for the readers.
#include "tools/kxctl/commands.h"

#include "core/archive/ingesters.h"
#include "core/archive/machine_run_report.h"
#include "core/archive/tresk_engine.h"
#include "core/backup/restore_staging.h"
#include "core/contacts/contact_resolver.h"
#include "core/filters/filter_set.h"
#include "core/household/machine_report.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"
#include "core/platform/system.h"
#include "core/sources/source.h"

#include <cstdlib>
#include <iostream>

namespace {

struct IngestArgs {
    std::string registry;
    std::string root;
    std::string filters;
    std::string machineID;
    bool copyAttachments = false;
    bool fullSweep = false;
};

void ensureHome() {
    const char* home = std::getenv("HOME");
    if (home && *home) return;
    const std::string h = kx::systemInfo().homeDirectory();
    if (!h.empty()) ::setenv("HOME", h.c_str(), 1);
}

// What each source's reading left to look at, one line each, so a scheduled
// run's log holds it as well as STATUS.json: the reader's warnings (bodies that
// could not be decoded, rows skipped in damaged stretches, attachments refused)
// and the attachments the source records whose files were not there.
void printSourceWarnings(const kx::CoverageReport& report) {
    for (const auto& s : report.sources) {
        const std::string name = "\"" + (s.label && !s.label->empty() ? *s.label : s.sourceId) + "\": ";
        if (s.attachmentsMissing > 0)
            std::cout << "  " << name << s.attachmentsMissing
                      << (s.attachmentsMissing == 1 ? " attachment is" : " attachments are")
                      << " recorded but the file was not there, so only the record was archived.\n";
        for (const auto& w : s.warnings) std::cout << "  " << name << w << "\n";
    }
}

void runIngest(const IngestArgs& a) {
    ensureHome();
    if (!a.machineID.empty() && !kx::isValidMachineID(a.machineID))
        throw kx::cli::Failure("The machine identity \"" + a.machineID +
                                   "\" may only hold letters, digits, \"-\", \"_\" and \".\", so nothing was archived.",
                               2);
    if (!kx::fs::exists(a.registry))
        throw kx::cli::Failure("There is no source list at " + a.registry + ", so nothing was archived.", 2);
    auto loaded = kx::SourceRegistry::loadOrReport(a.registry);
    if (loaded.problem)
        throw kx::cli::Failure("The source list at " + a.registry + " could not be read (" + *loaded.problem +
                                   "), so nothing was archived.",
                               2);
    kx::FilterSet filters;
    if (!a.filters.empty()) filters = kx::FilterSet::load(a.filters);

    kx::sweepStaleRestores(a.root); // decrypted data a killed restore left in the root

    kx::TreskEngine engine(loaded.registry, a.root, kx::IngesterRegistry(kx::makeDefaultIngesters()),
                           std::make_shared<kx::MapContactResolver>(), filters);
    kx::TreskEngine::RunOptions options;
    options.copyAttachments = a.copyAttachments;
    options.fullSweep = a.fullSweep;
    options.verificationSample = a.fullSweep ? 0 : 50;
    if (!a.machineID.empty()) options.machineID = a.machineID;

    kx::CoverageReport report;
    try {
        report = engine.run(options);
    } catch (const kx::Error& e) {
        const std::string text = e.what();
        const bool locked = text.rfind("Another archive run", 0) == 0;
        throw kx::cli::Failure(text, locked ? 3 : 1);
    }

    // Record the scan in the source list as it is now on disk (the application
    // may have changed it during the run); a list that no longer loads is left alone.
    auto current = kx::SourceRegistry::loadOrReport(a.registry);
    if (!current.problem && kx::applyOutcomes(current.registry, report) > 0) {
        try {
            current.registry.save();
        } catch (const kx::Error& e) {
            std::cerr << "The run finished, but the source list could not be updated: " << e.what() << "\n";
        }
    }

    int unread = 0;
    for (const auto& s : report.sources)
        if (!s.succeeded) ++unread;
    std::cout << "Archived " << report.uniqueMessages << " messages (" << report.newMessages << " new) from "
              << report.sources.size() << " sources";
    if (unread) std::cout << "; " << unread << " could not be read";
    std::cout << ".\n";
    for (const auto& e : report.errors) std::cout << "  " << e << "\n";
    printSourceWarnings(report);
}

} // namespace

static kx::cli::Registration reg("ingest", [](CLI::App& root) {
    auto args = std::make_shared<IngestArgs>();
    auto* cmd = root.add_subcommand("ingest", "Archive every registered source into the archive root");
    cmd->add_option("--registry", args->registry, "The source list (sources.json)")->required();
    cmd->add_option("--root", args->root, "The archive root")->required();
    cmd->add_option("--filters", args->filters, "The filter rules (filters.json)");
    cmd->add_option("--machine-id", args->machineID, "This machine's identity, for its run report");
    cmd->add_flag("--copy-attachments", args->copyAttachments, "Copy attachment bytes into the archive");
    cmd->add_flag("--full-sweep", args->fullSweep, "Re-hash every stored attachment object");
    cmd->callback([args] { runIngest(*args); });
});
