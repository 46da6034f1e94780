#pragma once
// What kxctl's backup and restore commands share: naming a destination on the
// command line, and the owner's key.
//
//   --folder /Volumes/Backup | --endpoint https://host[:port] --bucket b [--region r]
//   | --kind awsS3|awsGlacierDeepArchive|backblazeB2 --bucket b --region r
//   | --kind cloudflareR2 --account-id a --bucket b
//   [--phrase-stdin] [--prefix kelvara]
//
// Object-store credentials come from the environment variables
// KELVARA_ACCESS_KEY_ID and KELVARA_SECRET_ACCESS_KEY, never from arguments. The
// key is the owner's key from the system keyring, or with --phrase-stdin the
// recovery phrase read from standard input (so it never shows in a process list).
#include "core/backup/backup_story.h"
#include "core/backup/crypto.h"
#include "core/backup/destination.h"

#include <CLI/CLI.hpp>

#include <filesystem>
#include <memory>
#include <string>

namespace kx::cli {

struct DestinationArgs {
    std::string owner; // --owner, required
    std::string folder, endpoint, kind, bucket, region, accountID, prefix = "kelvara";
    bool phraseStdin = false;
};

// Adds --owner and the options above.
void addDestinationOptions(CLI::App& cmd, DestinationArgs& args);

// A progress line on standard error ("\rRestoring 3 of 9"), ended before
// anything else is printed so a failure sentence starts on a line of its own.
class ProgressLine {
public:
    explicit ProgressLine(std::string lead) : lead_(std::move(lead)) {}
    ~ProgressLine() { end(); }
    void show(int part, int parts);
    void end();

private:
    std::string lead_;
    bool open_ = false;
};

// Where this computer remembers the backups it wrote to each destination
// (generation_memory.h): beside the application's own settings.
std::filesystem::path generationsFile();

// Throws Failure (exit code 2) for a destination named wrongly or not at all.
std::shared_ptr<BackupDestination> destinationFor(const DestinationArgs& args);

// The owner's key; throws Failure with a sentence ending in `nothingDone`
// ("Nothing was restored.") when there is none or the phrase is not accepted.
TreskCrypto cryptoFor(const std::string& owner, const DestinationArgs& args, const std::string& nothingDone);

// kxctl's words in a backup's or restore's sentences: "this computer", and
// dates as ISO 8601.
StoryTerms storyTerms(const std::string& owner, const std::string& destinationLabel);

} // namespace kx::cli
