#include "tools/kxctl/destination_args.h"

#include "core/backup/generation_memory.h"
#include "core/backup/local_destination.h"
#include "core/backup/s3_destination.h"
#include "core/keys/key_material.h"
#include "core/keys/owner_keys.h"
#include "core/platform/system.h"
#include "core/platform/time.h"
#include "tools/kxctl/commands.h"

#include <cstdlib>
#include <iostream>
#include <iterator>

namespace kx::cli {

namespace {

std::string envOr(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

} // namespace

void addDestinationOptions(CLI::App& cmd, DestinationArgs& args) {
    cmd.add_option("--owner", args.owner, "The archive owner")->required();
    cmd.add_option("--folder", args.folder, "A backup folder (drive, NAS or synced folder)");
    cmd.add_option("--endpoint", args.endpoint, "An S3-compatible endpoint, https://host[:port]");
    cmd.add_option("--kind", args.kind, "awsS3, awsGlacierDeepArchive, cloudflareR2 or backblazeB2");
    cmd.add_option("--bucket", args.bucket, "The bucket");
    cmd.add_option("--region", args.region, "The region");
    cmd.add_option("--account-id", args.accountID, "The Cloudflare account id");
    cmd.add_option("--prefix", args.prefix, "The name prefix on the destination (default kelvara)");
    cmd.add_flag("--phrase-stdin", args.phraseStdin, "Read the recovery key from standard input");
}

void ProgressLine::show(int part, int parts) {
    std::cerr << "\r" << lead_ << " " << part << " of " << parts << std::flush;
    open_ = true;
}

void ProgressLine::end() {
    if (open_) std::cerr << "\n";
    open_ = false;
}

std::filesystem::path generationsFile() {
    return std::filesystem::path(applicationSupportConfigDir()) / GenerationMemory::kFileName;
}

std::shared_ptr<BackupDestination> destinationFor(const DestinationArgs& a) {
    int chosen = !a.folder.empty() + !a.endpoint.empty() + !a.kind.empty();
    if (chosen != 1) throw Failure("Name one destination: --folder, --endpoint or --kind.", 2);
    if (!a.folder.empty())
        return std::make_shared<LocalDestination>(LocalDestination::volume(a.folder, "Backup folder"));
    std::string keyID = envOr("KELVARA_ACCESS_KEY_ID"), secret = envOr("KELVARA_SECRET_ACCESS_KEY");
    if (keyID.empty() || secret.empty())
        throw Failure("Set KELVARA_ACCESS_KEY_ID and KELVARA_SECRET_ACCESS_KEY to the destination's keys.", 2);
    if (!a.endpoint.empty())
        return std::make_shared<S3Destination>(
            S3Destination::compatible(a.endpoint, a.region.empty() ? "us-east-1" : a.region, keyID, secret, a.bucket));
    if (a.kind == "awsS3" || a.kind == "awsGlacierDeepArchive")
        return std::make_shared<S3Destination>(
            S3Destination::awsS3(a.region, keyID, secret, a.bucket, a.kind == "awsGlacierDeepArchive"));
    if (a.kind == "cloudflareR2")
        return std::make_shared<S3Destination>(S3Destination::cloudflareR2(a.accountID, keyID, secret, a.bucket));
    if (a.kind == "backblazeB2")
        return std::make_shared<S3Destination>(S3Destination::backblazeB2(a.region, keyID, secret, a.bucket));
    throw Failure("The kind must be awsS3, awsGlacierDeepArchive, cloudflareR2 or backblazeB2.", 2);
}

TreskCrypto cryptoFor(const std::string& owner, const DestinationArgs& a, const std::string& nothingDone) {
    if (a.phraseStdin) {
        std::string phrase((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
        try {
            TreskCrypto crypto(TreskKeyMaterial::keyFromRecoveryString(phrase));
            wipe(phrase);
            return crypto;
        } catch (const Error& e) {
            wipe(phrase);
            throw Failure(std::string("That recovery key was not accepted: ") + e.what() + ". " + nothingDone);
        }
    }
    auto ring = OwnerKeyStore().existingKeyring(owner);
    if (!ring)
        throw Failure("There is no encryption key for " + owner +
                      " on this computer. Pass the recovery key with --phrase-stdin.");
    return TreskCrypto(*ring);
}

StoryTerms storyTerms(const std::string& owner, const std::string& destinationLabel) {
    return {owner, destinationLabel, "this computer", formatISO8601};
}

} // namespace kx::cli
