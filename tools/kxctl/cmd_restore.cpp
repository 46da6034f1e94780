// kxctl restore: rebuilds an owner's archive folder from a backup destination,
// so every backup can be proven restorable.
//
//   kxctl restore --owner jorin --into /path/to/archive-root
//                 (--folder /Volumes/Backup | --endpoint https://host --bucket b --region r
//                  | --kind awsS3 --bucket b --region r | --kind cloudflareR2 --account-id a --bucket b ...)
//                 [--phrase-stdin] [--prefix kelvara] [--remote-name jorin/tresk.db] [--previous]
//
// The key is the owner's key from the system keyring, or with --phrase-stdin the
// recovery phrase read from standard input (so it never shows in a process
// list). Object-store credentials come from the environment variables
// KELVARA_ACCESS_KEY_ID and KELVARA_SECRET_ACCESS_KEY, never from arguments.
// The archive is written to <root>/<owner with "/" as "_">, which must not hold
// an archive yet; nothing is put in place unless the database opened and
// matched. Files that did not are left out and named, and the exit code is then
// 1, as it is for a backup older than the last one this computer wrote there.
// --previous restores the backup the latest one replaced; a restore that failed
// or left files out says when that one can be restored instead. Seals the backup
// carried that still wait for their anchor join this computer's list.
#include "tools/kxctl/commands.h"
#include "tools/kxctl/destination_args.h"

#include "core/archive/archive_layout.h"
#include "core/backup/backup_engine.h"
#include "core/backup/carried_head.h"
#include "core/platform/system.h"

#include <iostream>

namespace {

struct RestoreArgs : kx::cli::DestinationArgs {
    std::string into, remoteName;
    bool previous = false;
};

std::string counted(size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

void runRestore(const RestoreArgs& a) {
    if (a.owner.empty()) throw kx::cli::Failure("Name the owner with --owner.", 2);
    std::string remote = a.remoteName.empty() ? a.owner + "/" + kx::ArchiveLayout::kDatabaseFile : a.remoteName;
    kx::cli::ProgressLine progress("Restoring");
    std::string label = "the destination";
    try {
        kx::checkRemoteName(remote);
        const kx::OwnerPaths target = kx::ArchiveLayout(a.into).owner(a.owner);
        auto dest = kx::cli::destinationFor(a);
        label = dest->label();
        kx::TreskCrypto crypto = kx::cli::cryptoFor(a.owner, a, "Nothing was restored.");
        kx::BackupEngine::Options options;
        options.generations = kx::cli::generationsFile();
        kx::BackupEngine engine(std::move(crypto), dest, a.prefix, std::nullopt, options);
        kx::RestoreReport r = engine.restore(
            remote, target.folder, [&](const kx::BackupProgress& p) { progress.show(p.part, p.parts); }, a.previous);
        progress.end();
        const std::string made = r.backedUpAt ? kx::formatISO8601(*r.backedUpAt) : std::string("at an unknown time");
        const std::string messages = r.messages ? counted(static_cast<size_t>(*r.messages), "message", "messages")
                                                : "an unknown number of messages";
        std::cout << "Restored " << a.owner << "'s archive into " << target.folder << " from the backup made " << made
                  << " (generation " << r.generation << "), holding " << messages << ": the database ("
                  << r.databaseBytes << " bytes) and " << counted(r.objects, "file", "files")
                  << (r.unrestored.empty() ? ", every object opened and matched." : " that opened and matched.")
                  << "\n";
        if (r.fromManifestCopy)
            std::cout << "This is the latest backup: its manifest is " << r.manifestTrouble
                      << ", so its second copy was read. The next backup writes the manifest again.\n";
        if (r.fromReplacedManifest)
            std::cout << (a.previous ? "This is the backup before the latest one, as asked. "
                                     : "Both copies of the latest backup's manifest are missing or damaged, so the "
                                       "backup before it was restored. ")
                      << "Run a backup to store a complete one again.\n";
        if (r.rolledBack) std::cout << kx::rolledBackAfterRestore(*r.rolledBack, label) << "\n";
        if (r.manifestHead)
            if (auto problem = kx::pinRestoredHead(a.owner, *r.manifestHead)) std::cout << *problem << ".\n";
        if (!r.pendingAnchors.empty()) {
            const auto added = kx::addRestoredAnchors(kx::applicationSupportConfigDir(), r.pendingAnchors);
            if (const int* n = std::get_if<int>(&added); n && *n > 0)
                std::cout << counted(static_cast<size_t>(*n), "seal", "seals")
                          << " of exports still waiting for an anchor joined this computer's list.\n";
            else if (const auto* problem = std::get_if<std::string>(&added)) std::cout << *problem << ".\n";
        }
        if (!r.unrestored.empty()) {
            std::string names;
            for (const auto& u : r.unrestored) names += (names.empty() ? "" : "; ") + u;
            throw kx::cli::Failure(
                "The restore did not complete: " + counted(r.unrestored.size(), "file", "files") + " at " + label +
                " did not open or match and " + (r.unrestored.size() == 1 ? "is" : "are") +
                " missing from the restored archive: " + names + ". Everything else was restored and checked." +
                (r.earlierWhole ? " " + kx::earlierBackupSentence(*r.earlierWhole, kx::cli::storyTerms(a.owner, label),
                                                                  "run the restore again with --previous and "
                                                                  "another --into")
                                : std::string()));
        }
        if (r.rolledBack)
            throw kx::cli::Failure("The restored backup is older than the latest one this computer made.");
    } catch (const kx::cli::Failure&) {
        throw;
    } catch (const kx::EarlierBackupAvailable& e) {
        progress.end();
        throw kx::cli::Failure("The restore did not complete: " + e.failure + ". Nothing was put in place. " +
                               kx::earlierBackupSentence(e.earlier, kx::cli::storyTerms(a.owner, label),
                                                         "run the restore again with --previous"));
    } catch (const std::exception& e) {
        progress.end(); // the failure sentence starts on a line of its own
        throw kx::cli::Failure("The restore did not complete: " + std::string(e.what()) +
                               ". Nothing was put in place, and the backup itself is untouched.");
    }
}

} // namespace

static kx::cli::Registration reg("restore", [](CLI::App& root) {
    auto args = std::make_shared<RestoreArgs>();
    auto* cmd = root.add_subcommand("restore", "Rebuild an owner's archive folder from a backup destination");
    cmd->add_option("--into", args->into, "The archive root to restore into")->required();
    kx::cli::addDestinationOptions(*cmd, *args);
    cmd->add_option("--remote-name", args->remoteName,
                    "The archive's name on the destination (default <owner>/tresk.db)");
    cmd->add_flag("--previous", args->previous, "Restore the backup before the latest one");
    cmd->callback([args] { runRestore(*args); });
});
