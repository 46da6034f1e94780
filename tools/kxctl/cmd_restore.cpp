// kxctl restore: rebuilds an owner's archive folder from a backup destination,
// so every backup can be proven restorable.
//
//   kxctl restore --owner jorin --into /path/to/archive-root
//                 (--folder /Volumes/Backup | --endpoint https://host --bucket b --region r
//                  | --kind awsS3 --bucket b --region r | --kind cloudflareR2 --account-id a --bucket b ...)
//                 [--phrase-stdin] [--prefix kelvara] [--remote-name jorin/tresk.db]
//
// The key is the owner's key from the system keyring, or with --phrase-stdin the
// recovery phrase read from standard input (so it never shows in a process
// list). Object-store credentials come from the environment variables
// KELVARA_ACCESS_KEY_ID and KELVARA_SECRET_ACCESS_KEY, never from arguments.
// The archive is written to <root>/<owner with "/" as "_">, which must not hold
// an archive yet; nothing is put in place unless every object opened and matched.
#include "tools/kxctl/commands.h"
#include "tools/kxctl/destination_args.h"

#include "core/archive/archive_layout.h"
#include "core/backup/backup_engine.h"

#include <iostream>

namespace {

struct RestoreArgs : kx::cli::DestinationArgs {
    std::string into, remoteName;
};

void runRestore(const RestoreArgs& a) {
    if (a.owner.empty()) throw kx::cli::Failure("Name the owner with --owner.", 2);
    std::string remote = a.remoteName.empty() ? a.owner + "/" + kx::ArchiveLayout::kDatabaseFile : a.remoteName;
    kx::cli::ProgressLine progress("Restoring");
    try {
        kx::checkRemoteName(remote);
        const kx::OwnerPaths target = kx::ArchiveLayout(a.into).owner(a.owner);
        auto dest = kx::cli::destinationFor(a);
        kx::TreskCrypto crypto = kx::cli::cryptoFor(a.owner, a, "Nothing was restored.");
        kx::BackupEngine engine(std::move(crypto), dest, a.prefix, std::nullopt);
        kx::RestoreReport r = engine.restore(remote, target.folder,
                                             [&](const kx::BackupProgress& p) { progress.show(p.part, p.parts); });
        progress.end();
        std::cout << "Restored " << a.owner << "'s archive into " << target.folder << ": the database ("
                  << r.databaseBytes << " bytes) and " << r.objects << " attachment file" << (r.objects == 1 ? "" : "s")
                  << ", every object opened and matched"
                  << (r.backedUpAt ? ", backed up " + kx::formatISO8601(*r.backedUpAt) : std::string()) << ".\n";
        if (r.fromReplacedManifest)
            std::cout << "The latest backup's manifest is missing or damaged, so the backup before it was restored. "
                         "Run a backup to store a complete one again.\n";
    } catch (const kx::cli::Failure&) {
        throw;
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
    cmd->callback([args] { runRestore(*args); });
});
