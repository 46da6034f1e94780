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

#include "core/archive/archive_layout.h"
#include "core/backup/backup_engine.h"
#include "core/backup/local_destination.h"
#include "core/backup/s3_destination.h"
#include "core/keys/key_material.h"
#include "core/keys/owner_keys.h"

#include <cstdlib>
#include <iostream>
#include <iterator>

namespace {

struct RestoreArgs {
    std::string owner, into, folder, endpoint, kind, bucket, region, accountID, prefix = "kelvara", remoteName;
    bool phraseStdin = false;
};

std::string envOr(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

std::shared_ptr<kx::BackupDestination> destinationFor(const RestoreArgs& a) {
    int chosen = !a.folder.empty() + !a.endpoint.empty() + !a.kind.empty();
    if (chosen != 1) throw kx::cli::Failure("Name one destination: --folder, --endpoint or --kind.", 2);
    if (!a.folder.empty())
        return std::make_shared<kx::LocalDestination>(kx::LocalDestination::volume(a.folder, "Backup folder"));
    std::string keyID = envOr("KELVARA_ACCESS_KEY_ID"), secret = envOr("KELVARA_SECRET_ACCESS_KEY");
    if (keyID.empty() || secret.empty())
        throw kx::cli::Failure("Set KELVARA_ACCESS_KEY_ID and KELVARA_SECRET_ACCESS_KEY to the destination's keys.", 2);
    if (!a.endpoint.empty())
        return std::make_shared<kx::S3Destination>(
            kx::S3Destination::compatible(a.endpoint, a.region.empty() ? "us-east-1" : a.region, keyID, secret,
                                          a.bucket));
    if (a.kind == "awsS3" || a.kind == "awsGlacierDeepArchive")
        return std::make_shared<kx::S3Destination>(
            kx::S3Destination::awsS3(a.region, keyID, secret, a.bucket, a.kind == "awsGlacierDeepArchive"));
    if (a.kind == "cloudflareR2")
        return std::make_shared<kx::S3Destination>(
            kx::S3Destination::cloudflareR2(a.accountID, keyID, secret, a.bucket));
    if (a.kind == "backblazeB2")
        return std::make_shared<kx::S3Destination>(kx::S3Destination::backblazeB2(a.region, keyID, secret, a.bucket));
    throw kx::cli::Failure("The kind must be awsS3, awsGlacierDeepArchive, cloudflareR2 or backblazeB2.", 2);
}

void runRestore(const RestoreArgs& a) {
    if (a.owner.empty()) throw kx::cli::Failure("Name the owner with --owner.", 2);
    std::string remote = a.remoteName.empty() ? a.owner + "/" + kx::ArchiveLayout::kDatabaseFile : a.remoteName;
    bool progressShown = false; // a "\rRestoring ..." line is open on standard error
    try {
        kx::checkRemoteName(remote);
        const kx::OwnerPaths target = kx::ArchiveLayout(a.into).owner(a.owner);
        auto dest = destinationFor(a);

        std::optional<kx::TreskCrypto> crypto;
        if (a.phraseStdin) {
            std::string phrase((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
            try {
                crypto.emplace(kx::TreskKeyMaterial::keyFromRecoveryString(phrase));
            } catch (const kx::Error& e) {
                kx::wipe(phrase);
                throw kx::cli::Failure(std::string("That recovery key was not accepted: ") + e.what() +
                                       ". Nothing was restored.");
            }
            kx::wipe(phrase);
        } else {
            auto ring = kx::OwnerKeyStore().existingKeyring(a.owner);
            if (!ring)
                throw kx::cli::Failure("There is no encryption key for " + a.owner +
                                       " on this computer. Pass the recovery key with --phrase-stdin.");
            crypto.emplace(*ring);
        }
        kx::BackupEngine engine(std::move(*crypto), dest, a.prefix, std::nullopt);
        kx::RestoreReport r = engine.restore(remote, target.folder, [&](const kx::BackupProgress& p) {
            std::cerr << "\rRestoring " << p.part << " of " << p.parts << std::flush;
            progressShown = true;
        });
        if (progressShown) std::cerr << "\n";
        progressShown = false;
        std::cout << "Restored " << a.owner << "'s archive into " << target.folder << ": the database ("
                  << r.databaseBytes << " bytes) and " << r.objects << " attachment file" << (r.objects == 1 ? "" : "s")
                  << ", every object opened and matched"
                  << (r.backedUpAt ? ", backed up " + kx::formatISO8601(*r.backedUpAt) : std::string()) << ".\n";
    } catch (const kx::cli::Failure&) {
        throw;
    } catch (const std::exception& e) {
        if (progressShown) std::cerr << "\n"; // the failure sentence starts on a line of its own
        throw kx::cli::Failure("The restore did not complete: " + std::string(e.what()) +
                               ". Nothing was put in place, and the backup itself is untouched.");
    }
}

} // namespace

static kx::cli::Registration reg("restore", [](CLI::App& root) {
    auto args = std::make_shared<RestoreArgs>();
    auto* cmd = root.add_subcommand("restore", "Rebuild an owner's archive folder from a backup destination");
    cmd->add_option("--owner", args->owner, "The archive owner")->required();
    cmd->add_option("--into", args->into, "The archive root to restore into")->required();
    cmd->add_option("--folder", args->folder, "A backup folder (drive, NAS or synced folder)");
    cmd->add_option("--endpoint", args->endpoint, "An S3-compatible endpoint, https://host[:port]");
    cmd->add_option("--kind", args->kind, "awsS3, awsGlacierDeepArchive, cloudflareR2 or backblazeB2");
    cmd->add_option("--bucket", args->bucket, "The bucket");
    cmd->add_option("--region", args->region, "The region");
    cmd->add_option("--account-id", args->accountID, "The Cloudflare account id");
    cmd->add_option("--prefix", args->prefix, "The name prefix on the destination (default kelvara)");
    cmd->add_option("--remote-name", args->remoteName,
                    "The archive's name on the destination (default <owner>/tresk.db)");
    cmd->add_flag("--phrase-stdin", args->phraseStdin, "Read the recovery key from standard input");
    cmd->callback([args] { runRestore(*args); });
});
