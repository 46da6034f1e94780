// kxctl backup: backs an owner's archive up to a destination the way the
// application does (snapshot, encryption, upload, read-back), and says what it
// checked.
//
//   kxctl backup --owner jorin --root /path/to/archive-root
//                (--folder ... | --endpoint ... | --kind ...; see destination_args.h)
//                [--verify-all] [--resume-state PATH] [--phrase-stdin] [--prefix kelvara]
//
// Every run reads back what it sent, the stored database and a rolling share of
// the other objects earlier runs stored; --verify-all reads back every object
// the backup consists of. Damaged objects are named and sent again, and a
// destination rolled back to an older backup than this computer wrote there is
// said. The exit code is 0 only for a backup that is complete and verified; 1
// when it failed or is not verified; 2 for wrong usage.
#include "tools/kxctl/commands.h"
#include "tools/kxctl/destination_args.h"

#include "core/archive/archive_layout.h"
#include "core/backup/backup_engine.h"
#include "core/backup/backup_story.h"
#include "core/household/machine_report.h"
#include "core/platform/fs.h"
#include "core/platform/system.h"

#include <iostream>

namespace {

struct BackupArgs : kx::cli::DestinationArgs {
    std::string root, resumeState, machineID;
    bool verifyAll = false;
};

void runBackup(const BackupArgs& a) {
    if (a.owner.empty()) throw kx::cli::Failure("Name the owner with --owner.", 2);
    kx::cli::ProgressLine progress("Backing up part");
    std::string label = "the destination";
    try {
        if (!a.machineID.empty() && !kx::isValidMachineID(a.machineID))
            throw kx::cli::Failure("The machine identity \"" + a.machineID +
                                       "\" may only hold letters, digits, \"-\", \"_\" and \".\", so nothing was "
                                       "backed up.",
                                   2);
        const kx::OwnerPaths paths = kx::ArchiveLayout(a.root).owner(a.owner);
        if (!kx::fs::isRegularFile(paths.database))
            throw kx::cli::Failure("There is no archive for " + a.owner + " in " + a.root + " yet. Run a scan first.");
        auto dest = kx::cli::destinationFor(a);
        label = dest->label();
        kx::TreskCrypto crypto = kx::cli::cryptoFor(a.owner, a, "Nothing was backed up.");
        std::optional<std::filesystem::path> resume;
        if (!a.resumeState.empty()) resume = a.resumeState;
        kx::BackupEngine::Options options = kx::backupRunOptions(a.owner, kx::applicationSupportConfigDir(),
                                                                 a.machineID);
        kx::BackupEngine engine(std::move(crypto), dest, a.prefix, resume, options);
        kx::UploadReceipt r = engine.backup(a.owner + "/" + kx::ArchiveLayout::kDatabaseFile, paths.database,
                                            a.verifyAll ? kx::VerificationLevel::everything
                                                        : kx::VerificationLevel::readBack,
                                            [&](const kx::BackupProgress& p) { progress.show(p.part, p.parts); });
        progress.end();
        const kx::BackupStory story = kx::tellBackup(r, kx::cli::storyTerms(a.owner, label));
        for (const std::string& sentence : story.sentences(true)) std::cout << sentence << "\n";
        if (!story.verified) throw kx::cli::Failure("The backup is not verified.");
    } catch (const kx::cli::Failure&) {
        throw; // (the progress line ends as it goes out of scope)
    } catch (const std::exception& e) {
        progress.end(); // the failure sentence starts on a line of its own
        throw kx::cli::Failure("Backup to " + label + " failed: " + std::string(e.what()) + "." +
                               (kx::restartResumes(e) ? std::string(" ") + kx::kRestartResumesSentence : ""));
    }
}

} // namespace

static kx::cli::Registration reg("backup", [](CLI::App& root) {
    auto args = std::make_shared<BackupArgs>();
    auto* cmd = root.add_subcommand("backup", "Back an owner's archive up to a destination and verify it");
    kx::cli::addDestinationOptions(*cmd, *args);
    cmd->add_option("--root", args->root, "The archive root")->required();
    cmd->add_flag("--verify-all", args->verifyAll, "Read back every stored object, not only a rolling share");
    cmd->add_option("--resume-state", args->resumeState, "Where to keep what an interrupted upload needs to resume");
    cmd->add_option("--machine-id", args->machineID,
                    "This machine's identity: its run report goes with the backup, and the owner's other machines' "
                    "come back into the archive root");
    cmd->callback([args] { runBackup(*args); });
});
