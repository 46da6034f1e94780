#pragma once
// A backup run as the application and kxctl both start it and tell it: the
// run's options from what a front end gathered, and the sentences its receipt
// turns into. The front ends only print or publish them, so the two never
// tell one run two ways; each says "this Mac" or "this computer" and writes
// dates as it writes every other date, and kxctl adds its figures (bytes sent,
// objects read back).
#include "core/backup/backup_engine.h"
#include "core/platform/time.h"

#include <functional>
#include <string>
#include <vector>

namespace kx {

// The options of a backup of owner's archive from this computer: it carries the
// head of the owner's manifest chain pinned in the keyring and the seals
// waiting for their anchor in the settings folder configDir, and remembers in
// that folder the generation it wrote to each destination. machineID: this
// machine's identity, whose run report goes with the backup (empty: none goes).
BackupEngine::Options backupRunOptions(const std::string& owner, const std::string& configDir, std::string machineID);

// How a front end words a run.
struct StoryTerms {
    std::string owner;
    std::string destination;               // its label ("External drive or NAS")
    std::string thisMachine;               // "this Mac", "this computer"
    std::function<std::string(Date)> date; // a date as the front end shows it
};

// The sentences of one run, in the order they are told.
struct BackupStory {
    // "<owner>'s archive is backed up to <destination>, encrypted and verified."
    // (or " (NOT verified).", also when damage found was left unrepaired).
    std::string headline;
    std::string resumed; // "Resumed from a previous interrupted upload.", or empty
    std::string figures; // the bytes sent and the stored objects read back
    // What else the run found or did: objects only the store's checksum
    // confirmed, what it took in from the backup it replaced, a rolled-back
    // destination, damage sent again, damage it could not send again.
    std::vector<std::string> findings;
    bool verified = false;

    std::vector<std::string> sentences(bool withFigures) const;
    std::string text(bool withFigures) const; // the sentences, a space between each
};

BackupStory tellBackup(const UploadReceipt& receipt, const StoryTerms& terms);

// The findings' sentence of what a run took in from the backup it replaced.
std::string mergedSentence(const MergedBackup& merged, const StoryTerms& terms);

// Said after a restore that failed or left files out while the backup the
// latest one replaced is still there (EarlierBackupAvailable,
// RestoreReport::earlierWhole): whole, or with a database that opens and
// matches when only that was checked, it can be restored instead, and how, in
// the front end's words ("run the restore again with --previous").
std::string earlierBackupSentence(const EarlierBackup& earlier, const StoryTerms& terms,
                                  const std::string& howToRestore);

} // namespace kx
